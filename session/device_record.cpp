// DeviceRecords as zero-filled heap blocks, the DeviceList head and count,
// and the SharedLock, one process-wide critical section.
#include "session/device_record.h"

#include <cstdlib>

DeviceRecord* DeviceList;
uint16_t DeviceCount;

namespace {

CRITICAL_SECTION sharedLock;
bool sharedLockExists;  // written by Create and Delete, while no other thread uses the lock

}  // namespace

DeviceRecord* NewDeviceRecord() {
  return static_cast<DeviceRecord*>(calloc(1, sizeof(DeviceRecord)));
}

void FreeDeviceRecord(DeviceRecord* record) { free(record); }

DeviceRecord* PageRecord(HWND page) {
  if (!IsWindow(page)) return nullptr;
  return reinterpret_cast<DeviceRecord*>(GetWindowLongPtrA(page, DWLP_USER));
}

void CreateSharedLock() {
  if (sharedLockExists) return;
  InitializeCriticalSection(&sharedLock);
  sharedLockExists = true;
}

void DeleteSharedLock() {
  if (!sharedLockExists) return;
  DeleteCriticalSection(&sharedLock);
  sharedLockExists = false;
}

// Entering a lock that was never made, or was deleted, would block for ever;
// without the lock only the UI thread is left to touch what it guards.
void EnterSharedLock() {
  if (sharedLockExists) EnterCriticalSection(&sharedLock);
}

void LeaveSharedLock() {
  if (sharedLockExists) LeaveCriticalSection(&sharedLock);
}
