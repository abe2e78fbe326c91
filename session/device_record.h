// The per-cable DeviceRecord and the DeviceList of them, guarded by the
// SharedLock (log/shared_lock.h) with the pages' dialog user data. Records
// are plain zero-filled heap blocks; the page window finds its record through
// its dialog user data.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "config/settings.h"
#include "log/log_queue.h"
#include "log/shared_lock.h"

class LinkDevice;
class TargetSession;

enum PeerState : LONG { Initial = 0, PeerPresent = 1, WaitingForPeer = 2 };

struct DeviceRecord {
  DeviceRecord* next;
  HWND page;
  char lastFile[kPathChars];  // the Execute dialog's file name buffer
  LinkDevice* link;           // owned
  TargetSession* session;     // owned; none when its allocation failed
  LONG peerState;             // 0 Initial, 1 PeerPresent, 2 WaitingForPeer; worker only
  // Written by one thread and read by the other: every access is a real one.
  std::atomic<LONG> connected;  // result of the last request served; set by the worker
  std::atomic<LONG> closing;    // set by the UI thread once shutdown has begun
  LogQueue log;               // the page's queue; its links guarded by the SharedLock
  // 1 while a flush notice is on its way to the page: set by the worker,
  // cleared by the page when it handles the notice. One notice at a time
  // keeps a fast cable from burying the UI thread in notices.
  std::atomic<LONG> flushPending;
};

// Newest first. Changed only by the UI thread with the worker parked and the
// SharedLock held; read without the lock by both threads.
extern DeviceRecord* DeviceList;
extern uint16_t DeviceCount;

// A zero-filled record, or none when memory is short; FreeDeviceRecord
// releases only the block, not what it owns.
DeviceRecord* NewDeviceRecord();
void FreeDeviceRecord(DeviceRecord* record);

// The record behind a page window, or none when the page is not a window or
// has no record attached yet.
DeviceRecord* PageRecord(HWND page);
