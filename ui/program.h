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

// Shutdown progress, UI thread only: QuittingFlag is set by the first close
// request that finds devices open; QuitTickCounter counts timer 2's ticks
// from then on (-2: the last device has gone, the next tick ends the window).
extern LONG QuittingFlag;
extern LONG QuitTickCounter;

// The entry point's steps after the C runtime: the single-instance check,
// start-up, the banner, the message loop and clean-up. Returns the exit code.
int RunProgram(HINSTANCE instance, int showCommand);
// True when no other copy runs (and from then on in this process); otherwise
// brings that copy's main window to the front (restored if minimised) and
// returns false.
bool SingleInstanceCheck();
// The running copy's main window (the first to answer the single-instance
// message), or none.
HWND RunningCopyWindow();
// True while the single-instance mutex exists, in this process or another,
// without creating it.
bool CopyIsRunning();
// Start-up in its fixed order, the main window shown with `showCommand`;
// false at the first step that fails.
bool StartProgram(int showCommand);
// Returns the wParam of WM_QUIT.
int RunMessageLoop();
void CleanUpProgram();
