// The simulated cable driver's own contract: every later test stands on it.
#include "sim/sim_driver.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "link/cable_driver.h"
#include "link/device_info.h"

using sim::Call;
using sim::SimDriver;
using namespace tavrin;

namespace {

class SimDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { SimDriver::Reset(); }
  void TearDown() override { SimDriver::Reset(); }

  HANDLE Open(int cable) {
    return CableDriver().CreateFileA(SimDriver::DevicePath(cable).c_str(),
                                     GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     0, nullptr);
  }
  static uint8_t HostStatus(HANDLE h) {
    uint8_t status = 0;
    DWORD n = 0;
    EXPECT_TRUE(CableDriver().DeviceIoControl(h, IOCTL_TAVRIN_GET_STATUS, nullptr, 0, &status,
                                              1, &n, nullptr));
    return status;
  }
  static BOOL Feature(HANDLE h, DWORD code, uint8_t bit) {
    DWORD n = 0;
    return CableDriver().DeviceIoControl(h, code, &bit, 1, nullptr, 0, &n, nullptr);
  }
};

TEST_F(SimDriverTest, RegisterIsSharedByBothEnds) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  auto console = SimDriver::AttachConsole(cable);
  uint8_t cs = 0;

  ASSERT_TRUE(Feature(h, IOCTL_TAVRIN_SET_FEATURE, kFeatureTransferRequest));
  ASSERT_TRUE(console->GetStatus(&cs));
  EXPECT_EQ(kStatusTransferRequest, cs & 6);
  ASSERT_TRUE(console->ClearFeature(kFeatureTransferRequest));
  EXPECT_EQ(0, HostStatus(h) & 6);
  ASSERT_TRUE(console->SetFeature(kFeatureTransferComplete));
  EXPECT_EQ(kStatusTransferComplete, HostStatus(h) & 6);
  ASSERT_TRUE(Feature(h, IOCTL_TAVRIN_CLEAR_FEATURE, kFeatureTransferComplete));
  ASSERT_TRUE(console->GetStatus(&cs));
  EXPECT_EQ(0, cs & 6);
  EXPECT_FALSE(console->SetFeature(1));
}

TEST_F(SimDriverTest, PeerAndTransmitReadyBits) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  EXPECT_EQ(kStatusTransmitReady, HostStatus(h));
  {
    auto console = SimDriver::AttachConsole(cable);
    EXPECT_EQ(kStatusTransmitReady | kStatusPeerExists, HostStatus(h));
    SimDriver::SetTransmitReady(cable, false);
    EXPECT_EQ(kStatusPeerExists, HostStatus(h));
    uint8_t cs = 0;
    ASSERT_TRUE(console->GetStatus(&cs));
    EXPECT_EQ(kStatusPeerExists, cs & kStatusPeerExists);  // the host holds the cable
    ASSERT_TRUE(CableDriver().CloseHandle(h));
    ASSERT_TRUE(console->GetStatus(&cs));
    EXPECT_EQ(0, cs & kStatusPeerExists);
    h = Open(cable);
  }
  EXPECT_EQ(0, HostStatus(h) & kStatusPeerExists);  // the console end was destroyed
}

TEST_F(SimDriverTest, CableOpensOnlyOnce) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(cable));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  ASSERT_TRUE(CableDriver().CloseHandle(h));
  EXPECT_FALSE(CableDriver().CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  DWORD n = 5;
  uint8_t status;
  EXPECT_FALSE(CableDriver().DeviceIoControl(h, IOCTL_TAVRIN_GET_STATUS, nullptr, 0, &status, 1,
                                             &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, n);
  EXPECT_NE(INVALID_HANDLE_VALUE, Open(cable));
}

TEST_F(SimDriverTest, UnplugFailsEveryCallButClose) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  auto console = SimDriver::AttachConsole(cable);
  SimDriver::Unplug(cable);
  const auto& d = CableDriver();
  uint8_t b = 0;
  DWORD n = 0;
  EXPECT_FALSE(d.DeviceIoControl(h, IOCTL_TAVRIN_GET_STATUS, nullptr, 0, &b, 1, &n, nullptr));
  EXPECT_FALSE(Feature(h, IOCTL_TAVRIN_SET_FEATURE, 2));
  EXPECT_FALSE(d.DeviceIoControl(h, IOCTL_TAVRIN_RESET_LINK, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_FALSE(d.WriteFile(h, &b, 1, &n, nullptr));
  EXPECT_FALSE(d.ReadFile(h, &b, 1, &n, nullptr));
  EXPECT_FALSE(console->Write(&b, 1));
  EXPECT_FALSE(console->GetStatus(&b));
  EXPECT_TRUE(d.CloseHandle(h));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(cable));
}

TEST_F(SimDriverTest, ReadsAreBounded) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  auto console = SimDriver::AttachConsole(cable);
  SimDriver::SetReadTimeoutMs(20);
  uint8_t b[4];
  DWORD n = 9;
  EXPECT_FALSE(CableDriver().ReadFile(h, b, 4, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), GetLastError());
  EXPECT_EQ(0u, n);
  EXPECT_FALSE(console->Read(b, 4, 20));

  // A reader waiting for bytes fails as soon as the peer goes.
  SimDriver::SetReadTimeoutMs(60000);
  std::thread drop([&] { console->Detach(); });
  EXPECT_FALSE(CableDriver().ReadFile(h, b, 4, &n, nullptr));
  drop.join();
}

