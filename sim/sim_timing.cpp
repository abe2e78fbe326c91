// The USB 1.1 timing model: a frame clock of 1 ms, and waits until the frame
// boundary at which a transfer would be done. Waiting sleeps, so a host that
// polls the status back to back costs about as little processor time as on
// a real cable.
#include "sim/sim_timing.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace sim {
namespace {

constexpr uint64_t kBulkPacketBytes = 64;
constexpr uint64_t kBulkPacketsPerFrame = 19;

std::atomic<Timing> CurrentModel{Timing::Zero};

using Clock = std::chrono::steady_clock;

Clock::time_point Epoch() {
  static const Clock::time_point epoch = Clock::now();
  return epoch;
}

// Sleeps until frame `frame` has begun.
void SleepUntilFrame(uint64_t frame) {
  const auto at = Epoch() + std::chrono::milliseconds(frame);
  while (Clock::now() < at) std::this_thread::sleep_until(at);
}

}  // namespace

void SetTiming(Timing timing) { CurrentModel.store(timing); }

Timing CurrentTiming() { return CurrentModel.load(); }

uint64_t CurrentFrame() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Epoch()).count());
}

uint64_t BulkFrames(uint64_t bytes) {
  const uint64_t packets = bytes == 0 ? 1 : (bytes + kBulkPacketBytes - 1) / kBulkPacketBytes;
  return (packets + kBulkPacketsPerFrame - 1) / kBulkPacketsPerFrame;
}

void AwaitControlRequest() {
  if (CurrentTiming() == Timing::Usb11) SleepUntilFrame(CurrentFrame() + 1);
}

void AwaitBulk(uint64_t bytes) {
  if (CurrentTiming() == Timing::Usb11) SleepUntilFrame(CurrentFrame() + BulkFrames(bytes));
}

}  // namespace sim
