// The end-to-end test's hands on a running TavdeskSim.exe: it starts the
// program with the environment it is given, waits for its main window, says
// "ready", then carries out one command per line of standard input and
// answers each with one line, "ok [value]" or "fail <why>", driving the
// windows as a user would, through the probe. Every wait is bounded.
//   e2e_driver <TavdeskSim.exe> <file for its standard error> [NAME=value ...]
// Commands (a marker is text without spaces that the page's log holds):
//   log <marker> <file>      writes that page's log text into the file
//   execute <marker> <file>  Execute on that page, the file chosen in its dialog
//   close                    asks the main window to close, as its close box does
//   wait <ms>                waits for the program to end: "ok <exit code>"
#include <windows.h>

#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/program_probe.h"
#include "ui/resource.h"

namespace {

constexpr int kStepMs = 20000;

struct Driver {
  PROCESS_INFORMATION program = {};
  HWND main = nullptr;

  static std::string LogOf(HWND page) { return probe::Text(GetDlgItem(page, IDC_LOG_VIEW)); }

  HWND PageWith(const std::string& marker) {
    HWND found = nullptr;
    probe::WaitFor(
        [&] {
          for (HWND page : probe::DevicePages(main))
            if (LogOf(page).find(marker) != std::string::npos) found = page;
          return found != nullptr;
        },
        kStepMs);
    return found;
  }

  std::string Log(HWND page, const std::string& file) {
    const std::string text = LogOf(page);
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) return "fail cannot write " + file;
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fclose(out) == 0 ? "ok" : "fail cannot write " + file;
  }

  std::string Execute(HWND page, const std::string& file) {
    HWND button = GetDlgItem(page, IDC_EXECUTE);
    if (!probe::WaitFor([&] { return IsWindowEnabled(button) != FALSE; }, kStepMs))
      return "fail Execute stays disabled";
    PostMessageA(button, BM_CLICK, 0, 0);
    return probe::AnswerFileDialog(program.dwProcessId, file, kStepMs) ? "ok"
                                                                       : "fail no file dialog";
  }

  std::string Wait(int ms) {
    if (WaitForSingleObject(program.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0)
      return "fail still running";
    DWORD code = 0;
    GetExitCodeProcess(program.hProcess, &code);
    return "ok " + std::to_string(code);
  }

  std::string Command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, first, rest;
    words >> verb >> first;
    std::getline(words >> std::ws, rest);
    if (verb == "close") return PostMessageA(main, WM_CLOSE, 0, 0) ? "ok" : "fail no main window";
    if (verb == "wait") return Wait(std::atoi(first.c_str()));
    if (verb != "log" && verb != "execute") return "fail unknown command " + verb;
    HWND page = PageWith(first);
    if (!page) return "fail no page shows " + first;
    return verb == "log" ? Log(page, rest) : Execute(page, rest);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // each answer goes out whole at once
  Driver driver;
  probe::Started started = probe::Start(argv[1], {argv + 3, argv + argc}, argv[2]);
  if (!started.ok) return std::printf("fail the program could not be started\n"), 1;
  driver.program = started.info;
  const bool ready = probe::WaitFor(
      [&] {
        return (driver.main = probe::MainWindowOf(driver.program.dwProcessId)) != nullptr ||
               WaitForSingleObject(driver.program.hProcess, 0) == WAIT_OBJECT_0;
      },
      kStepMs);
  if (!ready || !driver.main) {
    std::printf("fail no main window (%s)\n", driver.Wait(0).c_str());
    return 1;
  }
  std::printf("ready\n");
  // This thread has a message queue (it calls user32), and the program's
  // file dialogs send messages to every such thread and wait for them: so
  // it pumps messages while it waits for a command, which a thread of its
  // own reads.
  HANDLE lineReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::mutex mutex;
  std::deque<std::string> lines;
  bool ended = false;
  std::thread reader([&] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(line);
      SetEvent(lineReady);
    }
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    SetEvent(lineReady);
  });
  reader.detach();
  for (;;) {
    if (MsgWaitForMultipleObjects(1, &lineReady, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
      continue;
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!lines.empty()) {
      const std::string line = lines.front();
      lines.pop_front();
      lock.unlock();
      std::printf("%s\n", driver.Command(line).c_str());
      lock.lock();
    }
    if (ended) break;
  }
  // The tests end the program themselves; one left running is ended here.
  if (WaitForSingleObject(driver.program.hProcess, 0) != WAIT_OBJECT_0)
    TerminateProcess(driver.program.hProcess, 3);
  return 0;
}
