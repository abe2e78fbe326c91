// Start-up, the message loop and shutdown: the entry point's steps, and the
// rows of the main window procedure that belong to them (the close request,
// timer 2's scan and shutdown ticks, WM_DESTROY and the single-instance
// message). The entry point itself lives in ui/win_main.cpp, so that the
// test programs can link everything else.
#pragma once

#include <windows.h>

// The registered single-instance message; 0 until SingleInstanceCheck.
extern UINT SingleInstanceMessage;

// Rows of MainWindowProc; each returns what the dialog procedure reports.
INT_PTR MainWindow_OnClose(HWND window);
INT_PTR MainWindow_OnTick(HWND window);  // timer 2
INT_PTR MainWindow_OnDestroy(HWND window);
INT_PTR MainWindow_OnSingleInstance(HWND window);
