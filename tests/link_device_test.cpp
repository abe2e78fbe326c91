// LinkDevice against the simulated cable driver, the driver's wire values,
// and the simulated driver's USB 1.1 timing.
#include "link/link_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "sim/sim_driver.h"
#include "sim/sim_timing.h"

using namespace tavrin;
using sim::Call;
using sim::SimDriver;

namespace {

// Written out here, not taken from the header that the simulated driver
// shares with the host: a wrong value there would fool both ends alike.
TEST(CableProtocolTest, WireValuesAreTheDrivers) {
  const uint32_t codes[] = {IOCTL_TAVRIN_GET_INFO, IOCTL_TAVRIN_RESET_LINK, IOCTL_TAVRIN_GET_STATUS,
                            IOCTL_TAVRIN_SET_FEATURE, IOCTL_TAVRIN_CLEAR_FEATURE};
  const uint32_t wire[] = {0x220000, 0x220004, 0x220008, 0x22000C, 0x220010};
  EXPECT_EQ(0, std::memcmp(wire, codes, sizeof codes));
  const uint8_t bits[] = {kStatusPeerExists, kStatusTransferRequest, kStatusTransferComplete,
                          kStatusTransmitReady, kFeatureTransferRequest, kFeatureTransferComplete};
  const uint8_t wireBits[] = {1, 2, 4, 32, 2, 4};
  EXPECT_EQ(0, std::memcmp(wireBits, bits, sizeof bits));
  const GUID guid = {0x5a8e3c12, 0x7d40, 0x11d5, {0xb2, 0xc4, 0x00, 0x50, 0xda, 0x61, 0xe9, 0xf7}};
  EXPECT_EQ(0, std::memcmp(&guid, &GUID_DEVINTERFACE_TAVRIN, sizeof guid));
}

class LinkDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { SimDriver::Reset(); }
  void TearDown() override {
    device_.Close();
    SimDriver::Reset();
  }
  LinkDevice device_;
};

TEST_F(LinkDeviceTest, WithoutAHandleEveryCallFailsWithErrorZeroAndReachesNoDriver) {
  BYTE status = 0xAA;
  DWORD count = 77;
  char buffer[4] = {};
  std::function<bool()> calls[] = {
      [&] { return device_.GetStatus(&status); }, [&] { return device_.Read(buffer, 4, &count); },
      [&] { return device_.Write(buffer, 4, &count); }, [&] { return device_.SetFeature(2); },
      [&] { return device_.ClearFeature(2); },          [&] { return device_.ResetLink(); }};
  for (auto& call : calls) {
    SetLastError(1234);
    EXPECT_FALSE(call());
    EXPECT_EQ(0u, GetLastError());
  }
  EXPECT_EQ(0xAA, status);
  EXPECT_TRUE(device_.Close());
  for (int c = 0; c < int(Call::kCount); ++c) EXPECT_EQ(0u, SimDriver::Count(Call(c)));
}

