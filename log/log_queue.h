// The LogQueue: coloured log entries on their way from any thread into a
// device page's log view. Producers append under the SharedLock; the UI
// thread takes the whole queue and draws it outside the lock (ui/log_view.h).
// A queue is reached only through its page window.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// An index into Settings.colours, resolved when an entry is queued.
enum LogColour : uint16_t { LogText = 0, LogError = 1, LogNotice = 2 };

// One zero-filled heap block per entry, its text inline behind the fields.
struct LogEntry {
  LogEntry* next;
  COLORREF colour;
  char text[1];  // NUL-terminated; the block holds the whole text
};

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

// Where a page's queue head is kept, or none when the page is not a window
// or has no queue yet. The owner of the pages' records hands the queue its
// finder before anything runs (session/device_record.cpp), so that the queue
// knows nothing of the layers above it; without one no page has a queue.
using LogQueueFinder = LogEntry** (*)(HWND page);
void SetLogQueueFinder(LogQueueFinder finder);
LogEntry** PageLogHead(HWND page);
