// The LinkWorker: one background thread that walks the DeviceList over and
// over, reads each cable's status, keeps each device's PeerState and serves
// one console request per device per pass. The UI thread owns the list: it
// parks the worker (PauseWorker), takes the SharedLock, changes the list,
// and lets the worker go on (ResumeWorker).
#pragma once

#include <windows.h>

#include <atomic>

class LinkDevice;

// None before StartWorker and after the worker has stopped; while none, the
// list operations below return false at once.
extern HANDLE WorkerThread;
// Polled by the other thread in 1 ms sleeps; every check is a fresh read.
extern std::atomic<LONG> PauseFlag;
extern std::atomic<LONG> StopFlag;

bool StartWorker();
void ApplyWorkerPriority();
void PauseWorker();
void ResumeWorker();
bool ScanForCables();
bool AddDevice(LinkDevice* link);
bool RemoveDevice(HWND page);
bool QueueQuitForAll();
bool CloseAllDevices(bool forced);
