// The SharedLock, one process-wide critical section that exists only between
// Create and Delete.
#include "log/shared_lock.h"

#include <windows.h>

namespace {

CRITICAL_SECTION sharedLock;
bool sharedLockExists;  // written by Create and Delete, while no other thread uses the lock

}  // namespace

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
