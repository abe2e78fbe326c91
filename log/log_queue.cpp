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

// A block for `length` bytes of text and a terminator, not yet linked.
LogEntry* NewEntry(COLORREF colour, const char* text, size_t length) {
  // Refuse a length whose block size would not fit in a size_t.
  constexpr size_t kHeader = offsetof(LogEntry, text);
  if (length > SIZE_MAX - kHeader - 1) return nullptr;
  auto* entry = static_cast<LogEntry*>(calloc(1, kHeader + length + 1));
  if (!entry) return nullptr;
  entry->colour = colour;
  if (length) memcpy(entry->text, text, length);
  return entry;
}

bool Append(HWND page, const char* text, size_t length, LogColour colour) {
  LogQueue* queue = PageLogQueue(page);
  if (!queue) return false;
  LogEntry* entry = NewEntry(Settings.colours[colour], text, length);
  if (!entry) return false;
  entry->length = static_cast<uint32_t>(length);

  SharedLockGuard guard;
  if (queue->head)
    queue->tail->next = entry;
  else
    queue->head = entry;
  queue->tail = entry;
  queue->backlog += static_cast<int64_t>(length);
  return true;
}

}  // namespace

void SetLogQueueFinder(LogQueueFinder finder) { queueFinder = finder; }

LogQueue* PageLogQueue(HWND page) { return queueFinder ? queueFinder(page) : nullptr; }

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
  LogQueue* queue = PageLogQueue(page);
  if (!queue) return nullptr;
  SharedLockGuard guard;
  LogEntry* first = queue->head;
  queue->head = queue->tail = nullptr;
  return first;
}

void ReturnLogEntries(HWND page, LogEntry* first) {
  if (!first) return;
  LogQueue* queue = PageLogQueue(page);
  if (!queue) {
    FreeLogEntries(first);
    return;
  }
  LogEntry* last = first;
  while (last->next) last = last->next;
  SharedLockGuard guard;
  last->next = queue->head;
  if (!queue->head) queue->tail = last;
  queue->head = first;
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

LogEntry* NewRedrawnLogEntry(COLORREF colour, const char* text, size_t length) {
  return NewEntry(colour, text, length);
}

void DropRedrawnLogEntries(HWND page) {
  LogQueue* queue = PageLogQueue(page);
  if (!queue) return;
  LogEntry* dropped = nullptr;
  {
    SharedLockGuard guard;
    LogEntry** last = &queue->head;
    while (*last && (*last)->length == 0) last = &(*last)->next;
    if (last == &queue->head) return;
    dropped = queue->head;
    queue->head = *last;
    *last = nullptr;
    if (!queue->head) queue->tail = nullptr;
  }
  FreeLogEntries(dropped);
}

void FreeDrawnLogEntry(HWND page, LogEntry* entry) {
  if (LogQueue* queue = PageLogQueue(page)) queue->backlog -= entry->length;
  free(entry);
}

bool LogBacklogHolds(HWND page) {
  LogQueue* queue = PageLogQueue(page);
  if (!queue) return false;
  const int64_t backlog = queue->backlog.load();
  if (queue->held && backlog < kLogReleaseBytes) queue->held = false;
  if (!queue->held && backlog > kLogHoldBytes) queue->held = true;
  return queue->held;
}
