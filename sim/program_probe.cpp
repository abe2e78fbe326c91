// The probe's window searches, dialog answer and process start.
#include "sim/program_probe.h"

#include <cstring>

#include "ui/resource.h"

namespace probe {

HWND FindTopLevel(DWORD process, const char* title, int controlId) {
  for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == process && IsWindowVisible(window) && (!title || Text(window) == title) &&
        (!controlId || GetDlgItem(window, controlId)))
      return window;
  }
  return nullptr;
}

HWND MainWindowOf(DWORD process) { return FindTopLevel(process, "Tavdesk", IDC_PAGE_TABS); }

std::vector<HWND> PagesWith(HWND mainWindow, int controlId) {
  std::vector<HWND> pages;
  for (HWND child = GetWindow(mainWindow, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgItem(child, controlId)) pages.push_back(child);
  return pages;
}

std::vector<HWND> DevicePages(HWND mainWindow) { return PagesWith(mainWindow, IDC_EXECUTE); }

std::string Text(HWND window) {
  const LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT got = SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

bool WaitFor(const std::function<bool()>& ready, int ms) {
  for (const ULONGLONG end = GetTickCount64() + ms; !ready(); Sleep(10))
    if (GetTickCount64() > end) return false;
  return true;
}

bool AnswerFileDialog(DWORD process, const std::string& path, int ms) {
  const int kFileNameField = 1148;  // cmb13 of an Explorer-style file dialog
  HWND dialog = nullptr;
  if (!WaitFor([&] { return (dialog = FindTopLevel(process, nullptr, kFileNameField)) != nullptr; },
               ms))
    return false;
  SendDlgItemMessageA(dialog, kFileNameField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  return WaitFor([&] { return !IsWindow(dialog); }, ms);
}

Started Start(const std::string& exe, const std::vector<std::string>& environment,
              const std::string& errorFile) {
  Started started;
  // This process's environment, with the extra lines last so they win.
  std::string block;
  char* current = GetEnvironmentStringsA();
  for (const char* line = current; *line; line += std::strlen(line) + 1) {
    bool replaced = false;
    for (const std::string& extra : environment)
      replaced |= std::strncmp(line, extra.c_str(), extra.find('=') + 1) == 0;
    if (!replaced) block.append(line).push_back('\0');
  }
  FreeEnvironmentStringsA(current);
  for (const std::string& extra : environment) block.append(extra).push_back('\0');
  block.push_back('\0');

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  HANDLE error = INVALID_HANDLE_VALUE;
  if (!errorFile.empty()) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    error = CreateFileA(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherit, CREATE_ALWAYS, 0, nullptr);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = error;
  }
  std::string command = "\"" + exe + "\"";
  started.ok = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, &block[0],
                              nullptr, &startup, &started.info) != FALSE;
  if (error != INVALID_HANDLE_VALUE) CloseHandle(error);
  return started;
}

}  // namespace probe
