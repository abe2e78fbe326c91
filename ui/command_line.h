// The command line (docs/command-line.md): a start with arguments opens no
// window. It hands its request to the running copy's main window (starting
// a copy when none runs), and waits for the console's text through a pipe
// of its own as asked. The running copy checks every request like bytes
// from a cable, acts on it exactly as its device page's buttons do, and
// copies the device's tty text into the caller's pipe.
#pragma once

#include <windows.h>

// Exit codes of a start with arguments.
constexpr int kExitDone = 0;
constexpr int kExitBadUse = 1;    // bad use, or a file that cannot be executed
constexpr int kExitNoDevice = 2;  // no such device, or none
constexpr int kExitDeviceGone = 3;
constexpr int kExitTimedOut = 124;

// True when the program was started with arguments.
bool HasCommandLine();
// The caller's side, whole; returns the exit code. Call it first thing: the
// reserved standard descriptors would hide the caller's own streams.
int RunCommandLine();

// The running copy's side: the main window's WM_COPYDATA, whatever process
// sent it. Answers with a HandOffAnswer as the message's result.
INT_PTR MainWindow_OnCopyData(HWND window, const COPYDATASTRUCT* data);
