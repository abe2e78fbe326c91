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

namespace {

LogQueue* RecordLogQueue(HWND page) {
  DeviceRecord* record = PageRecord(page);
  return record ? &record->log : nullptr;
}

// Every program that makes records links this file, so the log queue knows
// its way to their queues before the first record exists.
const bool logQueueFound = (SetLogQueueFinder(RecordLogQueue), true);

}  // namespace
