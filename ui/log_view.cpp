// The log view's flush and scrollback. Wine's rich edit costs about the
// same per line whatever the size of one replace, plus a repaint of the
// view on every replace: so a step gathers the queued entries of one colour
// into one replace, draws with the view's redraw off and repaints once, and
// draws as many bytes as the last steps say fit in its time. Past the
// scrollback the oldest lines go in one large block, and a note line at the
// top counts them, so a step costs the same after hours as after seconds.
#include "ui/log_view.h"

#include <richedit.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "log/log_queue.h"
#include "ui/resource.h"

namespace {

// What a view remembers between steps, as window properties of the view:
// the bytes it drew per millisecond lately, and the lines removed so far.
const char kRateProperty[] = "TavdeskLogRate";
const char kRemovedProperty[] = "TavdeskLogRemoved";
// A first guess before any step was timed, and the bounds of a step's size.
constexpr size_t kFirstRate = 512;
constexpr size_t kSmallestStep = 1024;
constexpr size_t kLargestStep = 1024 * 1024;

size_t Property(HWND view, const char* name) {
  return reinterpret_cast<size_t>(GetPropA(view, name));
}
void SetProperty(HWND view, const char* name, size_t value) {
  SetPropA(view, name, reinterpret_cast<HANDLE>(value));
}

// Where a piece of at most `limit` bytes starting at `text` ends: after its
// last line end, else at the last character boundary, so that a
// double-byte character is never split between two replaces.
size_t PieceLength(const char* text, size_t length, size_t limit) {
  if (length <= limit) return length;
  for (size_t end = limit; end > 0; --end)
    if (text[end - 1] == '\n') return end;
  size_t end = 0;
  while (end < limit) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[end])) ? 2 : 1;
    if (end + step > limit) break;
    end += step;
  }
  if (end > 1 && text[end - 1] == '\r' && text[end] == '\n') --end;  // keep a line end whole
  return end ? end : length;
}

std::string TextRange(HWND view, LONG from, LONG to) {
  std::string text(static_cast<size_t>(to - from) + 1, '\0');
  TEXTRANGEA range = {{from, to}, &text[0]};
  text.resize(static_cast<size_t>(SendMessageA(view, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range))));
  return text;
}

