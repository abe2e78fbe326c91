// Trial of consoles that misbehave towards each other, on the link worker
// with its real thread, the real main window and its pages. A second
// console stays on its cable throughout; each round a new console comes on
// a new cable, opens a file and writes to it; the second console's close,
// read, write and lseek of that handle must be refused and change nothing;
// the new console opens files up to its limit, where the next open is
// refused and creates nothing, while the second console is still served;
// then the new console goes (its peer lost on odd rounds, its cable
// unplugged on every round) and every file it held must be closed, the
// process's handle count back where it was before the round.
//   isolation_trial [--rounds=N]   (100 by default)
#include <gtest/gtest.h>

#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/console_files.h"
#include "session/device_record.h"
#include "session/target_session.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "trials/trial_support.h"
#include "ui/device_list.h"
#include "ui/main_window.h"

using sim::SimDriver;

namespace {

long Rounds = 100;

std::vector<uint8_t> Bytes(const char* text) { return {text, text + std::strlen(text)}; }

using IsolationTrial = WorkerTest;

TEST_F(IsolationTrial, ConsolesNeitherReachStarveNorOutliveEachOther) {
  Settings.shareExecFolder = 0;
  SimDriver::SetRecording(false);
  const int otherCable = SimDriver::Plug("other");
  ASSERT_TRUE(ScanForCables());
  auto other = trial::Console(otherCable);
  ASSERT_EQ(1, other->Open(0x02, "/dev/tty").get().result);
  const uint8_t elf[18] = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  folder_.Write("program.elf", {elf, elf + sizeof elf});
  PumpUntil([] { return false; }, 200);  // the page's first lines drawn

  int passed = 0;
  const DWORD handlesAtStart = trial::HandleCount();
  long handleChanges = 0;
  const double start = Now();
  for (long i = 0; i < Rounds; ++i) {
    SCOPED_TRACE("round " + std::to_string(i + 1));
    const DWORD handlesBefore = trial::HandleCount();
    const int cable = SimDriver::Plug("round " + std::to_string(i + 1));
    ASSERT_TRUE(ScanForCables());
    HWND page = DeviceList->page;  // newest first
    auto console = trial::Console(cable);
    const std::string name = "/mine" + std::to_string(i % 2) + ".bin";
    const int32_t mine = console->Open(0x603, name).get().result;  // read, write, create, truncate
    const bool wrote = console->Write(mine, Bytes("mine")).get().result == 4;

    // The other console names the handle: nothing happens to the file.
    const int32_t refused[] = {
        other->Close(mine).get().result, other->Read(mine, 4).get().result,
        other->Write(mine, Bytes("XX")).get().result, other->Lseek(mine, 0, 2).get().result};
    const bool crossRefused = std::all_of(std::begin(refused), std::end(refused),
                                          [](int32_t r) { return r == -1; });
    const bool intact = console->Lseek(mine, 0, 0).get().result == 0 &&
                        console->Read(mine, 16).get().data == Bytes("mine");

    // Up to the limit (through the executed file, which skips the path
    // checks: an ordinary open costs several times as much under Wine); the
    // next open is refused and creates nothing, and the other console is
    // still served.
    char* executable = _strdup(folder_.File("program.elf").c_str());
    const bool executed = QueueExecute(page, executable) && console->Poll(0).get().command;
    if (!executed) std::free(executable);
    std::vector<int32_t> held = {mine};
    while (held.size() < kMaxConsoleFiles) held.push_back(console->Open(1, "/exec/elf").get().result);
    const bool allOpened = std::all_of(held.begin(), held.end(), [](int32_t h) { return h >= 3; });
    const bool limited = console->Open(0x202, "/over.bin").get().result == -1 &&
                         GetFileAttributesA(folder_.File("over.bin").c_str()) == INVALID_FILE_ATTRIBUTES;
    const int32_t others = other->Open(1, name).get().result;
    const bool otherServed = others >= 3 && other->Close(others).get().result == 0;

    // The console goes: its peer first on odd rounds, then its cable.
    bool peerLost = true;
    if (i % 2) {
      console->Detach();
      peerLost = PumpUntil([&] { return CountInPage(page, "Peer lost.\r\n") == 1; }, 10000);
    }
    console.reset();
    SimDriver::Unplug(cable);
    const bool removed = PumpUntil([] { return DeviceCount == 1; }, 10000);
    const bool released = std::all_of(held.begin(), held.end(),
                                      [](int32_t h) { return _get_osfhandle(h) == -1; });
    const DWORD handlesAfter = trial::HandleCount();
    handleChanges += long(handlesAfter) - long(handlesBefore);
    const bool ok = wrote && crossRefused && intact && executed && allOpened && limited && otherServed &&
                    peerLost && removed && released;
    EXPECT_TRUE(ok) << "wrote " << wrote << " refused " << crossRefused << " intact " << intact
                    << " executed " << executed << " opened " << allOpened << " limited " << limited << " other served "
                    << otherServed << " peer lost " << peerLost << " removed " << removed
                    << " released " << released;
    passed += ok;
    if (i < 3 || i + 1 == Rounds || (i + 1) % 25 == 0)
      std::printf("R8 round %3ld: %zu files held at the limit, handles %lu before, %lu with the "
                  "console gone (%s)\n",
                  i + 1, held.size(), handlesBefore, handlesAfter,
                  i % 2 ? "peer lost, then unplugged" : "unplugged");
    if (!ok) break;
  }
  std::printf("R8 %d of %ld rounds: cross-console close/read/write/lseek refused, the limit "
              "held with the other console served, every file released; handles %lu at the start, "
              "%lu at the end (%+ld over the rounds), %.1f s\n",
              passed, Rounds, handlesAtStart, trial::HandleCount(), handleChanges, Now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Rounds = trial::Size(argc, argv, "--rounds", Rounds);
  return RUN_ALL_TESTS();
}
