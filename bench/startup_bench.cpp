// Start-up and idle cost of the whole program, watched from this process:
//   startup  time from CreateProcess to the main window shown, for
//            Tavdesk.exe and for a minimal dialog program started the same
//            way in the same run, alternately; and the size of Tavdesk.exe
//   idle     processor time of TavdeskSim.exe with no cable over 10 s
// Prints rows of the bench table (tools/bench.sh). The programs are looked
// for beside this one.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "bench/measure.h"
#include "bench/program_folder.h"
#include "sim/program_probe.h"

namespace {

// The shown top-level window titled `title` of the process, or none.
HWND Shown(DWORD process, const char* title) {
  HWND window = probe::FindTopLevel(process, title, 0);
  return window && IsWindowVisible(window) ? window : nullptr;
}

// Closes the program as a user would, and makes sure it is gone.
void Close(const probe::Started& started, HWND window) {
  if (window) PostMessageA(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(started.info.hProcess, 10000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "startup_bench: a program did not close; ended by force\n");
    TerminateProcess(started.info.hProcess, 1);
    WaitForSingleObject(started.info.hProcess, 5000);
  }
  CloseHandle(started.info.hProcess);
  CloseHandle(started.info.hThread);
}

// Seconds from the process's start to its window shown; negative on failure.
double StartUp(const std::string& exe, const char* title) {
  const double start = Now();
  probe::Started started = probe::Start(exe, {"TAVDESK_SIM_DEMO=0"}, "");
  if (!started.ok) return -1;
  HWND window = nullptr;
  // Polled every millisecond, for at most 20 s.
  while (!(window = Shown(started.info.dwProcessId, title)) && Now() - start < 20) Sleep(1);
  const double seconds = Now() - start;
  Close(started, window);
  return window ? seconds : -1;
}

bool StartupFigures() {
  constexpr int kRuns = 7;
  const std::string program = Beside("Tavdesk.exe"), minimal = Beside("minimal_dialog.exe");
  std::vector<double> programTimes, minimalTimes, ratios;
  StartUp(minimal, "Minimal dialog");  // warms the file cache, not counted
  for (int run = 0; run < kRuns; ++run) {
    const double a = StartUp(program, "Tavdesk"), b = StartUp(minimal, "Minimal dialog");
    if (a < 0 || b < 0) return false;
    programTimes.push_back(a * 1e3);
    minimalTimes.push_back(b * 1e3);
    ratios.push_back(a / b);
  }
  Row("P6 start-up to main window, Tavdesk.exe", Summarise(programTimes), "ms", kRuns, "");
  Row("P6 start-up of a minimal dialog program", Summarise(minimalTimes), "ms", kRuns, "");
  Row("P6 ratio (pairwise)", Summarise(ratios), "x", kRuns, "<= 1.2");
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(program.c_str(), GetFileExInfoStandard, &attributes)) return false;
  Row("P6 size of Tavdesk.exe (Release)", {attributes.nFileSizeLow / 1e6, 0, 0}, "MB", 1,
      "<= 2 MB");
  return true;
}

bool IdleFigures() {
  constexpr int kRuns = 3;
  constexpr DWORD kWatchMs = 10000;
  std::vector<double> shares;
  for (int run = 0; run < kRuns; ++run) {
    probe::Started started = probe::Start(Beside("TavdeskSim.exe"), {"TAVDESK_SIM_DEMO=0"}, "");
    if (!started.ok) return false;
    HWND window = nullptr;
    probe::WaitFor([&] { return (window = Shown(started.info.dwProcessId, "Tavdesk")) != nullptr; },
                   20000);
    // Start-up is over once the window shows; give it a moment to settle.
    Sleep(500);
    const DWORD process = started.info.dwProcessId;
    const double cpu = ProcessCpu(process, 0).all, wall = Now();
    Sleep(kWatchMs);
    shares.push_back((ProcessCpu(process, 0).all - cpu) / (Now() - wall) * 100);
    Close(started, window);
    if (!window) return false;
  }
  Row("P7 idle CPU of TavdeskSim.exe, no cable, 10 s", Summarise(shares), "%core", kRuns, "< 1%");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  bool ok;
  if (mode == "startup")
    ok = StartupFigures();
  else if (mode == "idle")
    ok = IdleFigures();
  else {
    std::fprintf(stderr, "usage: startup_bench startup | idle\n");
    return 2;
  }
  if (!ok) std::printf("| startup_bench %s: FAILED |\n", mode.c_str());
  return ok ? 0 : 1;
}
