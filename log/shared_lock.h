// The SharedLock: the program's one re-entrant critical section. It guards
// the links of every log queue, and above this layer the DeviceList and the
// pages' dialog user data. It sits with the log queue because every layer
// appends to a log.
#pragma once

// Re-entrant for its holder. Create and Delete belong to the UI thread while
// no other thread uses the lock; creating it twice or deleting a lock that
// does not exist does nothing, and so do entering and leaving it.
void CreateSharedLock();
void DeleteSharedLock();
void EnterSharedLock();
void LeaveSharedLock();

class SharedLockGuard {
 public:
  SharedLockGuard() { EnterSharedLock(); }
  ~SharedLockGuard() { LeaveSharedLock(); }
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;
};
