// The LogQueue's appends, flush and release. The SharedLock is held only to
// read or change a queue's links, never while the view is drawn, so that the
// worker is not held up by the UI.
#include "ui/log_queue.h"

#include <richedit.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "session/device_record.h"
#include "ui/resource.h"

namespace {

bool Append(HWND page, const char* text, size_t length, LogColour colour) {
  DeviceRecord* record = PageRecord(page);
  if (!record) return false;
  // Refuse a length whose block size would not fit in a size_t.
  constexpr size_t kHeader = offsetof(LogEntry, text);
  if (length > SIZE_MAX - kHeader - 1) return false;
  auto* entry = static_cast<LogEntry*>(calloc(1, kHeader + length + 1));
  if (!entry) return false;
  entry->colour = Settings.colours[colour];
  if (length) memcpy(entry->text, text, length);

  SharedLockGuard guard;
  LogEntry** link = &record->logHead;
  while (*link) link = &(*link)->next;
  *link = entry;
  return true;
}

void Render(HWND view, const LogEntry* entry) {
  SendMessageA(view, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  CHARFORMATA format = {};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;  // not CFE_AUTOCOLOR, so the colour below is used
  format.crTextColor = entry->colour;
  SendMessageA(view, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  SendMessageA(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(entry->text));
  SendMessageA(view, EM_SCROLLCARET, 0, 0);
}

}  // namespace

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

bool FlushLog(HWND page) {
  if (!IsWindow(page)) return false;
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  DeviceRecord* record = PageRecord(page);
  if (!IsWindow(view) || !record) return false;

  LogEntry* first;
  {
    SharedLockGuard guard;
    first = record->logHead;
    record->logHead = nullptr;
  }
  for (LogEntry* entry = first; entry; entry = entry->next) Render(view, entry);
  FreeLogEntries(first);
  return true;
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
