// TargetSession and its CommandQueue: commands queued from the page go out
// one per console poll, in order, over the simulated link.
#include "session/target_session.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>

#include "link/packet_format.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"

using namespace tavrin;
using sim::SimDriver;

namespace {

class TargetSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.ok()); }
  TargetSession& Session() { return link_.session(); }

  SettingsScope settings_;
  TempFolder folder_;
  ConsoleLink link_;
};

TEST_F(TargetSessionTest, CommandsGoOutOnePerPollInTheOrderQueued) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  folder_.Write("a.irx", ElfHead(0x80, 0xFF));
  ASSERT_TRUE(QueueReset(link_.page()));
  ASSERT_TRUE(QueueExecute(link_.page(), HeapCopy(folder_.File("a.elf"))));
  ASSERT_TRUE(QueueExecute(link_.page(), HeapCopy(folder_.File("a.irx"))));
  ASSERT_TRUE(Session().Append(kTagQuit, nullptr));
  EXPECT_EQ(nullptr, Session().LastExecuted());  // set when sent, not when queued

  const std::pair<uint8_t, std::string> sent[] = {{0x00, ""},
                                                   {0x01, std::string("host:/exec/elf", 15)},
                                                   {0x02, std::string("host:/exec/iop", 15)},
                                                   {0x03, ""},
                                                   {0, "no command"}};
  for (auto& [code, body] : sent) {
    sim::PollOutcome poll = link_.Serve(link_.console().Poll(0));
    EXPECT_TRUE(poll.ok && !poll.followUp && (poll.command || poll.result == 0)) << body;
    EXPECT_EQ(code, poll.command ? poll.code : 0) << body;
    EXPECT_EQ(body, poll.command ? std::string(poll.body.begin(), poll.body.end()) : "no command");
  }
  EXPECT_STREQ(folder_.File("a.irx").c_str(), Session().LastExecuted());
  EXPECT_TRUE(link_.console().Violations().empty());
}

TEST_F(TargetSessionTest, AFailedCommandIsFollowedByAReplyZero) {
  // The console answers the reset with -1: the host owes its poll a reply 0.
  ASSERT_TRUE(QueueReset(link_.page()));
  sim::PollOutcome answered = link_.Serve(link_.console().Poll(-1));
  EXPECT_TRUE(answered.ok && answered.command && answered.followUp);
  EXPECT_EQ(0, answered.followUpResult);
  EXPECT_TRUE(link_.console().Violations().empty());
}

// Which command the ELF header asks for is the ELF check's own test; here:
// the page's file reaches the queue only whole, readable and unshared, and
// only on a page with a connected console and a session.
TEST_F(TargetSessionTest, ExecuteQueuesOnlyAWholeUnsharedFileForAConnectedConsole) {
  struct Row {
    const char* what;
    size_t size;    // of the IRX module's head written; 0: no file
    bool heldOpen;  // by another reader while the page queues it
    void (*breaks)(ConsoleLink&);
    bool queued;
  } rows[] = {
      {"whole", 18, false, nullptr, true},
      {"17 bytes", 17, false, nullptr, false},
      {"missing", 0, false, nullptr, false},
      {"held open elsewhere", 18, true, nullptr, false},
      {"not connected", 18, false, [](ConsoleLink& l) { l.record()->connected = 0; }, false},
      {"no session", 18, false, [](ConsoleLink& l) { l.record()->session = nullptr; }, false},
      {"no record", 18, false, [](ConsoleLink& l) { l.testPage().Attach(false); }, false},
  };
  for (auto& row : rows) {
    DeleteFileA(folder_.File("f.irx").c_str());
    if (row.size) folder_.Write("f.irx", ElfHead(0x80, 0xFF, row.size));
    char* path = HeapCopy(folder_.File("f.irx"));
    HANDLE other = row.heldOpen ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr)
                                : INVALID_HANDLE_VALUE;
    if (row.breaks) {
      row.breaks(link_);
      EXPECT_FALSE(QueueReset(link_.page())) << row.what;
    }
    const bool queued = QueueExecute(link_.page(), path);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    link_.record()->connected = 1;
    link_.record()->session = &Session();
    link_.testPage().Attach(true);
    EXPECT_EQ(row.queued, queued) << row.what;
    QueuedCommand* command = Session().TakeOldest();
    EXPECT_EQ(row.queued ? kTagExecIop : 0, command ? command->command : 0) << row.what;
    if (!queued) std::free(path);
    FreeQueuedCommand(command);
  }
  EXPECT_FALSE(Session().Clear());  // nothing left
}

// The last executed file is taken even when its command can't be sent. The
// session's memory is counted by the C runtime's heap blocks in use, which
// return to where they were once everything is released while no other
// thread is at work.
TEST(TargetSessionLifetime, TheLastExecutedFileIsKeptOnAFailedSendAndAllIsReleased) {
  auto blocksInUse = [] {
    _HEAPINFO info = {};
    size_t used = 0;
    while (_heapwalk(&info) == _HEAPOK) used += info._useflag == _USEDENTRY;
    return used;
  };
  SimDriver::Reset();
  LinkDevice link;  // no cable: every send fails at once
  const size_t before = blocksInUse();
  {
    TargetSession session(nullptr, &link);
    ASSERT_TRUE(session.Append(kTagExecElf, HeapCopy("C:\\a.elf")));
    ASSERT_TRUE(session.Append(kTagExecIop, HeapCopy("C:\\b.irx")));
    EXPECT_EQ(-1, session.SendExecIop("C:\\c.irx"));
    EXPECT_EQ(-1, session.SendExecElf(nullptr));
    EXPECT_STREQ("C:\\c.irx", session.LastExecuted());
    EXPECT_GT(blocksInUse(), before);
  }
  EXPECT_EQ(before, blocksInUse());
}

}  // namespace
