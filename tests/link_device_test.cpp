// LinkDevice against the simulated cable driver.
#include "link/link_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/cable_protocol.h"
#include "sim/sim_driver.h"

using sim::Call;
using sim::SimDriver;

namespace {

class LinkDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { SimDriver::Reset(); }
  void TearDown() override { SimDriver::Reset(); }
};

TEST_F(LinkDeviceTest, FreshDeviceFailsEveryCallWithErrorZeroAndClosesFine) {
  LinkDevice device;
  BYTE status = 0xAA;
  DWORD count = 77;
  char buffer[4] = {};
  struct Row {
    const char* what;
    std::function<bool()> call;
  } rows[] = {
      {"GetStatus", [&] { return device.GetStatus(&status); }},
      {"Control", [&] { return device.Control(tavrin::IOCTL_TAVRIN_GET_STATUS, nullptr, 0,
                                              &status, 1, &count); }},
      {"Read", [&] { return device.Read(buffer, 4, &count); }},
      {"Write", [&] { return device.Write(buffer, 4, &count); }},
      {"SetFeature", [&] { return device.SetFeature(2); }},
      {"ClearFeature", [&] { return device.ClearFeature(2); }},
      {"ResetLink", [&] { return device.ResetLink(); }},
  };
  for (auto& row : rows) {
    SetLastError(1234);
    EXPECT_FALSE(row.call()) << row.what;
    EXPECT_EQ(0u, GetLastError()) << row.what;
  }
  EXPECT_EQ(0u, SimDriver::Count(Call::GetStatus));
  EXPECT_EQ(0u, SimDriver::Count(Call::Read));
  EXPECT_EQ(0xAA, status);
  EXPECT_TRUE(device.Close());
  EXPECT_EQ(0u, SimDriver::Count(Call::CloseHandle));
}

TEST_F(LinkDeviceTest, OpenByPathReadsNameAndStatus) {
  int cable = SimDriver::Plug("PL-2301 cable");
  auto console = SimDriver::AttachConsole(cable);
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  EXPECT_EQ("PL-2301 cable", device.Name());
  BYTE status = 0;
  ASSERT_TRUE(device.GetStatus(&status));
  EXPECT_EQ(tavrin::kStatusPeerExists | tavrin::kStatusTransmitReady, status);
  EXPECT_FALSE(device.GetStatus(nullptr));
}

TEST_F(LinkDeviceTest, StatusThatReportsNoBytesFails) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  SimDriver::StatusReportsNothing(1);
  BYTE status = 0;
  EXPECT_FALSE(device.GetStatus(&status));
  EXPECT_TRUE(device.GetStatus(&status));
}

TEST_F(LinkDeviceTest, ShortGetInfoFailsOpenButKeepsHandleUntilNextOpen) {
  int cable = SimDriver::Plug("a");
  std::string path = SimDriver::DevicePath(cable);
  LinkDevice device;
  SimDriver::SetInfoBytes(139);
  EXPECT_FALSE(device.Open(path.c_str()));
  EXPECT_TRUE(device.HasHandle());
  EXPECT_TRUE(SimDriver::IsOpen(cable));

  // The cable is exclusive: only closing the held handle lets the next Open in.
  SimDriver::SetInfoBytes(140);
  EXPECT_TRUE(device.Open(path.c_str()));
  EXPECT_EQ(1u, SimDriver::Count(Call::CloseHandle));
  EXPECT_EQ(1, SimDriver::OpenHandles());
}

TEST_F(LinkDeviceTest, FailedCreateFileLeavesNoHandle) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  SimDriver::FailNext(Call::CreateFile, 1, ERROR_GEN_FAILURE);
  EXPECT_FALSE(device.Open(SimDriver::DevicePath(cable).c_str()));
  EXPECT_FALSE(device.HasHandle());
  EXPECT_EQ(0u, SimDriver::Count(Call::GetInfo));
}

TEST_F(LinkDeviceTest, ScanWithoutCableEndsAtIndexZeroAndDestroysTheSet) {
  LinkDevice device;
  EXPECT_FALSE(device.Open());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_FALSE(device.HasHandle());
  EXPECT_EQ(1u, SimDriver::Count(Call::EnumInterfaces));
  EXPECT_EQ(1u, SimDriver::Count(Call::DestroyInfoList));
  EXPECT_EQ(0, SimDriver::OpenInfoSets());
}

TEST_F(LinkDeviceTest, ScanFailsWhenNoSetCanBeHad) {
  SimDriver::Plug("a");
  SimDriver::FailNext(Call::GetClassDevs, 1, ERROR_NOT_ENOUGH_MEMORY);
  LinkDevice device;
  EXPECT_FALSE(device.Open());
  EXPECT_EQ(0u, SimDriver::Count(Call::EnumInterfaces));
  EXPECT_EQ(0u, SimDriver::Count(Call::DestroyInfoList));
}

TEST_F(LinkDeviceTest, EnumerationErrorSkipsOnlyThatIndex) {
  SimDriver::Plug("first");
  SimDriver::Plug("second");
  SimDriver::FailEnumAt(0, ERROR_INVALID_DATA);
  LinkDevice device;
  ASSERT_TRUE(device.Open());
  EXPECT_EQ("second", device.Name());
  EXPECT_EQ(0, SimDriver::OpenInfoSets());
}

