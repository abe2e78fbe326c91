// Drawing a device page's LogQueue into its rich edit log view (control
// 1011): the flush, cut into steps so that a flood of console text keeps
// the window answering, and the view's scrollback. UI thread only.
#pragma once

#include <windows.h>

#include <cstdint>

// The log view's text limit in characters, far above the control's 32 KiB
// default and above the scrollback plus one step, so that no text is refused.
constexpr LPARAM kLogViewTextLimit = 32 * 1024 * 1024;
// The view keeps the newest this many characters. Past that the oldest
// whole lines go, at least kLogTrimChars at a time (a removal costs Wine's
// rich edit about as much as a small one, so it is done rarely), and the
// view's first line says how many lines went.
constexpr LONG kLogScrollbackChars = 8 * 1024 * 1024;
constexpr LONG kLogTrimChars = 1024 * 1024;
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
// The lines the scrollback has removed from the view since it was last
// cleared.
int64_t RemovedLogLines(HWND page);
