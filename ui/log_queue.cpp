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

// A long entry goes to the view in pieces of about this size, so that a
// flush can stop between pieces and give the window back to the user.
constexpr size_t kPieceBytes = 16384;

// Where the piece starting at `text` ends: after its last line end, else at
// the last character boundary, so that a double-byte character is never
// split between two replaces.
size_t PieceLength(const char* text, size_t length) {
  if (length <= kPieceBytes) return length;
  for (size_t end = kPieceBytes; end > 0; --end)
    if (text[end - 1] == '\n') return end;
  size_t end = 0;
  while (end < kPieceBytes) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[end])) ? 2 : 1;
    if (end + step > kPieceBytes) break;
    end += step;
  }
  if (end > 1 && text[end - 1] == '\r' && text[end] == '\n') --end;  // keep a line end whole
  return end ? end : length;
}

// Sends the view one piece of an entry; the piece's end is NUL-terminated
// for the replace and put back afterwards.
void RenderPiece(HWND view, COLORREF colour, char* text, size_t length) {
  SendMessageA(view, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  CHARFORMATA format = {};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;  // not CFE_AUTOCOLOR, so the colour below is used
  format.crTextColor = colour;
  SendMessageA(view, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  const char kept = text[length];
  text[length] = '\0';
  SendMessageA(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
  text[length] = kept;
  SendMessageA(view, EM_SCROLLCARET, 0, 0);
}

// Renders the entry from its start, piece by piece, until it is done (true)
// or `deadline` has passed (false: the entry then holds only what is left).
// A NUL in the text ends what is shown of it.
bool RenderEntry(HWND view, LogEntry* entry, ULONGLONG deadline) {
  const size_t length = strlen(entry->text);
  size_t done = 0;
  do {
    size_t piece = PieceLength(entry->text + done, length - done);
    RenderPiece(view, entry->colour, entry->text + done, piece);
    done += piece;
  } while (done < length && GetTickCount64() < deadline);
  if (done == length) return true;
  memmove(entry->text, entry->text + done, length - done + 1);
  return false;
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
  bool more = false;
  return FlushLogFor(page, INFINITE, &more);
}

bool FlushLogFor(HWND page, DWORD milliseconds, bool* more) {
  *more = false;
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
  const ULONGLONG deadline =
      milliseconds == INFINITE ? ~0ULL : GetTickCount64() + milliseconds;
  while (first) {
    if (!RenderEntry(view, first, deadline)) break;
    LogEntry* next = first->next;
    free(first);
    first = next;
    if (first && GetTickCount64() >= deadline) break;
  }
  if (!first) return true;

  // What is left goes back ahead of whatever was appended meanwhile.
  LogEntry* last = first;
  while (last->next) last = last->next;
  SharedLockGuard guard;
  last->next = record->logHead;
  record->logHead = first;
  *more = true;
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
