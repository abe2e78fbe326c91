// The simulated driver's USB 1.1 timing: how many frames a bulk transfer
// occupies, and that each host call ends in a later frame than the one it
// began in (a slow machine only adds frames). Frames are compared, never
// durations.
#include "sim/sim_timing.h"

#include <gtest/gtest.h>

#include <vector>

#include "link/link_device.h"
#include "sim/sim_driver.h"

using sim::SimDriver;

TEST(SimTimingTest, BulkDataMovesNineteenPacketsOf64BytesPerFrame) {
  const struct {
    uint64_t bytes, frames;
  } rows[] = {{0, 1}, {64 * 19, 1}, {64 * 19 + 1, 2}, {1216000, 1000}};
  for (const auto& row : rows) EXPECT_EQ(row.frames, sim::BulkFrames(row.bytes)) << row.bytes;
}

TEST(SimTimingTest, EveryHostCallEndsAtALaterFrameUnderUsb11) {
  SimDriver::Reset();
  const int cable = SimDriver::Plug("timed");
  LinkDevice link;
  ASSERT_TRUE(link.Open(SimDriver::DevicePath(cable).c_str()));
  std::vector<uint8_t> bulk(64 * 19 * 3 + 1);  // 58 packets: 4 frames
  auto console = SimDriver::AttachConsole(cable);
  ASSERT_TRUE(console->Write(bulk.data(), static_cast<uint32_t>(bulk.size())));
  sim::SetTiming(sim::Timing::Usb11);
  BYTE status;
  uint64_t before = sim::CurrentFrame();
  EXPECT_TRUE(link.GetStatus(&status));
  EXPECT_GE(sim::CurrentFrame(), before + 1) << "a status read";
  DWORD n = 0;
  before = sim::CurrentFrame();
  EXPECT_TRUE(link.Read(bulk.data(), static_cast<DWORD>(bulk.size()), &n));
  EXPECT_GE(sim::CurrentFrame(), before + 4) << "a bulk read";
  sim::SetTiming(sim::Timing::Zero);
  link.Close();
  SimDriver::Reset();
}
