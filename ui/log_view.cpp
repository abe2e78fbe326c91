// The log view's flush: queued entries drawn at the end of the rich edit,
// a long entry in pieces that end at a line end or a character boundary, so
// that a flush can stop between pieces and give the window back to the user.
#include "ui/log_view.h"

#include <richedit.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "log/log_queue.h"
#include "ui/resource.h"

namespace {

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

bool FlushLog(HWND page) {
  bool more = false;
  return FlushLogFor(page, INFINITE, &more);
}

bool FlushLogFor(HWND page, DWORD milliseconds, bool* more) {
  *more = false;
  if (!IsWindow(page)) return false;
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  if (!IsWindow(view) || !PageLogHead(page)) return false;

  LogEntry* first = TakeLogEntries(page);
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
  ReturnLogEntries(page, first);
  *more = true;
  return true;
}
