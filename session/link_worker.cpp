// The LinkWorker's thread, its pause and stop handshakes, and the device
// list operations of the UI thread. The two threads meet only through the
// PauseFlag and StopFlag atomics (each side sleeps 1 ms between reads), the
// SharedLock, and the asynchronous page notices the worker sends.
#include "session/link_worker.h"

#include <cstdlib>
#include <new>

#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "link/packet_format.h"
#include "session/device_record.h"
#include "session/host_file_service.h"
#include "session/target_session.h"
#include "ui/device_page.h"
#include "ui/log_queue.h"
#include "ui/main_window.h"
#include "ui/resource.h"

HANDLE WorkerThread;
std::atomic<LONG> PauseFlag;
std::atomic<LONG> StopFlag;

namespace {

enum PeerState : LONG { Initial = 0, PeerPresent = 1, WaitingForPeer = 2 };

// A console that stops in the middle of a packet body leaves the worker in
// a read that no handshake bound can see; after this long the waiting UI
// thread cancels that read, and again at each interval should another call
// have started in between.
constexpr ULONGLONG kCancelAfterMs = 2500;
constexpr ULONGLONG kCancelIntervalMs = 250;
constexpr int kStopSleeps = 2000;
// A cable plugged in is polled at most this long after the scan takes it.
constexpr DWORD kIdleSleepMs = 10;
constexpr DWORD kTerminatedWaitMs = 500;

constexpr int kSoundIds[] = {118, 119, 120};  // in NotifySound order

// ---- Worker thread ----

void Notify(HWND page, UINT message, WPARAM wParam) {
  SendNotifyMessageA(page, message, wParam, 0);
}

void Log(HWND page, const char* text) { AppendLogText(page, text, LogNotice); }

void SetConnected(DeviceRecord* record, LONG connected) {
  InterlockedExchange(&record->connected, connected);
}

void LostPeer(DeviceRecord* record) {
  record->link->ResetLink();
  AttentionFlag.store(1);
  SetConnected(record, 0);
  Notify(record->page, WM_PAGE_CONNECTION, 0);
  Log(record->page, "Peer lost.\r\n");
  record->peerState = WaitingForPeer;
}

void Serve(DeviceRecord* record) {
  const LONG served = ServeRequest(record->session) ? 1 : 0;
  if (!record->connected && served) {
    Notify(record->page, WM_PAGE_CONNECTION, 1);
    Log(record->page, "Ps2 connected.\r\n");
  }
  SetConnected(record, served);
  if (!served) record->link->ResetLink();
}

void StepPeerState(DeviceRecord* record, BYTE status) {
  const bool peer = (status & tavrin::kStatusPeerExists) != 0;
  switch (record->peerState) {
    case Initial:
      SetConnected(record, 0);
      Notify(record->page, WM_PAGE_CONNECTION, 0);
      AttentionFlag.store(1);
      Log(record->page, peer ? "Peer exist.\r\n" : "Wait for peer.\r\n");
      record->peerState = peer ? PeerPresent : WaitingForPeer;
      break;
    case WaitingForPeer:
      if (!peer) break;
      AttentionFlag.store(1);
      Log(record->page, "Peer exist.\r\n");
      record->peerState = PeerPresent;
      break;
    case PeerPresent:
      if (!peer)
        LostPeer(record);
      else if (status & tavrin::kStatusTransferRequest)
        Serve(record);
      break;
  }
}

// One walk of the list; true when it read some device's status. A failed
// status read ends the walk at once (the device's page is asked to close)
// and counts as no poll, so a cable that went away is not hammered, nor its
// page flooded with WM_CLOSE, while the UI thread gets round to removing it.
bool RunPass() {
  bool polled = false;
  for (DeviceRecord* record = DeviceList; record;) {
    DeviceRecord* next = record->next;
    HWND page = record->page;
    if (!IsWindow(page) || !record->link || !record->session) {
      record = next;
      continue;
    }
    if (!InterlockedExchange(&record->flushPending, 1) &&
        !SendNotifyMessageA(page, WM_PAGE_FLUSH, 0, 0))
      InterlockedExchange(&record->flushPending, 0);
    if (record->closing && record->session->QueueEmpty()) {
      record = next;
      continue;
    }
    BYTE status = 0;
    if (!record->link->GetStatus(&status)) {
      Notify(page, WM_CLOSE, 0);
      return false;
    }
    polled = true;
    StepPeerState(record, status);
    record = next;
  }
  return polled;
}

void ParkIfAsked() {
  if (!PauseFlag.load()) return;
  PauseFlag.store(0);
  while (!PauseFlag.load()) Sleep(1);
  PauseFlag.store(0);
}

DWORD WINAPI WorkerMain(void*) {
  for (;;) {
    if (StopFlag.load()) {
      StopFlag.store(0);
      return 0;
    }
    ParkIfAsked();
    // An idle pass sleeps, so that Tavdesk with no cable costs no processor
    // (1 ms sleeps cost 2% of a core in wake-ups under Wine); busy passes
    // follow each other at once.
    if (!RunPass()) Sleep(kIdleSleepMs);
  }
}

// ---- UI thread ----

// One half of the pause handshake: raise the flag, wait until the worker
// has taken it down.
void Handshake() {
  PauseFlag.store(1);
  ULONGLONG cancelAt = GetTickCount64() + kCancelAfterMs;
  while (PauseFlag.load()) {
    Sleep(1);
    if (GetTickCount64() >= cancelAt) {
      CableDriver().CancelSynchronousIo(WorkerThread);
      cancelAt += kCancelIntervalMs;
    }
  }
}

void LoadSounds() {
  for (int i = 0; i < 3; ++i) {
    HRSRC found = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(kSoundIds[i]), "WAVE");
    HGLOBAL loaded = found ? LoadResource(ProgramInstance, found) : nullptr;
    SoundData[i] = loaded ? LockResource(loaded) : nullptr;
  }
}