// Replaces the selection with `text` in `colour`.
void Replace(HWND view, COLORREF colour, const char* text) {
  CHARFORMATA format = {};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;  // not CFE_AUTOCOLOR, so the colour below is used
  format.crTextColor = colour;
  SendMessageA(view, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  SendMessageA(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

// Line ends in a text as the console wrote them: "\r\n", "\n" or "\r".
int64_t CountLines(const std::string& text) {
  int64_t lines = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
  return lines;
}

// Past the scrollback, removes the oldest whole lines down to
// kLogScrollbackChars - kLogTrimChars and puts the note line in their
// place. Returns the characters by which the rest of the text moved up.
LONG TrimScrollback(HWND view) {
  const LONG length = GetWindowTextLengthA(view);
  if (length <= kLogScrollbackChars) return 0;
  int64_t removed = static_cast<int64_t>(Property(view, kRemovedProperty));
  // The note line, when there is one, is the first line and goes too.
  const LONG noteEnd =
      removed ? static_cast<LONG>(SendMessageA(view, EM_LINEINDEX, 1, 0)) : 0;
  // The cut lies after the line end that follows the mark; a line longer
  // than the look-ahead is cut where the view breaks it.
  const LONG mark = length - (kLogScrollbackChars - kLogTrimChars);
  const std::string ahead = TextRange(view, mark, std::min(length, mark + 65536));
  size_t end = ahead.find_first_of("\r\n");
  LONG cut;
  if (end == std::string::npos) {
    const LRESULT line = SendMessageA(view, EM_EXLINEFROMCHAR, 0, mark);
    cut = static_cast<LONG>(SendMessageA(view, EM_LINEINDEX, line + 1, 0));
    if (cut <= mark) cut = mark;
  } else {
    if (ahead[end] == '\r' && end + 1 < ahead.size() && ahead[end + 1] == '\n') ++end;
    cut = mark + static_cast<LONG>(end) + 1;
  }
  removed += CountLines(TextRange(view, std::max<LONG>(noteEnd, 0), cut));
  SetProperty(view, kRemovedProperty, static_cast<size_t>(removed));

  char note[96];
  std::snprintf(note, sizeof note, "[%lld earlier lines removed]\r\n",
                static_cast<long long>(removed));
  SendMessageA(view, EM_SETSEL, 0, cut);
  Replace(view, Settings.colours[LogNotice], note);
  return cut - static_cast<LONG>(SendMessageA(view, EM_LINEINDEX, 1, 0));
}

// Draws entries of one colour from `first` on, up to `budget` bytes, as one
// replace at the end of the view; an entry that does not fit whole is cut at
// a line end and keeps what is left (only a step's first piece may end
// inside a line). Returns the first entry not done, and adds the bytes
// drawn to `drawn`; sends nothing when there is nothing to show.
LogEntry* DrawRun(HWND page, HWND view, LogEntry* first, size_t budget, size_t* drawn) {
  const COLORREF colour = first->colour;
  std::string run;
  while (first && first->colour == colour && run.size() < budget) {
    const size_t length = std::strlen(first->text);
    const size_t piece = PieceLength(first->text, length, budget - run.size());
    if (piece < length && first->text[piece - 1] != '\n' && (*drawn || !run.empty())) break;
    run.append(first->text, piece);
    if (piece < length) {
      std::memmove(first->text, first->text + piece, length - piece + 1);
      break;
    }
    LogEntry* next = first->next;
    FreeDrawnLogEntry(page, first);
    first = next;
  }
  if (run.empty()) return first;
  SendMessageA(view, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  Replace(view, colour, run.c_str());
  *drawn += run.size();
  return first;
}

}  // namespace

bool FlushLog(HWND page) {
  bool more = true;
  while (more)
    if (!FlushLogFor(page, INFINITE, &more)) return false;
  return true;
}

bool FlushLogFor(HWND page, DWORD milliseconds, bool* more) {
  *more = false;
  if (!IsWindow(page)) return false;
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  if (!IsWindow(view) || !PageLogQueue(page)) return false;
  LogEntry* first = TakeLogEntries(page);
  if (!first) return true;

  // A selection the user made (or Find did) stays, and the view stops
  // following the newest line while it is there.
  CHARRANGE selection = {};
  SendMessageA(view, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  const bool follow = selection.cpMin == selection.cpMax;

  size_t rate = Property(view, kRateProperty);
  if (!rate) rate = kFirstRate;
  const size_t budget = milliseconds == INFINITE
                            ? kLargestStep
                            : std::clamp(rate * milliseconds, kSmallestStep, kLargestStep);
  SendMessageA(view, WM_SETREDRAW, FALSE, 0);
  const ULONGLONG start = GetTickCount64();
  size_t drawn = 0;
  LONG moved = 0;
  while (first && drawn < budget) {
    const LogEntry* was = first;
    const size_t before = drawn;
    first = DrawRun(page, view, first, budget - drawn, &drawn);
    moved += TrimScrollback(view);
    if (first == was && drawn == before) break;  // the next line is too long for this step
  }
  // Steps of a few milliseconds are too short for the tick count to time.
  const ULONGLONG took = GetTickCount64() - start;
  if (took >= 10 && drawn >= kSmallestStep)
    SetProperty(view, kRateProperty, (rate + std::max<size_t>(drawn / took, 1)) / 2);
  else if (milliseconds != INFINITE && drawn >= budget)
    SetProperty(view, kRateProperty, std::min(rate * 2, kLargestStep));
  SendMessageA(view, WM_SETREDRAW, TRUE, 0);

  if (follow || selection.cpMin < moved) {
    SendMessageA(view, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageA(view, EM_SCROLLCARET, 0, 0);
  } else {
    selection.cpMin -= moved;
    selection.cpMax -= moved;
    SendMessageA(view, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  }
  InvalidateRect(view, nullptr, FALSE);
  if (!first) return true;
  // What is left goes back ahead of whatever was appended meanwhile.
  ReturnLogEntries(page, first);
  *more = true;
  return true;
}

bool ClearLogView(HWND page) {
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  if (!IsWindow(view) || !SetWindowTextA(view, "")) return false;
  RemovePropA(view, kRemovedProperty);
  return true;
}

int64_t RemovedLogLines(HWND page) {
  return static_cast<int64_t>(Property(GetDlgItem(page, IDC_LOG_VIEW), kRemovedProperty));
}
