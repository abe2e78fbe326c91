// LinkDevice: one cable, the program's only way to the cable driver. It finds
// a free cable (the driver refuses one that is already open), opens it, reads
// its DeviceInfoBlock and offers the five control requests and bulk I/O.
// Each single driver call runs under the device's own lock, never a sequence
// of them, and leaves the driver's error code as the thread's last error.
#pragma once

#include <windows.h>

#include <string>

#include "link/device_info.h"

// Called just before and just after each driver call that LinkDevice makes
// on a thread that has set them (with the device's lock held, around the
// one call): the link worker marks its calls so that a stalled one, and
// only that one, can be cancelled. Per thread; none by default.
struct DriverCallMarks {
  void (*begin)();
  void (*end)();
};
void SetThreadDriverCallMarks(const DriverCallMarks* marks);

class LinkDevice {
 public:
  LinkDevice();
  ~LinkDevice();
  LinkDevice(const LinkDevice&) = delete;
  LinkDevice& operator=(const LinkDevice&) = delete;

  // With a device path, opens that cable; with none, scans the driver's
  // interfaces for the first cable that opens and answers get info.
  bool Open(const char* path = nullptr);
  bool Close();

  // One DeviceIoControl. `returned` (optional) gets the driver's byte count,
  // also after a failure.
  bool Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
               DWORD* returned);
  // One ReadFile / WriteFile. Success says only that the call succeeded; the
  // caller checks the count.
  bool Read(void* buffer, DWORD length, DWORD* transferred);
  bool Write(const void* buffer, DWORD length, DWORD* transferred);

  bool GetStatus(BYTE* status);
  bool SetFeature(BYTE bit);
  bool ClearFeature(BYTE bit);
  bool ResetLink();

  bool HasHandle() const { return handle_ != INVALID_HANDLE_VALUE; }
  std::string Name() const { return tavrin::CableName(info_); }

 private:
  bool Scan();
  template <typename Call>
  bool DriverCall(Call call);

  // Written straight by get info; the first field.
  tavrin::DeviceInfoBlock info_;
  // INVALID_HANDLE_VALUE when no cable is held.
  HANDLE handle_;
  // Held around each single driver call on handle_, never across two.
  CRITICAL_SECTION lock_;
};
