// Trial of consoles that stop in the middle of a packet body, on the link
// worker with its real thread, the real main window and its pages, while a
// second cable's console reads a file without pause and the UI thread never
// waits on the worker (no cable comes or goes, nothing is saved): a console
// announces a 100000-byte request, sends 6000 bytes of it and goes silent,
// so the worker blocks reading the body's second chunk. The main window's
// stall timer must cut that read: each stall must end with "Error recieving
// packet body." on the stalled page, a ResetLink, the stalled console served
// again, and the reader's longest gap between two answers under the limit.
//   stall_trial [--stalls=N] [--gap-limit=MS]   (100 stalls, 3000 ms)
// A gap limit of 0 leaves the gaps unchecked (printed only), as the short
// run in make test does: a test asserts no timing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "session/device_record.h"
#include "session/link_worker.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "trials/trial_support.h"
#include "ui/device_list.h"
#include "ui/main_window.h"

using sim::Call;
using sim::SimDriver;

namespace {

long Stalls = 100;
long GapLimitMs = 3000;
constexpr uint32_t kRequest = 16 << 10;
const char kBodyError[] = "Error recieving packet body.\r\n";

// A console that reads a file in 16 KiB requests without pause, and keeps
// the longest time between two answers since the last Take.
class Reader {
 public:
  explicit Reader(int cable) : console_(trial::Console(cable)), thread_([this] { Run(); }) {}
  ~Reader() {
    stop_ = true;
    thread_.join();
  }
  double TakeLongestGap() { return longest_.exchange(0); }
  long Served() const { return served_; }

 private:
  void Run() {
    int32_t handle = -1;
    double last = Now();
    while (!stop_) {
      bool ok;
      if (handle < 3) {
        handle = console_->Open(1, "/reader.bin").get().result;
        ok = handle >= 3;
      } else {
        sim::HostReply reply = console_->Read(handle, kRequest).get();
        ok = reply.ok && reply.result >= 0;
        if (ok && reply.result == 0) ok = console_->Lseek(handle, 0, 0).get().result == 0;
      }
      if (!ok) continue;
      const double now = Now(), gap = now - last;
      last = now;
      ++served_;
      for (double was = longest_; gap > was && !longest_.compare_exchange_weak(was, gap);) {}
    }
  }
  std::unique_ptr<sim::ConsoleEmulator> console_;
  std::atomic<bool> stop_{false};
  std::atomic<long> served_{0};
  std::atomic<double> longest_{0};
  std::thread thread_;
};

using StallTrial = WorkerTest;

TEST_F(StallTrial, AConsoleStoppingInABodyIsCutWhileAnotherCableReadsOn) {
  Settings.shareExecFolder = 0;
  folder_.Write("reader.bin", std::vector<uint8_t>(256 << 10, 0xA5));
  SimDriver::SetStatusWaits(true);  // neither end spins on a shared machine
  SimDriver::SetRecording(false);
  SimDriver::SetReadTimeoutMs(60000);  // only the cancel may end the stuck read
  const int stallCable = SimDriver::Plug("stalling");
  const int readCable = SimDriver::Plug("reading");
  ASSERT_TRUE(ScanForCables());
  ASSERT_EQ(2, DeviceCount);
  HWND stalledPage = DeviceList->next->page;  // newest first
  auto console = trial::Console(stallCable);
  ASSERT_EQ(1, console->Open(0x02, "/dev/tty").get().result);
  Reader reader(readCable);
  ASSERT_TRUE(PumpUntil([&] { return reader.Served() > 10; }, 20000));

  std::vector<uint8_t> stall = {0xA0, 0x86, 0x01, 0x00, 'T', 'v', 'R', 0x10};  // 100000 bytes
  stall.resize(stall.size() + 6000, 0x5A);
  std::vector<double> gaps, cuts;
  int passed = 0;
  for (long i = 0; i < Stalls; ++i) {
    SCOPED_TRACE("stall " + std::to_string(i + 1));
    const uint64_t resets = SimDriver::Count(Call::ResetLink), cancels = SimDriver::Count(Call::CancelIo);
    const int errors = CountInPage(stalledPage, kBodyError);
    // Reads of the exchange: header, the body's first 4096 bytes, then stuck.
    HANDLE blocked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SimDriver::At(Call::Read, 3, [blocked] { SetEvent(blocked); });
    auto resetAt = std::make_shared<std::atomic<double>>(0);  // outlives a hook that never fires
    SimDriver::At(Call::ResetLink, 1, [resetAt] { *resetAt = Now(); });
    reader.TakeLongestGap();
    console->StallNextSend();
    console->SendRaw(stall).get();
    const bool stuck = PumpUntil([&] { return WaitForSingleObject(blocked, 0) == WAIT_OBJECT_0; }, 10000);
    CloseHandle(blocked);
    const double start = Now();
    const bool logged =
        PumpUntil([&] { return CountInPage(stalledPage, kBodyError) == errors + 1; }, 15000);
    const bool reset = SimDriver::Count(Call::ResetLink) > resets;
    auto tty = console->Open(0x02, "/dev/tty");
    const bool servedAgain = PumpUntil([&] {
      return tty.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }, 15000) && tty.get().result == 1;
    // The reader's gap over the stall is closed by its next answer.
    const long before = reader.Served();
    PumpUntil([&] { return reader.Served() > before; }, 15000);
    const double gap = reader.TakeLongestGap();
    const bool inTime = GapLimitMs == 0 || gap * 1000 < GapLimitMs;
    const bool ok = stuck && logged && reset && servedAgain && inTime;
    EXPECT_TRUE(ok) << "stuck " << stuck << " logged " << logged << " reset " << reset
                    << " served again " << servedAgain << " longest gap " << gap << " s";
    passed += ok;
    gaps.push_back(gap);
    if (*resetAt > 0) cuts.push_back(*resetAt - start);
    std::printf("R3 stall %3ld: reader's longest gap %.3f s, reset %.3f s after the stall, "
                "%llu cancel(s), body error %s, stalled console served again: %s\n",
                i + 1, gap, *resetAt > 0 ? *resetAt - start : -1.0,
                static_cast<unsigned long long>(SimDriver::Count(Call::CancelIo) - cancels),
                logged ? "logged" : "MISSING", servedAgain ? "yes" : "NO");
  }
  if (gaps.empty()) return;
  const Spread g = Summarise(gaps);
  std::printf("R3 %d of %ld stalls: body error logged, link reset, stalled console served again, "
              "reader's gap within %s, with no wait of the UI thread on the worker\n",
              passed, Stalls,
              GapLimitMs ? (std::to_string(GapLimitMs) + " ms").c_str() : "(not checked)");
  std::printf("R3 reader's longest gap per stall: median %.3f s, %.3f - %.3f (reads served %ld)\n",
              g.median, g.low, g.high, reader.Served());
  if (!cuts.empty()) {
    const Spread c = Summarise(cuts);
    std::printf("R3 stall to link reset: median %.3f s, %.3f - %.3f (n %zu, load %s)\n", c.median,
                c.low, c.high, cuts.size(), trial::LoadAverage().c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Stalls = trial::Size(argc, argv, "--stalls", Stalls);
  GapLimitMs = trial::Size(argc, argv, "--gap-limit", GapLimitMs);
  return RUN_ALL_TESTS();
}
