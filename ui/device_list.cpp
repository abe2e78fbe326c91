// The UI thread's operations on the DeviceList: each change parks the worker,
// takes the SharedLock and lets the worker go on; a device comes with its
// page and tab and goes with them, with a sound and the count on the About
// page.
#include "ui/device_list.h"

#include <new>

#include "link/link_device.h"
#include "link/packet_format.h"
#include "log/log_queue.h"
#include "session/device_record.h"
#include "session/link_worker.h"
#include "session/target_session.h"
#include "ui/device_page.h"
#include "ui/log_view.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

void Log(HWND page, const char* text) { AppendLogText(page, text, LogNotice); }

DeviceRecord** LinkTo(DeviceRecord* predecessor) {
  return predecessor ? &predecessor->next : &DeviceList;
}

// Frees what the record owns and the record itself; it is off the list.
void ReleaseRecord(DeviceRecord* record) {
  FreeLogEntries(record->log.head);
  delete record->session;
  if (record->link) record->link->Close();
  delete record->link;
  FreeDeviceRecord(record);
}

void CountDevices(int change) {
  DeviceCount = static_cast<uint16_t>(DeviceCount + change);
  AttentionFlag.store(1);
  UpdateDeviceCountText(AboutPage);
}

// Flushes the page's log and takes its tab away, then destroys it (also
// when the tab could not be removed, if `forced`). False: the page stays.
bool ClosePage(HWND page, bool forced) {
  if (!IsWindow(page)) return true;
  FlushLog(page);
  if (!RemovePageTab(page) && !forced) return false;
  DestroyWindow(page);
  return true;
}

// Opens the next free cable and adds its device; false when there is none.
bool AddNextCable() {
  LinkDevice* link = new (std::nothrow) LinkDevice;
  if (!link) return false;
  if (link->Open() && AddDevice(link)) return true;
  delete link;  // closes it
  return false;
}

const UINT kPageButtons[] = {IDC_EXECUTE, IDC_RESET, IDC_SAVE_LOG, IDC_CLEAR_LOG};

}  // namespace

// Every cable plugged in since the last scan is taken now, one sound each.
bool ScanForCables() {
  if (!WorkerThread) return false;
  bool added = false;
  while (AddNextCable()) {
    PlayNotifySound(NotifySound::DeviceAdded);
    added = true;
  }
  return added;
}

bool AddDevice(LinkDevice* link) {
  if (!WorkerThread || !link) return false;
  DeviceRecord* record = NewDeviceRecord();
  if (!record) return false;
  HWND page = CreateDevicePage(MainWindow);
  if (!page) {
    FreeDeviceRecord(record);
    return false;
  }
  SetWindowLongPtrA(page, DWLP_USER, 0);
  if (!AddPageTab(link->Name().c_str(), kDeviceTabImage, page)) {
    DestroyWindow(page);
    FreeDeviceRecord(record);
    return false;
  }
  record->page = page;
  record->lastFile[0] = '\0';
  record->link = link;
  record->session = new (std::nothrow) TargetSession(page, link);
  record->peerState = Initial;
  record->closing = 0;

  if (!PauseWorker()) {
    // A stuck worker: the device is not taken now, the next scan tries again.
    RemovePageTab(page);
    DestroyWindow(page);
    delete record->session;
    FreeDeviceRecord(record);
    return false;
  }
  {
    SharedLockGuard guard;
    SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(record));
    record->next = DeviceList;
    DeviceList = record;
  }
  ResumeWorker();
  CountDevices(+1);
  return true;
}

bool RemoveDevice(HWND page) {
  if (!WorkerThread) return false;
  DeviceRecord* predecessor = nullptr;
  DeviceRecord* record = DeviceList;
  while (record && record->page != page) {
    predecessor = record;
    record = record->next;
  }
  if (!record) return false;

  if (!PauseWorker()) return false;  // the page's next WM_CLOSE tries again
  EnterSharedLock();
  const bool closed = ClosePage(page, false);
  if (closed) *LinkTo(predecessor) = record->next;
  LeaveSharedLock();
  ResumeWorker();
  if (!closed) return false;

  ReleaseRecord(record);
  CountDevices(-1);
  return true;
}

bool QueueQuitForAll() {
  if (!WorkerThread || !PauseWorker()) return false;
  {
    SharedLockGuard guard;
    for (DeviceRecord* record = DeviceList; record; record = record->next) {
      if (record->connected && record->session) {
        Log(record->page, "Send quit command.\r\n");
        record->session->Append(tavrin::kTagQuit, nullptr);
      }
      record->closing = 1;
      if (!IsWindow(record->page)) continue;
      for (UINT id : kPageButtons) EnableWindow(GetDlgItem(record->page, id), FALSE);
    }
  }
  ResumeWorker();
  return true;
}

bool CloseAllDevices(bool forced) {
  if (!WorkerThread) return false;
  bool result = true;
  const bool paused = PauseWorker();
  if (!paused) {
    if (!forced) return false;
    StopWorker();  // stuck where no cancel reaches it: ended by force
  }
  EnterSharedLock();
  DeviceRecord* predecessor = nullptr;
  for (DeviceRecord* record = DeviceList; record;) {
    DeviceRecord* next = record->next;
    const bool busy = !forced && record->session && !record->session->QueueEmpty();
    if (busy || !ClosePage(record->page, forced)) {
      result = false;
      predecessor = record;
    } else {
      *LinkTo(predecessor) = next;
      ReleaseRecord(record);
      CountDevices(-1);
      if (!forced) PlayNotifySound(NotifySound::DeviceRemoved);
    }
    record = next;
  }
  LeaveSharedLock();
  if (paused) ResumeWorker();
  if (!result) return false;

  if (WorkerThread) StopWorker();
  DeleteSharedLock();
  return true;
}
