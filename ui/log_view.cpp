// The log view's flush and scrollback. Wine's rich edit costs about the
// same per line whatever the size of one replace, plus a repaint of the
// view on every replace: so a step gathers the queued entries of one colour
// into one replace, draws with the view's redraw off and repaints once, and
// draws as many bytes as the last steps say fit in its time. Past the
// scrollback the view is renewed, its first line a note counting the lines
// removed, so a step costs the same after hours as after seconds; the page
// remembers the newest text it drew, with its colours, and draws it again
// into the fresh view, so that the recent history stays in sight.
#include "ui/log_view.h"

#include <richedit.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <utility>

#include "config/settings.h"
#include "log/log_queue.h"
#include "ui/resource.h"

namespace {

// What a view remembers between steps, as window properties of the view:
// the bytes it drew per millisecond lately, and the lines removed so far.
const char kRateProperty[] = "TavdeskLogRate";
const char kRemovedProperty[] = "TavdeskLogRemoved";
const char kWrapProperty[] = "TavdeskLogWrap";
const char kPaintedProperty[] = "TavdeskLogPainted";
// Set while the view's first line is the note of a renewal.
const char kNotedProperty[] = "TavdeskLogNoted";
// On the page, which outlives its views: the newest text drawn (KeptText).
const char kKeptProperty[] = "TavdeskLogKept";
// A first guess before any step was timed, and the bounds of a step's size:
// each step ends in a repaint of the whole view, which costs as much as
// drawing a few KiB, so steps are never smaller than this.
constexpr size_t kFirstRate = 512;
constexpr size_t kSmallestStep = 8 * 1024;
constexpr size_t kLargestStep = 1024 * 1024;
// While more is queued, the view is repainted at most this often.
constexpr ULONGLONG kPaintIntervalMs = 100;

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

// The newest text a page drew, oldest first, as runs of one colour; the
// tail of what its view holds, beginning at a line's start.
struct KeptText {
  std::deque<std::pair<COLORREF, std::string>> runs;
  size_t size = 0;
};
// Runs of one colour are joined up to this size, so that cutting the
// oldest off moves little.
constexpr size_t kKeptRunChars = 64 * 1024;

KeptText* Kept(HWND page) { return static_cast<KeptText*>(GetPropA(page, kKeptProperty)); }

// Takes `count` characters off the front of the oldest run.
void Drop(KeptText* kept, size_t count) {
  kept->runs.front().second.erase(0, count);
  kept->size -= count;
  if (kept->runs.front().second.empty()) kept->runs.pop_front();
}

// Cuts the oldest text off until at most `limit` characters are left,
// beginning after a line end ("\r\n", "\n" or "\r", as the console wrote
// them): a line cut in two would not count as one.
void Bound(KeptText* kept, size_t limit) {
  if (kept->size <= limit) return;
  size_t excess = kept->size - limit;
  while (!kept->runs.empty()) {
    const std::string& text = kept->runs.front().second;
    // The first line end at or after the last character that must go.
    const size_t from = excess ? excess - 1 : 0;
    const size_t end = from < text.size() ? text.find_first_of("\r\n", from) : std::string::npos;
    if (end == std::string::npos) {
      excess -= std::min(excess, text.size());
      Drop(kept, text.size());
      continue;
    }
    const bool ret = text[end] == '\r';
    const bool last = end + 1 == text.size();
    Drop(kept, end + 1 + (ret && !last && text[end + 1] == '\n' ? 1 : 0));
    // A "\r\n" split between two runs is one line end: its '\n' goes too.
    if (ret && last && !kept->runs.empty() && kept->runs.front().second[0] == '\n') Drop(kept, 1);
    return;
  }
}

// Remembers a run just drawn; none kept when memory is short.
void Keep(HWND page, COLORREF colour, std::string&& run) {
  KeptText* kept = Kept(page);
  if (!kept) {
    kept = new (std::nothrow) KeptText;
    if (!kept) return;
    if (!SetPropA(page, kKeptProperty, kept)) {
      delete kept;
      return;
    }
  }
  kept->size += run.size();
  if (!kept->runs.empty() && kept->runs.back().first == colour &&
      kept->runs.back().second.size() + run.size() <= kKeptRunChars)
    kept->runs.back().second += run;
  else
    kept->runs.emplace_back(colour, std::move(run));
  Bound(kept, kLogKeptChars);
}

void Forget(HWND page) { delete static_cast<KeptText*>(RemovePropA(page, kKeptProperty)); }

// A fresh, empty log view in the place of `old`, with its styles, font,
// colours, options and remembered state; `old` is destroyed. Wine's rich
// edit takes time in proportion to the whole text for every line removed
// from its top (64 KiB off a 4 MB view: 8 to 16 s here), and for emptying it
// by WM_SETTEXT likewise, while destroying it costs one pass over the text
// (0.6 s for 2 MB). None when no new view can be made; `old` then stays.
HWND RenewView(HWND page, HWND old) {
  RECT place;
  GetWindowRect(old, &place);
  MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&place), 2);
  HWND view = CreateWindowExA(
      static_cast<DWORD>(GetWindowLongPtrA(old, GWL_EXSTYLE)), "RICHEDIT", "",
      static_cast<DWORD>(GetWindowLongPtrA(old, GWL_STYLE)), place.left, place.top,
      place.right - place.left, place.bottom - place.top, page,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LOG_VIEW)),
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(page, GWLP_HINSTANCE)), nullptr);
  if (!view) return nullptr;
  SendMessageA(view, WM_SETFONT, SendMessageA(old, WM_GETFONT, 0, 0), FALSE);
  SendMessageA(view, EM_SETBKGNDCOLOR, 0, GetSysColor(COLOR_INACTIVEBORDER));
  SendMessageA(view, EM_EXLIMITTEXT, 0, kLogViewTextLimit);
  SendMessageA(view, EM_SETOPTIONS, ECOOP_SET, SendMessageA(old, EM_GETOPTIONS, 0, 0));
  for (const char* name : {kRateProperty, kRemovedProperty, kWrapProperty, kPaintedProperty, kNotedProperty})
    if (HANDLE value = GetPropA(old, name)) SetPropA(view, name, value);
  if (GetPropA(view, kWrapProperty)) SendMessageA(view, EM_SETTARGETDEVICE, 0, 0);
  SetWindowPos(view, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);  // the tab order
  const bool focused = GetFocus() == old;
  DestroyWindow(old);
  if (focused) SetFocus(view);
  return view;
}