void StopWorker() {
  StopFlag.store(1);
  for (int i = 0; i < kStopSleeps && StopFlag.load(); ++i) Sleep(1);
  if (StopFlag.load()) {
    CableDriver().CancelSynchronousIo(WorkerThread);
    TerminateThread(WorkerThread, 0);
    WaitForSingleObject(WorkerThread, kTerminatedWaitMs);
    StopFlag.store(0);
  }
  CloseHandle(WorkerThread);
  WorkerThread = nullptr;
}

DeviceRecord** LinkTo(DeviceRecord* predecessor) {
  return predecessor ? &predecessor->next : &DeviceList;
}

// Frees what the record owns and the record itself; it is off the list.
void ReleaseRecord(DeviceRecord* record) {
  FreeLogEntries(record->logHead);
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

bool StartWorker() {
  if (WorkerThread) return false;  // a second thread would walk the same list
  LoadSounds();
  CreateSharedLock();
  StopFlag.store(0);
  WorkerThread = CreateThread(nullptr, 0, WorkerMain, nullptr, 0, nullptr);
  if (!WorkerThread) return false;
  ApplyWorkerPriority();
  return true;
}

void ApplyWorkerPriority() {
  if (!WorkerThread) return;
  int priority = THREAD_PRIORITY_ABOVE_NORMAL;
  if (Settings.priority == 0) priority = THREAD_PRIORITY_BELOW_NORMAL;
  if (Settings.priority == 1) priority = THREAD_PRIORITY_NORMAL;
  SetThreadPriority(WorkerThread, priority);
}

void PauseWorker() { Handshake(); }
void ResumeWorker() { Handshake(); }

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

  PauseWorker();
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

  PauseWorker();
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
  if (!WorkerThread) return false;
  PauseWorker();
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
  PauseWorker();
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
  ResumeWorker();
  if (!result) return false;

  StopWorker();
  DeleteSharedLock();
  return true;
}
