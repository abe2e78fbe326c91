// Drawing a device page's LogQueue into its rich edit log view (control
// 1011): the flush, cut into pieces so that a flood of console text keeps
// the window answering. UI thread only.
#pragma once

#include <windows.h>

// The log view's text limit in characters, far above the control's 32 KiB
// default, so that a long session keeps showing the console's output.
constexpr LPARAM kLogViewTextLimit = 32 * 1024 * 1024;

// Renders every queued entry, oldest first, at the end of the view. False,
// with the queue left as it was, when the page, its view or its queue is
// missing.
bool FlushLog(HWND page);
// As FlushLog, but stops between two pieces once `milliseconds` have passed
// (at least one piece is always drawn) and puts what is left back at the
// head of the queue, ahead of entries appended meanwhile; `more` tells
// whether it did. A flood of console text then keeps the window answering.
bool FlushLogFor(HWND page, DWORD milliseconds, bool* more);
