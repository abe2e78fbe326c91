// The end-to-end test's hands on a running TavdeskSim.exe, the only program
// with a "Tavdesk" window in the Wine prefix: it waits for that window, says
// "ready", then carries out one command per line of standard input and
// answers each with one line, "ok" or "fail <why>", driving the windows as a
// user would, through the probe. Every wait is bounded.
// Commands (a marker is text without spaces that the page's log holds):
//   log <marker> <file>      writes that page's log text into the file
//   execute <marker> <file>  Execute on that page, the file chosen in its dialog
//   close                    asks the main window to close, as its close box does
//   end                      the same, then waits until the program has ended
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/program_probe.h"
#include "ui/resource.h"

namespace {

constexpr int kStepMs = 20000;
DWORD program = 0;
HWND mainWindow = nullptr;

std::string LogOf(HWND page) { return probe::Text(GetDlgItem(page, IDC_LOG_VIEW)); }

std::string FindProgram() {
  probe::WaitFor(
      [] {
        if (HWND any = FindWindowA(nullptr, "Tavdesk")) GetWindowThreadProcessId(any, &program);
        return (mainWindow = probe::MainWindowOf(program)) != nullptr;
      },
      kStepMs);
  return mainWindow ? "ready" : "fail no main window";
}

std::string Command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, marker, file;
  words >> verb >> marker;
  std::getline(words >> std::ws, file);
  if (verb == "close") return PostMessageA(mainWindow, WM_CLOSE, 0, 0) ? "ok" : "fail no window";
  if (verb == "end") {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, program);
    if (!process) return "fail no program";
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(process, kStepMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended ? "ok" : "fail still running";
  }
  if (verb != "log" && verb != "execute") return "fail unknown command " + verb;
  HWND page = nullptr;
  probe::WaitFor(
      [&] {
        for (HWND each : probe::DevicePages(mainWindow))
          if (LogOf(each).find(marker) != std::string::npos) page = each;
        return page != nullptr;
      },
      kStepMs);
  if (!page) return "fail no page shows " + marker;
  if (verb == "log") {
    std::ofstream(file, std::ios::binary) << LogOf(page);  // the test reads what came
    return "ok";
  }
  HWND button = GetDlgItem(page, IDC_EXECUTE);
  if (!probe::WaitFor([&] { return IsWindowEnabled(button) != FALSE; }, kStepMs))
    return "fail Execute stays disabled";
  PostMessageA(button, BM_CLICK, 0, 0);
  return probe::AnswerFileDialog(program, file, kStepMs) ? "ok" : "fail no file dialog";
}

// Runs `work` on a thread of its own that ends with it. A thread that calls
// user32 gets a message queue, and the program's file dialogs send messages
// to every such thread and wait for them: the main thread, which waits for
// the next command, never calls user32, so it never holds the program up.
std::string OnItsOwnThread(const std::function<std::string()>& work) {
  std::string answer;
  std::thread([&] { answer = work(); }).join();
  return answer;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // each answer goes out whole at once
  std::printf("%s\n", OnItsOwnThread(FindProgram).c_str());
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("%s\n", OnItsOwnThread([&] { return Command(line); }).c_str());
  }
  return 0;
}
