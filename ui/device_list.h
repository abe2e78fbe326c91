// The UI thread's operations on the DeviceList: the cable scan, adding and
// removing a device with its page and tab, and the shutdown's quit and close.
// Each parks the worker (session/link_worker.h), takes the SharedLock for the
// change and lets the worker go on; none waits on the worker longer than the
// pause handshake. While no worker runs they return false at once.
#pragma once

#include <windows.h>

class LinkDevice;

// Every cable plugged in since the last scan is taken, one sound each; true
// when one was.
bool ScanForCables();
// Takes an open cable: a record, a page and its tab; false, with the cable
// left to the caller, when any of them cannot be had.
bool AddDevice(LinkDevice* link);
// Flushes and closes the page's log, tab and page, and frees its device;
// false when the page is not on the list or its tab could not be removed.
bool RemoveDevice(HWND page);
// Queues quit for every connected console and marks every device closing.
bool QueueQuitForAll();
// Closes every device whose commands have drained (every device if
// `forced`), then stops the worker once none is left; false while some stay.
bool CloseAllDevices(bool forced);
