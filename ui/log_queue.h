// The LogQueue: coloured log entries on their way from any thread into a
// device page's rich edit view. Producers append under the SharedLock; the UI
// thread detaches the whole queue and renders it outside the lock. A queue is
// reached only through its page window and the page's dialog user data.
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
// no DeviceRecord, or memory is short. No text queues an empty entry.
bool AppendLogText(HWND page, const char* text, LogColour colour);
// Exactly `length` bytes plus a terminator, whatever they hold; no limit.
bool AppendLogBytes(HWND page, const void* bytes, uint32_t length, LogColour colour);
// UI thread only. Renders every queued entry, oldest first, at the end of
// the view. False, with the queue left as it was, when the page, its view
// (control 1011) or its DeviceRecord is missing.
bool FlushLog(HWND page);
// As FlushLog, but stops between two pieces once `milliseconds` have passed
// (at least one piece is always drawn) and puts what is left back at the
// head of the queue, ahead of entries appended meanwhile; `more` tells
// whether it did. A flood of console text then keeps the window answering.
bool FlushLogFor(HWND page, DWORD milliseconds, bool* more);
// Frees a list no longer reachable from a DeviceRecord; false when empty.
bool FreeLogEntries(LogEntry* first);
