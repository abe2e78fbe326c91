// The LogQueue: coloured log entries on their way from any thread into a
// device page's log view. Producers append under the SharedLock; the UI
// thread takes the whole queue and draws it outside the lock (ui/log_view.h).
// A queue is reached only through its page window.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// An index into Settings.colours, resolved when an entry is queued.
enum LogColour : uint16_t { LogText = 0, LogError = 1, LogNotice = 2 };

// One zero-filled heap block per entry, its text inline behind the fields.
struct LogEntry {
  LogEntry* next;
  COLORREF colour;
  // The bytes queued, counted in the queue's backlog until the entry is
  // freed; 0 for text the view drew before and draws again (NewRedrawnLogEntry).
  uint32_t length;
  char text[1];     // NUL-terminated; the block holds the whole text
};

// A page's queue, a zero-filled part of its record. The links are guarded by
// the SharedLock; the tail lets an append link behind the newest entry
// without walking the list, which a flood makes long.
struct LogQueue {
  LogEntry* head;  // oldest
  LogEntry* tail;  // newest
  // Bytes queued and not yet drawn: added by the appends, taken off as the
  // UI thread frees the entries it drew. Read by the worker without the lock.
  std::atomic<int64_t> backlog;
  bool held;  // worker thread only: the console is left waiting
};

// A console that writes faster than its page draws is left waiting once this
// much of its text waits to be drawn, and served again once the page has
// drawn it below the second mark; the worker's memory stays bounded and no
// text is lost.
constexpr int64_t kLogHoldBytes = 16 << 20;
constexpr int64_t kLogReleaseBytes = 8 << 20;

// Texts longer than this are queued as an empty entry rather than cut short.
constexpr size_t kLogTextLimit = 1024;

// Any thread. False, and nothing queued, when the page is not a window, has
// no queue, or memory is short. No text queues an empty entry.
bool AppendLogText(HWND page, const char* text, LogColour colour);
// Exactly `length` bytes plus a terminator, whatever they hold; no limit.
bool AppendLogBytes(HWND page, const void* bytes, uint32_t length, LogColour colour);

// UI thread. Detaches the page's whole queue, oldest first; none when it is
// empty or the page has no queue.
LogEntry* TakeLogEntries(HWND page);
// UI thread. Puts entries taken and not drawn back at the head of the page's
// queue, ahead of entries appended meanwhile; frees them when the page has
// no queue any more.
void ReturnLogEntries(HWND page, LogEntry* first);
// Frees a list no longer reachable from a queue; false when empty.
bool FreeLogEntries(LogEntry* first);
// UI thread. An entry of text that the view drew before and draws again
// once it was renewed, to go back at the head of the page's queue. It does
// not count in the backlog: the console was past it long ago. None when
// memory is short.
LogEntry* NewRedrawnLogEntry(COLORREF colour, const char* text, size_t length);
// UI thread. Frees the entries at the head of the page's queue that are
// still to be drawn again (and empty entries there, which show nothing):
// the view they belonged to was cleared.
void DropRedrawnLogEntries(HWND page);
// UI thread. Frees one entry taken from the page's queue and drawn, and
// takes its bytes off the queue's backlog.
void FreeDrawnLogEntry(HWND page, LogEntry* entry);

// Worker thread. Whether the page's console should be left waiting: true
// from the moment more than kLogHoldBytes wait to be drawn until fewer than
// kLogReleaseBytes do. False for a page without a queue.
bool LogBacklogHolds(HWND page);

// Where a page's queue is kept, or none when the page is not a window or has
// no queue yet. The owner of the pages' records hands the queue its finder
// before anything runs (session/device_record.cpp), so that the queue knows
// nothing of the layers above it; without one no page has a queue.
using LogQueueFinder = LogQueue* (*)(HWND page);
void SetLogQueueFinder(LogQueueFinder finder);
LogQueue* PageLogQueue(HWND page);
