// Drawing a device page's LogQueue into its rich edit log view (control
// 1011): the flush, cut into steps so that a flood of console text keeps
// the window answering, and the view's scrollback. UI thread only.
#pragma once

#include <windows.h>

#include <cstdint>

// The log view's text limit in characters, far above the control's 32 KiB
// default and above the scrollback plus one step, so that no text is refused.
constexpr LPARAM kLogViewTextLimit = 32 * 1024 * 1024;
// The view holds at most this many characters. Past that it is renewed
// (Wine's rich edit cannot drop lines from its top in reasonable time, see
// log_view.cpp): a fresh view whose first line says how many lines went,
// followed by the newest of the old view's text, drawn again.
constexpr LONG kLogScrollbackChars = 8 * 1024 * 1024;
// How much of the newest text, at whole lines, a page remembers with its
// colours to draw again after a renewal: some 16,000 lines of 64
// characters. Each renewal draws it anew, in the usual steps, into the
// fresh view: about 0.9 s of processor time per MiB here, against some 25 s
// for the 7 MiB drawn between two renewals. The page holds it besides the
// view, and the fresh view holds it (Wine's rich edit: about 110 MB a MiB).
constexpr size_t kLogKeptChars = 1024 * 1024;
// How long one flush step of a page may draw before the window answers
// other messages again.
constexpr DWORD kLogStepMs = 25;

// Renders every queued entry, oldest first, at the end of the view. False,
// with the queue left as it was, when the page, its view or its queue is
// missing.
bool FlushLog(HWND page);
// One step of a flush: draws as much of the queue as the last steps say
// fits in `milliseconds` (at least one line), and puts what is left back at
// the head of the queue, ahead of entries appended meanwhile; `more` tells
// whether it did.
bool FlushLogFor(HWND page, DWORD milliseconds, bool* more);
// Empties the view and forgets the lines removed from it and the text kept
// to be drawn again.
bool ClearLogView(HWND page);
// The scrollback's step with other bounds (the flush uses
// kLogScrollbackChars and kLogKeptChars): true when the view was renewed,
// the newest `keep` characters of it queued to be drawn again.
bool TrimLogView(HWND page, LONG limit, size_t keep);
// Frees what the page remembers of its view; the page is going.
void ReleaseLogView(HWND page);
// The lines the scrollback has removed from the view since it was last
// cleared.
int64_t RemovedLogLines(HWND page);
// Whether the page's log wraps long lines at the view's edge (off when a
// page starts), and the switch.
bool LogWordWrap(HWND page);
void SetLogWordWrap(HWND page, bool wrap);
