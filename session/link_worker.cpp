// The LinkWorker's thread and its pause and stop handshakes. The two threads
// meet only through the PauseFlag and StopFlag atomics (each side sleeps 1 ms
// between reads), the SharedLock, the log queue and the asynchronous page
// notices the worker sends; the worker knows a page only as a window.
#include "session/link_worker.h"

#include "config/settings.h"
#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "log/log_queue.h"
#include "session/device_record.h"
#include "session/host_file_service.h"
#include "session/target_session.h"

HANDLE WorkerThread;
std::atomic<LONG> PauseFlag;
std::atomic<LONG> StopFlag;
std::atomic<LONG> AttentionFlag{0};

namespace {

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
    // A console whose page has not drawn its text yet waits, unpolled, so
    // that a flood cannot grow the queue without bound; the others go on.
    if ((record->closing && record->session->QueueEmpty()) || LogBacklogHolds(page)) {
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

}  // namespace

bool StartWorker() {
  if (WorkerThread) return false;  // a second thread would walk the same list
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