TEST_F(SimDriverTest, ShortTransfersAndCountsAreReported) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  auto console = SimDriver::AttachConsole(cable);
  uint8_t b[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  DWORD n = 0;
  SimDriver::ShortNext(Call::Write, 3);
  ASSERT_TRUE(CableDriver().WriteFile(h, b, 8, &n, nullptr));
  EXPECT_EQ(3u, n);
  ASSERT_TRUE(console->Write(b, 8));
  SimDriver::ShortNext(Call::Read, 5);
  ASSERT_TRUE(CableDriver().ReadFile(h, b + 8, 8, &n, nullptr));
  EXPECT_EQ(5u, n);
  EXPECT_EQ(1u, SimDriver::Count(Call::Write));
  EXPECT_EQ(1u, SimDriver::Count(Call::Read));
  auto events = SimDriver::Events();
  ASSERT_EQ(3u, events.size());  // CreateFile, Write, Read
  EXPECT_EQ(Call::Write, events[1].call);
  EXPECT_EQ(8u, events[1].value);
  EXPECT_EQ(3u, events[1].bytes);
  EXPECT_EQ(Call::Read, events[2].call);
  EXPECT_EQ(5u, events[2].bytes);
  // A synchronous call without a count pointer is refused, as on Windows.
  EXPECT_FALSE(CableDriver().WriteFile(h, b, 1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(SimDriverTest, EnumerationHonoursTheSetupContracts) {
  SimDriver::Plug("c");
  const auto& d = CableDriver();
  HDEVINFO set = d.SetupDiGetClassDevsA(&GUID_DEVINTERFACE_TAVRIN, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA data = {};
  EXPECT_FALSE(d.SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TAVRIN, 0, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  data.cbSize = sizeof data;
  ASSERT_TRUE(d.SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TAVRIN, 0, &data));
  DWORD size = 0;
  EXPECT_FALSE(d.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::string path = SimDriver::DevicePath(0);
  EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1, size);
  std::vector<char> buffer(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = 5;  // the 32-bit size is wrong here
  EXPECT_FALSE(d.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(d.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size - 1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_TRUE(d.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
  EXPECT_EQ(path, detail->DevicePath);
  EXPECT_FALSE(d.SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TAVRIN, 1, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_TRUE(d.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(d.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  // Another interface class enumerates nothing.
  GUID other = GUID_DEVINTERFACE_TAVRIN;
  other.Data1 ^= 1;
  set = d.SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_FALSE(d.SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  d.SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimDriverTest, InjectedFailuresAndHooksFireWhenDue) {
  int cable = SimDriver::Plug("c");
  HANDLE h = Open(cable);
  auto console = SimDriver::AttachConsole(cable);
  SimDriver::FailNext(Call::GetStatus, 2, ERROR_IO_DEVICE);
  SimDriver::At(Call::GetStatus, 4, [cable] { SimDriver::DetachConsole(cable); });
  uint8_t status = 0;
  DWORD n = 0;
  auto get = [&] {
    return CableDriver().DeviceIoControl(h, IOCTL_TAVRIN_GET_STATUS, nullptr, 0, &status, 1, &n,
                                         nullptr);
  };
  EXPECT_FALSE(get());
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), GetLastError());
  EXPECT_FALSE(get());
  EXPECT_TRUE(get());
  EXPECT_EQ(kStatusPeerExists, status & kStatusPeerExists);
  EXPECT_TRUE(get());
  EXPECT_EQ(0, status & kStatusPeerExists);
  EXPECT_EQ(4u, SimDriver::Count(Call::GetStatus));
}

}  // namespace