TEST_F(LinkDeviceTest, OpenByPathStatusFeaturesAndClose) {
  const int cable = SimDriver::Plug("PL-2301 cable");
  const std::string path = SimDriver::DevicePath(cable);
  auto console = SimDriver::AttachConsole(cable);
  SimDriver::SetInfoBytes(139);  // a short get info fails the open but keeps the handle
  EXPECT_FALSE(device_.Open(path.c_str()));
  EXPECT_TRUE(device_.HasHandle());
  // The cable opens only once: the next Open must close the held handle first.
  SimDriver::SetInfoBytes(140);
  ASSERT_TRUE(device_.Open(path.c_str()));
  EXPECT_EQ(1, SimDriver::OpenHandles());
  EXPECT_EQ("PL-2301 cable", device_.Name());
  const sim::OpenArgs open = SimDriver::LastOpen();
  EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), open.access);
  EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), open.share);
  EXPECT_EQ(DWORD(OPEN_EXISTING), open.disposition);
  EXPECT_EQ(0u, open.flags);  // synchronous I/O
  EXPECT_FALSE(open.security || open.templ);

  BYTE status = 0;
  ASSERT_TRUE(device_.GetStatus(&status));
  EXPECT_EQ(kStatusPeerExists | kStatusTransmitReady, status);
  EXPECT_FALSE(device_.GetStatus(nullptr));
  SimDriver::StatusReportsNothing(1);  // succeeds, but with 0 bytes
  EXPECT_FALSE(device_.GetStatus(&status));

  // The features move the register both ends share; a reset clears it.
  EXPECT_TRUE(device_.SetFeature(kFeatureTransferRequest) &&
              device_.SetFeature(kFeatureTransferComplete) &&
              device_.ClearFeature(kFeatureTransferRequest));
  EXPECT_EQ(4, SimDriver::Register(cable));
  EXPECT_TRUE(device_.ResetLink());
  EXPECT_EQ(0, SimDriver::Register(cable));

  SimDriver::FailNext(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(device_.Close());
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(device_.HasHandle());
  ASSERT_TRUE(device_.Close());
  EXPECT_FALSE(device_.HasHandle());
  EXPECT_FALSE(SimDriver::IsOpen(cable));
  SimDriver::FailNext(Call::CreateFile, 1, ERROR_GEN_FAILURE);
  EXPECT_FALSE(device_.Open(path.c_str()));
  EXPECT_FALSE(device_.HasHandle());
  EXPECT_EQ(2u, SimDriver::Count(Call::GetInfo));
}

TEST_F(LinkDeviceTest, ScanOpensTheFirstPresentCableThatOpensAndAlwaysDestroysTheSet) {
  struct Row {
    const char* what;
    int cables;
    std::function<void()> fault;
    const char* opens;  // the name of the cable opened; none: the scan fails
    uint64_t enumerations;
  } rows[] = {
      {"no cable", 0, [] {}, nullptr, 1},
      {"no device set", 1, [] { SimDriver::FailNext(Call::GetClassDevs, 1, ERROR_OUTOFMEMORY); },
       nullptr, 0},
      {"enumeration error at 0", 2, [] { SimDriver::FailEnumAt(0, ERROR_INVALID_DATA); }, "1", 2},
      {"enumeration that never ends", 1,
       [] { SimDriver::FailNext(Call::EnumInterfaces, 1 << 30, ERROR_INVALID_DATA); }, nullptr, 256},
      {"unreadable detail at 0", 2,
       [] {  // the size query succeeds, the read of the detail fails
         SimDriver::At(Call::GetInterfaceDetail, 2,
                       [] { SimDriver::FailNext(Call::GetInterfaceDetail, 1, ERROR_INVALID_DATA); });
       },
       "1", 2},
      // Present devices only: an unplugged cable is not even enumerated.
      {"first cable unplugged", 2, [] { SimDriver::Unplug(0); }, "1", 1},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    SimDriver::Reset();
    for (int i = 0; i < row.cables; ++i) SimDriver::Plug(std::to_string(i));
    row.fault();
    LinkDevice device;
    const bool opened = device.Open();
    const DWORD error = GetLastError();
    EXPECT_EQ(row.opens != nullptr, opened);
    EXPECT_EQ(row.cables == 0 ? DWORD(ERROR_NO_MORE_ITEMS) : error, error);
    EXPECT_EQ(row.opens ? row.opens : "", opened ? device.Name() : "");
    EXPECT_EQ(opened, device.HasHandle());
    EXPECT_EQ(row.enumerations, SimDriver::Count(Call::EnumInterfaces));
    EXPECT_EQ(0, SimDriver::OpenInfoSets());
  }
}

