// TargetSession and its CommandQueue: commands queued from the page go out
// one per console poll, in order, over the simulated link.
#include "session/target_session.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>

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
  char* copy = HeapCopy(path);
  ASSERT_TRUE(QueueExecute(link_.page(), copy));
  ASSERT_TRUE(link_.session().Append(kTagQuit, nullptr));
  EXPECT_EQ(nullptr, link_.session().LastExecuted());  // set when sent, not when queued

  struct Expected {
    uint8_t code;
    std::string body;
  } expected[] = {{0x00, ""}, {0x01, std::string("host:/exec/elf", 15)}, {0x03, ""}};
  for (auto& e : expected) {
    sim::PollOutcome poll = link_.Serve(link_.console().Poll(0));
    ASSERT_TRUE(poll.ok);
    ASSERT_TRUE(poll.command);
    EXPECT_EQ(e.code, poll.code);
    EXPECT_EQ(e.body, std::string(poll.body.begin(), poll.body.end()));
    EXPECT_FALSE(poll.followUp);
  }
  ASSERT_NE(nullptr, link_.session().LastExecuted());
  EXPECT_EQ(path, link_.session().LastExecuted());

  sim::PollOutcome empty = link_.Serve(link_.console().Poll(0));
  ASSERT_TRUE(empty.ok);
  EXPECT_FALSE(empty.command);
  EXPECT_EQ(0, empty.result);
  EXPECT_TRUE(link_.session().QueueEmpty());
  EXPECT_TRUE(link_.console().Violations().empty());
}

TEST_F(TargetSessionTest, AFailedCommandIsFollowedByAReplyZero) {
  // The console answers the reset with -1: the host owes its poll a reply 0.
  ASSERT_TRUE(QueueReset(link_.page()));
  sim::PollOutcome answered = link_.Serve(link_.console().Poll(-1));
  ASSERT_TRUE(answered.ok);
  EXPECT_TRUE(answered.command);
  EXPECT_TRUE(answered.followUp);
  EXPECT_EQ(0, answered.followUpResult);
  EXPECT_TRUE(link_.console().Violations().empty());

  // The reset can't be sent at all: the poll is still answered with a reply
  // 0 and ServeRequest counts the request as served. The failed send left
  // the handshake out of step, so what the console makes of that reply is
  // the link reset's business, not this test's.
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

TEST_F(TargetSessionTest, ExecuteChecksTheElfHeader) {
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    bool queued;
    uint32_t command;
  } rows[] = {
      {"IRX module", ElfHead(0x80, 0xFF), true, kTagExecIop},
      {"executable", ElfHead(0x02, 0x00), true, kTagExecElf},
      {"0x80 0xFE", ElfHead(0x80, 0xFE), true, kTagExecElf},
      {"exactly 18 bytes", ElfHead(0x80, 0xFF, 18), true, kTagExecIop},
      {"17 bytes", ElfHead(0x80, 0xFF, 17), false, 0},
      {"ELF without 0x7F", {'E', 'L', 'F', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0}, false, 0},
      {"empty file", {}, false, 0},
  };
  for (auto& row : rows) {
    folder_.Write("f.bin", row.bytes);
    char* path = HeapCopy(folder_.File("f.bin"));
    bool queued = QueueExecute(link_.page(), path);
    EXPECT_EQ(row.queued, queued) << row.what;
    QueuedCommand* command = link_.session().TakeOldest();
    if (!queued) {
      std::free(path);
      EXPECT_EQ(nullptr, command) << row.what;
      continue;
    }
    ASSERT_NE(nullptr, command) << row.what;
    EXPECT_EQ(row.command, command->command) << row.what;
    EXPECT_EQ(path, command->path) << row.what;
    FreeQueuedCommand(command);
  }
  char* missing = HeapCopy(folder_.File("missing.elf"));
  EXPECT_FALSE(QueueExecute(link_.page(), missing));
  std::free(missing);
}

TEST_F(TargetSessionTest, CommandsNeedAConnectedConsoleWithASession) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  char* path = HeapCopy(folder_.File("a.elf"));
  struct Row {
    const char* what;
    std::function<void()> setup;
  } rows[] = {
      {"not connected", [&] { link_.record()->connected = 0; }},
      {"no session", [&] { link_.record()->session = nullptr; }},
      {"no record", [&] { link_.testPage().Attach(false); }},
  };
  for (auto& row : rows) {
    row.setup();
    EXPECT_FALSE(QueueReset(link_.page())) << row.what;
    EXPECT_FALSE(QueueExecute(link_.page(), path)) << row.what;
    link_.record()->connected = 1;
    link_.record()->session = &link_.session();
    link_.testPage().Attach(true);
  }
  EXPECT_TRUE(link_.session().QueueEmpty());
  EXPECT_FALSE(link_.session().Clear());
  std::free(path);
}

TEST_F(TargetSessionTest, LastExecutedFileFollowsTheSends) {
  // The console is gone: nothing can be sent, but the path is already taken.
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
