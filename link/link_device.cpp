#include "link/link_device.h"

#include <memory>
#include <new>

#include "link/cable_driver.h"

using tavrin::kDeviceInfoSize;

namespace {

// The scan ends at ERROR_NO_MORE_ITEMS; a driver whose enumeration keeps
// failing with other errors would otherwise hold the UI thread for ever.
// No PC has this many cables.
constexpr DWORD kMaxInterfaceIndex = 256;

thread_local const DriverCallMarks* threadMarks = nullptr;

}  // namespace

void SetThreadDriverCallMarks(const DriverCallMarks* marks) { threadMarks = marks; }

LinkDevice::LinkDevice() : handle_(INVALID_HANDLE_VALUE) {
  InitializeCriticalSection(&lock_);
}

LinkDevice::~LinkDevice() {
  Close();
  DeleteCriticalSection(&lock_);
}

// The one shape of every driver call: no handle fails at once with error 0;
// otherwise the call runs under the lock, between the thread's marks, and
// its error code is set again after the lock is left, so the caller sees
// the driver's code.
template <typename Call>
bool LinkDevice::DriverCall(Call call) {
  SetLastError(0);
  if (!HasHandle()) return false;
  EnterCriticalSection(&lock_);
  const DriverCallMarks* marks = threadMarks;
  if (marks) marks->begin();
  const bool ok = call();
  const DWORD error = ok ? 0 : GetLastError();
  if (marks) marks->end();
  LeaveCriticalSection(&lock_);
  SetLastError(error);
  // A failed call is a failure even if the driver left no error code.
  return ok;
}

bool LinkDevice::Control(DWORD code, const void* in, DWORD inLength, void* out,
                         DWORD outLength, DWORD* returned) {
  DWORD count = 0;
  bool ok = DriverCall([&] {
    return CableDriver().DeviceIoControl(handle_, code, const_cast<void*>(in), inLength, out,
                                         outLength, &count, nullptr);
  });
  DWORD error = GetLastError();
  if (returned) *returned = count;
  SetLastError(error);
  return ok;
}

bool LinkDevice::Read(void* buffer, DWORD length, DWORD* transferred) {
  DWORD count = 0;
  bool ok = DriverCall(
      [&] { return CableDriver().ReadFile(handle_, buffer, length, &count, nullptr); });
  if (transferred) *transferred = count;
  return ok;
}

bool LinkDevice::Write(const void* buffer, DWORD length, DWORD* transferred) {
  DWORD count = 0;
  bool ok = DriverCall(
      [&] { return CableDriver().WriteFile(handle_, buffer, length, &count, nullptr); });
  if (transferred) *transferred = count;
  return ok;
}

bool LinkDevice::GetStatus(BYTE* status) {
  if (!status) return false;
  DWORD returned = 0;
  bool ok = Control(tavrin::IOCTL_TAVRIN_GET_STATUS, nullptr, 0, status, 1, &returned);
  return ok && returned == 1;
}

bool LinkDevice::SetFeature(BYTE bit) {
  return Control(tavrin::IOCTL_TAVRIN_SET_FEATURE, &bit, 1, nullptr, 0, nullptr);
}

bool LinkDevice::ClearFeature(BYTE bit) {
  return Control(tavrin::IOCTL_TAVRIN_CLEAR_FEATURE, &bit, 1, nullptr, 0, nullptr);
}

bool LinkDevice::ResetLink() {
  return Control(tavrin::IOCTL_TAVRIN_RESET_LINK, nullptr, 0, nullptr, 0, nullptr);
}

bool LinkDevice::Close() {
  SetLastError(0);
  if (!HasHandle()) return true;
  if (!CableDriver().CloseHandle(handle_)) return false;
  handle_ = INVALID_HANDLE_VALUE;
  return true;
}

bool LinkDevice::Open(const char* path) {
  if (!path) return Scan();
  if (HasHandle()) Close();
  handle_ = CableDriver().CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (!HasHandle()) return false;
  // A short or failed get info leaves the handle held until the next Open,
  // Close or the destructor.
  DWORD returned = 0;
  bool ok = Control(tavrin::IOCTL_TAVRIN_GET_INFO, nullptr, 0, &info_, kDeviceInfoSize,
                    &returned);
  return ok && returned >= kDeviceInfoSize;
}

// The first interface, in enumeration order, that opens wins. No list of the
// cables already held is kept: a held cable is skipped because the driver
// refuses to open it again.
bool LinkDevice::Scan() {
  const CableDriverPort& driver = CableDriver();
  HDEVINFO set = driver.SetupDiGetClassDevsA(&GUID_DEVINTERFACE_TAVRIN, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;

  bool opened = false;
  for (DWORD index = 0; !opened && index < kMaxInterfaceIndex; ++index) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!driver.SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TAVRIN, index,
                                            &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    DWORD size = 0;
    driver.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) continue;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (driver.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
      opened = Open(detail->DevicePath);
  }
  DWORD error = GetLastError();
  driver.SetupDiDestroyDeviceInfoList(set);
  SetLastError(error);
  return opened;
}
