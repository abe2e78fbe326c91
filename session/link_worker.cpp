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
#include "session/stall_watchdog.h"
#include "session/target_session.h"

HANDLE WorkerThread;
std::atomic<LONG> PauseFlag;
std::atomic<LONG> StopFlag;
std::atomic<LONG> AttentionFlag{0};

namespace {

// A pause gives up on a worker that has begun no driver call for this
// long: a stalled call is cancelled (stall_watchdog.h) well before, so such
// a worker is stuck where no cancel reaches it.
constexpr ULONGLONG kPauseGiveUpMs = 3000;
constexpr int kStopSleeps = 2000;
// A cable plugged in is polled at most this long after the scan takes it.
constexpr DWORD kIdleSleepMs = 10;
constexpr DWORD kTerminatedWaitMs = 500;

// ---- Worker thread ----

void Notify(HWND page, UINT message, WPARAM wParam) {
  SendNotifyMessageA(page, message, wParam, 0);
}

void Log(HWND page, const char* text) { AppendLogText(page, text, LogNotice); }

// The console that went is not the one that comes next: its files close.
void LostPeer(DeviceRecord* record) {
  record->session->Files().CloseAll();
  record->link->ResetLink();
  AttentionFlag.store(1);
  record->connected.store(0);
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
  record->connected.store(served);
  if (!served) record->link->ResetLink();
}

void StepPeerState(DeviceRecord* record, BYTE status) {
  const bool peer = (status & tavrin::kStatusPeerExists) != 0;
  switch (record->peerState) {
    case Initial:
      record->connected.store(0);
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
    if (!record->flushPending.exchange(1) && !SendNotifyMessageA(page, WM_PAGE_FLUSH, 0, 0))
      record->flushPending.store(0);
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

// The flag is taken down by exchange, so that a pause that gave up and
// took its flag back is never mistaken for one to answer.
void ParkIfAsked() {
  LONG asked = 1;
  if (!PauseFlag.compare_exchange_strong(asked, 0)) return;
  while (!PauseFlag.load()) Sleep(1);
  PauseFlag.store(0);
}

DWORD WINAPI WorkerMain(void*) {
  MarkWorkerDriverCalls();
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

// Raises the flag and waits until the worker has taken it down. While the
// UI thread waits here its timers do not run, so the wait cuts a stalled
// call itself, the watchdog's way. A worker that begins no driver call for
// kPauseGiveUpMs is stuck: the flag is taken back (false), unless the
// worker took it in the meantime.
bool RaiseAndWait() {
  PauseFlag.store(1);
  uint64_t calls = WorkerCallsBegun();
  ULONGLONG progress = GetTickCount64();
  while (PauseFlag.load()) {
    Sleep(1);
    CancelStalledCall(WorkerThread);
    const uint64_t now = WorkerCallsBegun();
    if (now != calls) {
      calls = now;
      progress = GetTickCount64();
    } else if (GetTickCount64() - progress >= kPauseGiveUpMs) {
      LONG raised = 1;
      if (PauseFlag.compare_exchange_strong(raised, 0)) return false;
    }
  }
  return true;
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

bool PauseWorker() { return RaiseAndWait(); }

// The parked worker does nothing but look at the flag, so this wait ends.
void ResumeWorker() {
  PauseFlag.store(1);
  while (PauseFlag.load()) Sleep(1);
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
