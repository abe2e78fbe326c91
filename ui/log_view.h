// Drawing a device page's LogQueue into its rich edit log view (control
// 1011): the flush, cut into steps so that a flood of console text keeps
// the window answering, and the view's scrollback. UI thread only.
#pragma once

#include <windows.h>

#include <cstdint>

// The log view's text limit in characters, far above the control's 32 KiB
// default and above the scrollback plus one step, so that no text is refused.
constexpr LPARAM kLogViewTextLimit = 32 * 1024 * 1024;
// The view holds at most this many characters. Past that it is renewed:
// the oldest lines go in one block, all those the view held (Wine's rich
// edit cannot drop lines from its top in reasonable time, see
// log_view.cpp), and the view's first line says how many lines went.
constexpr LONG kLogScrollbackChars = 8 * 1024 * 1024;
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
// Empties the view and forgets the lines removed from it.
bool ClearLogView(HWND page);
// The scrollback's step with another limit (the flush uses
// kLogScrollbackChars): true when the view was renewed.
bool TrimLogView(HWND page, LONG limit);
// The lines the scrollback has removed from the view since it was last
// cleared.
int64_t RemovedLogLines(HWND page);
// Whether the page's log wraps long lines at the view's edge (off when a
// page starts), and the switch.
bool LogWordWrap(HWND page);
void SetLogWordWrap(HWND page, bool wrap);
