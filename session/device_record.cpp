// DeviceRecords as zero-filled heap blocks, the DeviceList head and count,
// and the log queue's way from a page window to its record's queue.
#include "session/device_record.h"

#include <cstdlib>

#include "log/log_queue.h"

DeviceRecord* DeviceList;
uint16_t DeviceCount;

DeviceRecord* NewDeviceRecord() {
  return static_cast<DeviceRecord*>(calloc(1, sizeof(DeviceRecord)));
}

void FreeDeviceRecord(DeviceRecord* record) { free(record); }

DeviceRecord* PageRecord(HWND page) {
  if (!IsWindow(page)) return nullptr;
  return reinterpret_cast<DeviceRecord*>(GetWindowLongPtrA(page, DWLP_USER));
}

LogQueue* PageLogQueue(HWND page) {
  DeviceRecord* record = PageRecord(page);
  return record ? &record->log : nullptr;
}