// Past `limit` characters the view is renewed, its first line a note of how
// many lines were removed so far, and the newest `keep` characters of the
// page's kept text go ahead of `*pending`, to be drawn again after the note
// (and kept again as they are). Returns the view to draw into.
HWND Trim(HWND page, HWND view, LONG limit, size_t keep, LogEntry** pending) {
  if (GetWindowTextLengthA(view) <= limit) return view;
  int64_t removed = static_cast<int64_t>(Property(view, kRemovedProperty));
  {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(view)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(view, &text[0], static_cast<int>(text.size()))));
    // The note line is no line of the console's.
    removed += CountLines(text) - (Property(view, kNotedProperty) ? 1 : 0);
  }
  HWND fresh = RenewView(page, view);
  if (!fresh) return view;
  LogEntry* redrawn = nullptr;
  LogEntry** link = &redrawn;
  if (KeptText* kept = Kept(page)) {
    Bound(kept, keep);
    int64_t lines = 0;
    for (size_t i = 0; i < kept->runs.size(); ++i) {
      const auto& [colour, run] = kept->runs[i];
      LogEntry* entry = NewRedrawnLogEntry(colour, run.data(), run.size());
      if (!entry) {  // memory is short: nothing is drawn again, all counts as removed
        FreeLogEntries(redrawn);
        redrawn = nullptr;
        link = &redrawn;
        lines = 0;
        break;
      }
      lines += CountLines(run);
      // A "\r\n" split between two runs is one line end, as the view holds it.
      if (i + 1 < kept->runs.size() && !run.empty() && run.back() == '\r' &&
          kept->runs[i + 1].second.front() == '\n')
        --lines;
      *link = entry;
      link = &entry->next;
    }
    removed = std::max<int64_t>(removed - lines, 0);
    Forget(page);
  }
  *link = *pending;
  *pending = redrawn;
  SetProperty(fresh, kRemovedProperty, static_cast<size_t>(removed));
  SetProperty(fresh, kNotedProperty, 1);
  char note[96];
  std::snprintf(note, sizeof note, "[%lld earlier lines removed]\r\n", static_cast<long long>(removed));
  SendMessageA(fresh, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  Replace(fresh, Settings.colours[LogNotice], note);
  return fresh;
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
  Keep(page, colour, std::move(run));
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
  bool renewed = false;
  while (first && drawn < budget) {
    const LogEntry* was = first;
    const size_t before = drawn;
    first = DrawRun(page, view, first, budget - drawn, &drawn);
    HWND trimmed = Trim(page, view, kLogScrollbackChars, kLogKeptChars, &first);
    if (trimmed != view) {  // the renewal took this step's time
      view = trimmed;
      renewed = true;
      break;
    }
    if (first == was && drawn == before) break;  // the next line is too long for this step
  }
  // Steps of a few milliseconds are too short for the tick count to time,
  // and a renewal's step says nothing of the pace of drawing.
  const ULONGLONG took = GetTickCount64() - start;
  if (!renewed && took >= 10 && drawn >= kSmallestStep)
    SetProperty(view, kRateProperty, (rate + std::max<size_t>(drawn / took, 1)) / 2);
  else if (!renewed && milliseconds != INFINITE && drawn >= budget)
    SetProperty(view, kRateProperty, std::min(rate * 2, kLargestStep));
  SendMessageA(view, WM_SETREDRAW, TRUE, 0);

  if (follow || renewed) {
    SendMessageA(view, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageA(view, EM_SCROLLCARET, 0, 0);
  } else {
    SendMessageA(view, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  }
  const ULONGLONG now = GetTickCount64();
  if (!first || now - Property(view, kPaintedProperty) >= kPaintIntervalMs) {
    InvalidateRect(view, nullptr, FALSE);
    SetProperty(view, kPaintedProperty, static_cast<size_t>(now));
  }
  if (!first) return true;
  // What is left goes back ahead of whatever was appended meanwhile.
  ReturnLogEntries(page, first);
  *more = true;
  return true;
}

bool TrimLogView(HWND page, LONG limit, size_t keep) {
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  if (!IsWindow(view)) return false;
  LogEntry* queued = TakeLogEntries(page);
  const bool renewed = Trim(page, view, limit, keep, &queued) != view;
  ReturnLogEntries(page, queued);
  return renewed;
}

bool ClearLogView(HWND page) {
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  if (!IsWindow(view)) return false;
  if (GetWindowTextLengthA(view) != 0) {
    HWND fresh = RenewView(page, view);
    if (!fresh) return false;
    RemovePropA(fresh, kRemovedProperty);
    RemovePropA(fresh, kNotedProperty);
  }
  Forget(page);
  DropRedrawnLogEntries(page);
  return true;
}

void ReleaseLogView(HWND page) { Forget(page); }

int64_t RemovedLogLines(HWND page) {
  return static_cast<int64_t>(Property(GetDlgItem(page, IDC_LOG_VIEW), kRemovedProperty));
}

bool LogWordWrap(HWND page) {
  return GetPropA(GetDlgItem(page, IDC_LOG_VIEW), kWrapProperty) != nullptr;
}

void SetLogWordWrap(HWND page, bool wrap) {
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  // Line width 0 wraps at the window's edge; 1 (rich edit 1.0) not at all.
  SendMessageA(view, EM_SETTARGETDEVICE, 0, wrap ? 0 : 1);
  if (wrap)
    SetPropA(view, kWrapProperty, reinterpret_cast<HANDLE>(1));
  else
    RemovePropA(view, kWrapProperty);
}
