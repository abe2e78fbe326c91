#include "session/stall_watchdog.h"

#include "link/cable_driver.h"
#include "link/link_device.h"

namespace {

// Held only for a few instructions by the worker, and around one cancel by
// the UI thread: a call that returns while the cancel is sent waits here
// before it clears its mark, so the next call cannot start under that
// cancel.
SRWLOCK markLock = SRWLOCK_INIT;
uint64_t sequence = 0;   // calls begun
uint64_t inFlight = 0;   // the sequence number of the call in flight, 0: none
ULONGLONG started = 0;   // when it began
uint64_t cancelled = 0;  // the last call a cancel was sent for

class MarkGuard {
 public:
  MarkGuard() { AcquireSRWLockExclusive(&markLock); }
  ~MarkGuard() { ReleaseSRWLockExclusive(&markLock); }
};

void BeginCall() {
  const ULONGLONG now = GetTickCount64();
  MarkGuard guard;
  inFlight = ++sequence;
  started = now;
}

void EndCall() {
  MarkGuard guard;
  inFlight = 0;
}

const DriverCallMarks kWorkerMarks = {BeginCall, EndCall};

}  // namespace

void MarkWorkerDriverCalls() { SetThreadDriverCallMarks(&kWorkerMarks); }

bool CancelStalledCall(HANDLE worker) {
  if (!worker) return false;
  MarkGuard guard;
  if (!inFlight || inFlight == cancelled || GetTickCount64() - started < kStallCancelMs)
    return false;
  cancelled = inFlight;
  CableDriver().CancelSynchronousIo(worker);
  return true;
}

uint64_t WorkerCallsBegun() {
  MarkGuard guard;
  return sequence;
}
