// TargetSession and its CommandQueue: commands queued from the page go out
// one per console poll, in order, over the simulated link.
#include "session/target_session.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <functional>

#include "link/packet_format.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"

using namespace tavrin;
using sim::Call;
using sim::SimDriver;

namespace {

class TargetSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.ok()); }

  SettingsScope settings_;
  TempFolder folder_;
  ConsoleLink link_;
};

TEST_F(TargetSessionTest, CommandsGoOutOnePerPollInTheOrderQueued) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  const std::string path = folder_.File("a.elf");
  ASSERT_TRUE(QueueReset(link_.page()));
  ASSERT_TRUE(QueueExecute(link_.page(), HeapCopy(path)));
  ASSERT_TRUE(link_.session().Append(kTagQuit, nullptr));
  EXPECT_EQ(nullptr, link_.session().LastExecuted());  // set when sent, not when queued

  const std::string bodies[] = {"", std::string("host:/exec/elf", 15), ""};
  const uint8_t codes[] = {0x00, 0x01, 0x03};
  for (int i = 0; i < 3; ++i) {
    sim::PollOutcome poll = link_.Serve(link_.console().Poll(0));
    ASSERT_TRUE(poll.ok && poll.command) << i;
    EXPECT_EQ(codes[i], poll.code);
    EXPECT_EQ(bodies[i], std::string(poll.body.begin(), poll.body.end()));
    EXPECT_FALSE(poll.followUp);
  }
  EXPECT_STREQ(path.c_str(), link_.session().LastExecuted());

  sim::PollOutcome empty = link_.Serve(link_.console().Poll(0));
  EXPECT_TRUE(empty.ok && !empty.command);
  EXPECT_EQ(0, empty.result);
  EXPECT_TRUE(link_.console().Violations().empty());
}

TEST_F(TargetSessionTest, AFailedCommandIsFollowedByAReplyZero) {
  // The console answers the reset with -1: the host owes its poll a reply 0.
  ASSERT_TRUE(QueueReset(link_.page()));
  sim::PollOutcome answered = link_.Serve(link_.console().Poll(-1));
  EXPECT_TRUE(answered.ok && answered.command && answered.followUp);
  EXPECT_EQ(0, answered.followUpResult);
  EXPECT_TRUE(link_.console().Violations().empty());

  // The reset can't be sent at all: the poll is still answered with a reply
  // 0 and the request counts as served. The failed send left the handshake
  // out of step, so what the console makes of that reply is the link
  // reset's business, not this test's.
  ASSERT_TRUE(QueueReset(link_.page()));
  auto pending = link_.console().Poll(0);
  SimDriver::At(Call::Write, 1, [] { SimDriver::FailNext(Call::Write, 1, ERROR_GEN_FAILURE); });
  SimDriver::ClearEvents();
  EXPECT_TRUE(ServeRequest(&link_.session()));
  link_.console().Detach();
  pending.get();
  std::vector<uint32_t> writes;
  for (auto& e : SimDriver::Events())
    if (e.call == Call::Write) writes.push_back(e.ok ? e.bytes : 0);
  EXPECT_EQ((std::vector<uint32_t>{0, 8, 4}), writes);  // the reset failed, then the reply
  auto log = link_.TakeLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Error sending packet header.\r\n", log[0].text);
  EXPECT_TRUE(link_.session().QueueEmpty());  // the failed command is not queued again
}

// Which command the ELF header asks for is the ELF check's own test; here:
// the page's file reaches the queue only whole, readable and unshared.
TEST_F(TargetSessionTest, ExecuteQueuesTheCommandTheFileAsksFor) {
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    bool heldOpen;  // by another reader while the page queues it
    uint32_t command;  // 0: nothing queued
  } rows[] = {
      {"IRX module", ElfHead(0x80, 0xFF, 18), false, kTagExecIop},
      {"executable", ElfHead(0x02, 0x00), false, kTagExecElf},
      {"17 bytes", ElfHead(0x80, 0xFF, 17), false, 0},
      {"no ELF magic", Bytes("not an ELF file at all"), false, 0},
      {"held open elsewhere", ElfHead(0x02, 0x00), true, 0},
  };
  for (auto& row : rows) {
    folder_.Write("f.bin", row.bytes);
    char* path = HeapCopy(folder_.File("f.bin"));
    HANDLE other = row.heldOpen ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, 0, nullptr)
                                : INVALID_HANDLE_VALUE;
    const bool queued = QueueExecute(link_.page(), path);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    EXPECT_EQ(row.command != 0, queued) << row.what;
    QueuedCommand* command = link_.session().TakeOldest();
    EXPECT_EQ(row.command, command ? command->command : 0) << row.what;
    if (!queued) std::free(path);
    FreeQueuedCommand(command);
  }
  char* missing = HeapCopy(folder_.File("missing.elf"));
  EXPECT_FALSE(QueueExecute(link_.page(), missing));
  std::free(missing);
}

TEST_F(TargetSessionTest, CommandsNeedAConnectedConsoleWithASession) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  char* path = HeapCopy(folder_.File("a.elf"));
  std::function<void()> breaks[] = {
      [&] { link_.record()->connected = 0; },
      [&] { link_.record()->session = nullptr; },
      [&] { link_.testPage().Attach(false); },
  };
  for (auto& broken : breaks) {
    broken();
    EXPECT_FALSE(QueueReset(link_.page()));
    EXPECT_FALSE(QueueExecute(link_.page(), path));
    link_.record()->connected = 1;
    link_.record()->session = &link_.session();
    link_.testPage().Attach(true);
  }
  EXPECT_TRUE(link_.session().QueueEmpty());
  EXPECT_FALSE(link_.session().Clear());
  std::free(path);
}

TEST_F(TargetSessionTest, LastExecutedFileIsTakenEvenWhenTheSendFails) {
  link_.console().Detach();
  EXPECT_EQ(-1, link_.session().SendExecIop("C:\\ps2\\mod.irx"));
  EXPECT_STREQ("C:\\ps2\\mod.irx", link_.session().LastExecuted());
  EXPECT_EQ(-1, link_.session().SendExecElf(nullptr));
  EXPECT_STREQ("C:\\ps2\\mod.irx", link_.session().LastExecuted());
  EXPECT_EQ(-1, link_.session().SendReset());
  EXPECT_EQ(-1, link_.session().SendQuit());
}

// A count of the C runtime's heap blocks in use. Without other threads at
// work, it returns to where it was once everything is released.
size_t BlocksInUse() {
  _HEAPINFO info = {};
  size_t used = 0;
  while (_heapwalk(&info) == _HEAPOK)
    if (info._useflag == _USEDENTRY) ++used;
  return used;
}

TEST(TargetSessionLifetime, DestroyingASessionReleasesItsCommandsAndPaths) {
  SimDriver::Reset();
  LinkDevice link;  // no cable: every send fails at once
  const size_t before = BlocksInUse();
  {
    TargetSession session(nullptr, &link);
    ASSERT_TRUE(session.Append(kTagExecElf, HeapCopy("C:\\a.elf")));
    ASSERT_TRUE(session.Append(kTagExecIop, HeapCopy("C:\\b.irx")));
    EXPECT_EQ(-1, session.SendExecElf("C:\\c.elf"));
    EXPECT_GT(BlocksInUse(), before);
  }
  EXPECT_EQ(before, BlocksInUse());
}

}  // namespace