TEST_F(LinkDeviceTest, DriverErrorAndCountSurviveTheLock) {
  ASSERT_TRUE(device_.Open(SimDriver::DevicePath(SimDriver::Plug("a")).c_str()));
  char buffer[8] = {};
  DWORD count;
  struct Row {
    Call kind;
    DWORD error;
    std::function<bool()> call;
  } rows[] = {
      {Call::GetInfo, ERROR_INSUFFICIENT_BUFFER,  // no fault: 4 bytes are too few
       [&] { return device_.Control(IOCTL_TAVRIN_GET_INFO, nullptr, 0, buffer, 4, &count); }},
      {Call::ResetLink, ERROR_CRC,
       [&] { return device_.Control(IOCTL_TAVRIN_RESET_LINK, nullptr, 0, nullptr, 0, &count); }},
      {Call::Read, ERROR_SEM_TIMEOUT, [&] { return device_.Read(buffer, 8, &count); }},
      {Call::Write, ERROR_DEVICE_NOT_CONNECTED, [&] { return device_.Write(buffer, 8, &count); }},
      {Call::Read, 0, [&] { return device_.Read(buffer, 8, &count); }},  // failed, no code
  };
  for (auto& row : rows) {
    if (row.kind != Call::GetInfo) SimDriver::FailNext(row.kind, 1, row.error);
    count = 99;
    EXPECT_FALSE(row.call()) << int(row.kind);
    EXPECT_EQ(row.error, GetLastError()) << int(row.kind);
    EXPECT_EQ(0u, count) << int(row.kind);
  }
}

// Each scan opens the first cable not yet held. The driver takes one call
// at a time on a handle; the simulated one counts any call that begins
// while another is still running there.
TEST_F(LinkDeviceTest, ScansOpenEachCableOnceAndCallsFromTwoThreadsNeverOverlap) {
  auto console = SimDriver::AttachConsole(SimDriver::Plug("first"));
  SimDriver::Plug("second");
  {
    LinkDevice second, none;
    ASSERT_TRUE(device_.Open() && second.Open());
    EXPECT_EQ("first", device_.Name());
    EXPECT_EQ("second", second.Name());
    EXPECT_FALSE(none.Open());
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
  }
  EXPECT_EQ(1, SimDriver::OpenHandles());  // the destructor closed the second
  SimDriver::SetRecording(false);
  std::thread other([&] {
    for (int i = 0; i < 20000; ++i) device_.SetFeature(i % 2 ? 2 : 4);
  });
  BYTE status;
  for (int i = 0; i < 20000; ++i) device_.GetStatus(&status);
  other.join();
  EXPECT_EQ(0u, SimDriver::Overlaps());
}

// Frames a bulk transfer occupies, and that each host call ends in a later
// frame than it began in (a slow machine only adds frames). Frames are
// compared, never durations.
TEST(SimTimingTest, BulkDataMovesNineteenPacketsOf64BytesPerFrame) {
  const struct {
    uint64_t bytes, frames;
  } rows[] = {{0, 1}, {64 * 19, 1}, {64 * 19 + 1, 2}, {1216000, 1000}};
  for (const auto& row : rows) EXPECT_EQ(row.frames, sim::BulkFrames(row.bytes)) << row.bytes;
}

TEST_F(LinkDeviceTest, UnderUsb11EveryHostCallEndsAtALaterFrame) {
  const int cable = SimDriver::Plug("timed");
  ASSERT_TRUE(device_.Open(SimDriver::DevicePath(cable).c_str()));
  std::vector<uint8_t> bulk(64 * 19 * 3 + 1);  // 58 packets: 4 frames
  auto console = SimDriver::AttachConsole(cable);
  ASSERT_TRUE(console->Write(bulk.data(), static_cast<uint32_t>(bulk.size())));
  sim::SetTiming(sim::Timing::Usb11);
  BYTE status;
  DWORD n = 0;
  uint64_t before = sim::CurrentFrame();
  EXPECT_TRUE(device_.GetStatus(&status));
  EXPECT_GE(sim::CurrentFrame(), before + 1) << "a status read";
  before = sim::CurrentFrame();
  EXPECT_TRUE(device_.Read(bulk.data(), static_cast<DWORD>(bulk.size()), &n));
  EXPECT_GE(sim::CurrentFrame(), before + 4) << "a bulk read";
  sim::SetTiming(sim::Timing::Zero);
}

}  // namespace
