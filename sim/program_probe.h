// Watching and driving a running Tavdesk program from another process, as a
// user would: windows found by process, pages by the controls they hold,
// texts read with WM_GETTEXT (which Windows carries across processes).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace probe {

// A visible top-level window of the process with this title (any when none)
// holding a control with this id (any when 0); none otherwise.
HWND FindTopLevel(DWORD process, const char* title, int controlId);
HWND MainWindowOf(DWORD process);  // titled "Tavdesk", with the page tabs
// The main window's pages that hold this control, in z-order.
std::vector<HWND> PagesWith(HWND mainWindow, int controlId);
std::vector<HWND> DevicePages(HWND mainWindow);
std::string Text(HWND window);
bool WaitFor(const std::function<bool()>& ready, int ms);  // polls every 10 ms
// Types `path` into the process's open or save dialog and presses OK; false
// when none came, or it did not close, within `ms`.
bool AnswerFileDialog(DWORD process, const std::string& path, int ms);

// A process started with extra NAME=value lines in its environment, its
// standard error going to `errorFile` (when given).
struct Started {
  PROCESS_INFORMATION info = {};
  bool ok = false;
};
Started Start(const std::string& exe, const std::vector<std::string>& environment,
              const std::string& errorFile);

}  // namespace probe