TEST_F(LinkDeviceTest, EnumerationThatNeverEndsIsCutOff) {
  SimDriver::Plug("a");
  SimDriver::FailNext(Call::EnumInterfaces, 1 << 30, ERROR_INVALID_DATA);
  LinkDevice device;
  EXPECT_FALSE(device.Open());
  EXPECT_EQ(256u, SimDriver::Count(Call::EnumInterfaces));
  EXPECT_EQ(0, SimDriver::OpenInfoSets());
}

TEST_F(LinkDeviceTest, UnreadableDetailSkipsThatIndex) {
  SimDriver::Plug("first");
  SimDriver::Plug("second");
  // Index 0's detail read fails after its size query succeeded.
  SimDriver::At(Call::GetInterfaceDetail, 2,
                [] { SimDriver::FailNext(Call::GetInterfaceDetail, 1, ERROR_INVALID_DATA); });
  LinkDevice device;
  ASSERT_TRUE(device.Open());
  EXPECT_EQ("second", device.Name());
}

TEST_F(LinkDeviceTest, TwoCablesTwoScansOpenBothAndAThirdFails) {
  int first = SimDriver::Plug("first");
  int second = SimDriver::Plug("second");
  LinkDevice a, b, c;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_EQ("first", a.Name());
  EXPECT_EQ("second", b.Name());
  EXPECT_TRUE(SimDriver::IsOpen(first));
  EXPECT_TRUE(SimDriver::IsOpen(second));
  EXPECT_FALSE(c.Open());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_FALSE(c.HasHandle());
  EXPECT_EQ(0, SimDriver::OpenInfoSets());
}

TEST_F(LinkDeviceTest, DriverErrorSurvivesTheLock) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  char buffer[8] = {};
  DWORD count = 99;
  struct Row {
    const char* what;
    Call kind;
    DWORD error;
    std::function<bool()> call;
  } rows[] = {
      {"Control", Call::ResetLink, ERROR_CRC,
       [&] { return device.Control(tavrin::IOCTL_TAVRIN_RESET_LINK, nullptr, 0, nullptr, 0,
                                   &count); }},
      {"Read", Call::Read, ERROR_SEM_TIMEOUT, [&] { return device.Read(buffer, 8, &count); }},
      {"Write", Call::Write, ERROR_DEVICE_NOT_CONNECTED,
       [&] { return device.Write(buffer, 8, &count); }},
      {"Read failing with no code", Call::Read, 0, [&] { return device.Read(buffer, 8, &count); }},
  };
  for (auto& row : rows) {
    SimDriver::FailNext(row.kind, 1, row.error);
    EXPECT_FALSE(row.call()) << row.what;
    EXPECT_EQ(row.error, GetLastError()) << row.what;
    EXPECT_EQ(0u, count) << row.what;
  }
}

TEST_F(LinkDeviceTest, ControlReportsByteCountAlsoAfterFailure) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  BYTE tooSmall[4];
  DWORD returned = 123;
  EXPECT_FALSE(device.Control(tavrin::IOCTL_TAVRIN_GET_INFO, nullptr, 0, tooSmall,
                              sizeof tooSmall, &returned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0u, returned);
  EXPECT_FALSE(device.Control(0x220014, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
}

TEST_F(LinkDeviceTest, FeaturesMoveTheSharedRegister) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  EXPECT_TRUE(device.SetFeature(tavrin::kFeatureTransferRequest));
  EXPECT_TRUE(device.SetFeature(tavrin::kFeatureTransferComplete));
  EXPECT_EQ(6, SimDriver::Register(cable));
  EXPECT_TRUE(device.ClearFeature(tavrin::kFeatureTransferRequest));
  EXPECT_EQ(4, SimDriver::Register(cable));
  EXPECT_FALSE(device.SetFeature(8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(device.ResetLink());
  EXPECT_EQ(0, SimDriver::Register(cable));
}

TEST_F(LinkDeviceTest, NameWithoutNulEndsAtTheBlocksEnd) {
  std::string longName(200, 'n');
  for (size_t i = 0; i < longName.size(); ++i) longName[i] = static_cast<char>('a' + i % 26);
  int cable = SimDriver::Plug(longName);
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  EXPECT_EQ(longName.substr(0, 132), device.Name());
}

TEST_F(LinkDeviceTest, FailedCloseKeepsTheHandle) {
  int cable = SimDriver::Plug("a");
  LinkDevice device;
  ASSERT_TRUE(device.Open(SimDriver::DevicePath(cable).c_str()));
  SimDriver::FailNext(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(device.Close());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(device.HasHandle());
  EXPECT_TRUE(device.Close());
  EXPECT_FALSE(SimDriver::IsOpen(cable));
}

TEST_F(LinkDeviceTest, DestructorReleasesTheCable) {
  int cable = SimDriver::Plug("a");
  {
    LinkDevice device;
    ASSERT_TRUE(device.Open());
    EXPECT_TRUE(SimDriver::IsOpen(cable));
  }
  EXPECT_FALSE(SimDriver::IsOpen(cable));
}

}  // namespace
