// Trial of cables unplugged and plugged in again under traffic, on the link
// worker with its real thread, the real main window and its pages: four
// cables, each with a console reading a file in 16 KiB requests without
// pause. A cycle unplugs one of them (in turn) in the middle of its traffic,
// waits until its page has gone, plugs a new cable, lets the main window's
// scan tick take it, and waits until the new console's first request is
// served. Prints the process's handle count and private bytes at the start,
// after 100 cycles and at the end, and the exchanges served meanwhile: the
// file a console holds when its cable goes closes with its device, so the
// handles stay flat.
//   replug_trial [--cycles=N]   (1000 by default)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "session/link_worker.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "trials/trial_support.h"
#include "ui/device_list.h"
#include "ui/main_window.h"

using sim::SimDriver;

namespace {

long Cycles = 1000;
constexpr int kCables = 4;
constexpr UINT_PTR kScanTimer = 2;  // the main window's scan tick
constexpr uint32_t kRequest = 16 << 10;

// One cable's console and the thread that keeps it busy until told to stop
// or until its cable goes.
struct Traffic {
  int cable = -1;
  std::unique_ptr<sim::ConsoleEmulator> console;
  std::atomic<bool> stop{false};
  std::atomic<long> served{0};
  long leftOpen = 0;  // 1 when the console's file was open at the unplug
  std::thread thread;

  void Start(int plugged) {
    cable = plugged;
    stop = false;
    served = 0;
    leftOpen = 0;
    console = trial::Console(cable);
    thread = std::thread([this] {
      int32_t handle = -1;
      while (!stop) {
        if (handle < 3) {
          handle = console->Open(1, "/traffic.bin").get().result;
          served += handle >= 3;
          continue;
        }
        sim::HostReply reply = console->Read(handle, kRequest).get();
        served += reply.ok;
        if (reply.ok && reply.result == 0) console->Lseek(handle, 0, 0).get();
      }
      leftOpen = handle >= 3;
    });
  }
  void Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
    console.reset();
  }
};

void PrintFigures(const char* when, long cycles, long served, long leftOpen) {
  std::printf("R5 %-12s cycle %4ld: handles %lu (consoles unplugged with a file open %ld), "
              "private bytes %.2f MB, devices %d, exchanges served %ld\n",
              when, cycles, trial::HandleCount(), leftOpen, PrivateBytes() / 1e6, DeviceCount,
              served);
}

using ReplugTrial = WorkerTest;

TEST_F(ReplugTrial, UnplugAndReplugUnderTrafficKeepsHandlesAndMemoryFlat) {
  TempFolder folder;
  Settings.shareExecFolder = 0;  // console paths under the shared folder
  SetSharedFolder(folder.Path().c_str());
  folder.Write("traffic.bin", std::vector<uint8_t>(256 << 10, 0xA5));
  SimDriver::SetStatusWaits(true);  // neither end spins on a shared machine
  SimDriver::SetRecording(false);
  Traffic traffic[kCables];
  for (auto& t : traffic) t.cable = SimDriver::Plug("replug");
  ASSERT_TRUE(ScanForCables());
  ASSERT_EQ(kCables, DeviceCount);
  for (auto& t : traffic) t.Start(t.cable);
  auto allServing = [&] {
    for (auto& t : traffic)
      if (t.served < 2) return false;
    return true;
  };
  ASSERT_TRUE(PumpUntil(allServing, 20000));

  long served = 0, failedCycles = 0, leftOpen = 0;
  const uint64_t handles0 = trial::HandleCount(), private0 = PrivateBytes();
  PrintFigures("at the start", 0, served, leftOpen);
  uint64_t handles100 = handles0, private100 = private0;
  const double start = Now();
  std::vector<double> cycleSeconds;
  for (long i = 0; i < Cycles; ++i) {
    const double cycleStart = Now();
    Traffic& t = traffic[i % kCables];
    // Unplugged in the middle of its traffic; its page closes.
    SimDriver::Unplug(t.cable);
    t.Stop();
    served += t.served;
    leftOpen += t.leftOpen;
    const bool gone = PumpUntil([] { return DeviceCount == kCables - 1; }, 10000);
    const int cable = SimDriver::Plug("replug");
    PostMessageA(MainWindow, WM_TIMER, kScanTimer, 0);
    const bool added = PumpUntil([] { return DeviceCount == kCables; }, 10000);
    t.Start(cable);
    const bool serving = PumpUntil([&] { return t.served > 0; }, 10000);
    if (!(gone && added && serving && cable >= 0)) {
      ++failedCycles;
      ADD_FAILURE() << "cycle " << i + 1 << ": gone " << gone << " added " << added
                    << " served " << serving << " cable " << cable;
      break;
    }
    cycleSeconds.push_back(Now() - cycleStart);
    if (i + 1 == 100) {
      handles100 = trial::HandleCount();
      private100 = PrivateBytes();
      PrintFigures("after", 100, served, leftOpen);
    }
  }
  for (auto& t : traffic) served += t.served;
  PrintFigures("at the end", static_cast<long>(cycleSeconds.size()), served, leftOpen);
  const uint64_t handles = trial::HandleCount(), privateEnd = PrivateBytes();
  for (auto& t : traffic) t.Stop();
  if (!cycleSeconds.empty()) {
    const Spread c = Summarise(cycleSeconds);
    std::printf("R5 %zu of %ld cycles over %d cables, %.1f s: per cycle median %.3f s, "
                "%.3f - %.3f; handles %+ld since the start, %+ld since cycle 100; private bytes "
                "%+.2f MB since the start, %+.2f MB since cycle 100 (load %s)\n",
                cycleSeconds.size(), Cycles, kCables, Now() - start, c.median, c.low, c.high,
                long(handles) - long(handles0), long(handles) - long(handles100),
                (double(privateEnd) - double(private0)) / 1e6,
                (double(privateEnd) - double(private100)) / 1e6,
                trial::LoadAverage().c_str());
  }
  EXPECT_EQ(0, failedCycles);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Cycles = trial::Size(argc, argv, "--cycles", Cycles);
  return RUN_ALL_TESTS();
}
