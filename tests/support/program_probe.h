// Watching and driving a running Tavdesk program from another process, as a
// user would: its windows are found by process, pages told apart by their
// controls, texts read with WM_GETTEXT (which Windows carries across
// processes). Shared by the whole-program tests and the demo driver. Every
// wait is bounded.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace probe {

enum class PageKind { About, Settings, Device, Unknown };

// A top-level window of the process with this title (or any title when
// none) that holds a control with this id (or any when 0); none otherwise.
HWND FindTopLevel(DWORD process, const char* title, int controlId);
// The main window: the top-level dialog titled "Tavdesk".
HWND MainWindowOf(DWORD process);
// The page dialogs of the main window, in z-order.
std::vector<HWND> Pages(HWND mainWindow);
PageKind KindOf(HWND page);
// The visible page, or none.
HWND ShownPage(HWND mainWindow);
std::vector<HWND> DevicePages(HWND mainWindow);
std::string Text(HWND window);

// Polls `ready` every 10 ms until it holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& ready, int ms);

// Fills the file name of an open or save dialog that `process` shows and
// presses OK. False when no such dialog came within `ms`.
bool AnswerFileDialog(DWORD process, const std::string& path, int ms);

// A process started with the environment given as extra NAME=value lines,
// its standard error going to `errorFile` (when given).
struct Started {
  PROCESS_INFORMATION info = {};
  bool ok = false;
};
Started Start(const std::string& exe, const std::vector<std::string>& environment,
              const std::string& errorFile);

}  // namespace probe
