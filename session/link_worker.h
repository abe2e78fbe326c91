// The LinkWorker: one background thread that walks the DeviceList over and
// over, reads each cable's status, keeps each device's PeerState and serves
// one console request per device per pass. The UI thread owns the list
// (ui/device_list.h): it parks the worker (PauseWorker), takes the
// SharedLock, changes the list, and lets the worker go on (ResumeWorker).
// The worker tells a page what happened only by the notices below, sent
// asynchronously, and by its log queue.
#pragma once

#include <windows.h>

#include <atomic>

// Notices the worker sends a page, always asynchronously.
constexpr UINT WM_PAGE_CONNECTION = WM_USER + 16;  // wParam 1: console served; 0: not
constexpr UINT WM_PAGE_FLUSH = WM_USER + 17;       // flush the LogQueue into the view
// WM_CLOSE: reading the cable's status failed; the UI removes the device.

// None before StartWorker and after the worker has stopped; while none, the
// device list operations return false at once.
extern HANDLE WorkerThread;
// Polled by the other thread in 1 ms sleeps; every check is a fresh read.
extern std::atomic<LONG> PauseFlag;
extern std::atomic<LONG> StopFlag;

// Set to 1 by both threads when a device is added or removed and when a
// console peer is found, lost or awaited; cleared by the main window's
// attention timer only.
extern std::atomic<LONG> AttentionFlag;

// UI thread. Creates the SharedLock and starts the thread at the priority of
// the settings; false when a worker runs already or the thread cannot start.
bool StartWorker();
void ApplyWorkerPriority();
// The pause handshake: PauseWorker returns true once the worker is parked
// between two devices, ResumeWorker lets it go on. A driver call stalled
// meanwhile is cancelled (session/stall_watchdog.h); false, with the worker
// still running, when the worker has begun no driver call for about 3 s.
bool PauseWorker();
void ResumeWorker();
// Asks the worker to end and waits up to 2 s, then cancels its driver call
// and ends it by force; the thread handle is closed either way.
void StopWorker();
