// The device page: one child dialog (template 106) per cable, holding the
// cable's coloured log view and its command buttons. The page window is the
// key by which the rest of the program reaches the device.
#pragma once

#include <windows.h>

// Notices the worker sends a page, always asynchronously.
constexpr UINT WM_PAGE_CONNECTION = WM_USER + 16;  // wParam 1: console served; 0: not
constexpr UINT WM_PAGE_FLUSH = WM_USER + 17;       // flush the LogQueue into the view

// The log view's text limit in characters, far above the control's 32 KiB
// default, so that a long session keeps showing the console's output.
constexpr LPARAM kLogViewTextLimit = 32 * 1024 * 1024;

// Creates the page from template 106 as a child of `parent`, with no
// DeviceRecord attached yet. None when the rich edit control or the dialog
// cannot be had.
HWND CreateDevicePage(HWND parent);

INT_PTR CALLBACK DevicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
