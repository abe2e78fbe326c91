// The simulated driver's USB 1.1 timing: how many frames a bulk transfer
// occupies, and that each host call ends in a later frame than the one it
// began in (a slow machine only adds frames). Frames are compared, never
// durations.
#include "sim/sim_timing.h"

#include <gtest/gtest.h>

#include <vector>

#include "link/cable_driver.h"
#include "sim/sim_driver.h"

using sim::SimDriver;

namespace {

TEST(SimTimingTest, BulkDataMovesNineteenPacketsOf64BytesPerFrame) {
  const struct {
    uint64_t bytes, frames;
  } rows[] = {{0, 1}, {64 * 19, 1}, {64 * 19 + 1, 2}, {1216000, 1000}};
  for (const auto& row : rows) EXPECT_EQ(row.frames, sim::BulkFrames(row.bytes)) << row.bytes;
}

TEST(SimTimingTest, EveryHostCallEndsAtALaterFrameUnderUsb11) {
  SimDriver::Reset();
  const int cable = SimDriver::Plug("timed");
  HANDLE h = CableDriver().CreateFileA(SimDriver::DevicePath(cable).c_str(),
                                       GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<uint8_t> bulk(64 * 19 * 3 + 1);  // 58 packets: 4 frames
  auto console = SimDriver::AttachConsole(cable);
  ASSERT_TRUE(console->Write(bulk.data(), static_cast<uint32_t>(bulk.size())));
  sim::SetTiming(sim::Timing::Usb11);
  DWORD n = 0;
  uint64_t before = sim::CurrentFrame();
  EXPECT_TRUE(CableDriver().DeviceIoControl(h, tavrin::IOCTL_TAVRIN_GET_STATUS, nullptr, 0,
                                            bulk.data(), 1, &n, nullptr));
  EXPECT_GE(sim::CurrentFrame(), before + 1) << "a status read";
  before = sim::CurrentFrame();
  EXPECT_TRUE(CableDriver().ReadFile(h, bulk.data(), static_cast<DWORD>(bulk.size()), &n, nullptr));
  EXPECT_GE(sim::CurrentFrame(), before + 4) << "a bulk read";
  sim::SetTiming(sim::Timing::Zero);
  CableDriver().CloseHandle(h);
  SimDriver::Reset();
}

}  // namespace
