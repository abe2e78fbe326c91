// The LogQueue's appends, hand-over to the UI thread and release. The
// SharedLock is held only to read or change a queue's links, never while the
// view is drawn, so that the worker is not held up by the UI.
#include "log/log_queue.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "log/shared_lock.h"

namespace {

// Set once, during static initialisation, before any thread but the first runs.
LogQueueFinder queueFinder;

bool Append(HWND page, const char* text, size_t length, LogColour colour) {
  LogEntry** head = PageLogHead(page);
  if (!head) return false;
  // Refuse a length whose block size would not fit in a size_t.
  constexpr size_t kHeader = offsetof(LogEntry, text);
  if (length > SIZE_MAX - kHeader - 1) return false;
  auto* entry = static_cast<LogEntry*>(calloc(1, kHeader + length + 1));
  if (!entry) return false;
  entry->colour = Settings.colours[colour];
  if (length) memcpy(entry->text, text, length);

  SharedLockGuard guard;
  LogEntry** link = head;
  while (*link) link = &(*link)->next;
  *link = entry;
  return true;
}

}  // namespace

void SetLogQueueFinder(LogQueueFinder finder) { queueFinder = finder; }

LogEntry** PageLogHead(HWND page) { return queueFinder ? queueFinder(page) : nullptr; }

bool AppendLogText(HWND page, const char* text, LogColour colour) {
  if (!text) text = "";
  size_t length = strnlen(text, kLogTextLimit + 1);
  if (length > kLogTextLimit) length = 0;
  return Append(page, text, length, colour);
}

bool AppendLogBytes(HWND page, const void* bytes, uint32_t length, LogColour colour) {
  if (!bytes) length = 0;
  return Append(page, static_cast<const char*>(bytes), length, colour);
}

LogEntry* TakeLogEntries(HWND page) {
  LogEntry** head = PageLogHead(page);
  if (!head) return nullptr;
  SharedLockGuard guard;
  LogEntry* first = *head;
  *head = nullptr;
  return first;
}

void ReturnLogEntries(HWND page, LogEntry* first) {
  if (!first) return;
  LogEntry** head = PageLogHead(page);
  if (!head) {
    FreeLogEntries(first);
    return;
  }
  LogEntry* last = first;
  while (last->next) last = last->next;
  SharedLockGuard guard;
  last->next = *head;
  *head = first;
}

bool FreeLogEntries(LogEntry* first) {
  if (!first) return false;
  while (first) {
    LogEntry* next = first->next;
    free(first);
    first = next;
  }
  return true;
}
