// The whole program as a process, watched through its windows: a copy of
// TavdeskSim.exe (or Tavdesk.exe) in a folder of its own, where its INI file
// lands, beside a riched32.dll and a winmm.dll planted as a console could
// (the program's folder is its default share); each would leave
// NAME.dll.loaded. The demo consoles print their steps on standard error, to
// a file. The cable keeps its USB 1.1 timing: with none, flush notices would
// come faster than any UI thread takes them, which no real cable allows.
#include <windows.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/program_probe.h"
#include "ui/command_line_format.h"
#include "ui/resource.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStartMs = 30000;
constexpr int kShutdownMs = 40000;  // ten shutdown ticks of 1.3 s, with room to spare
const std::string kPlanted[] = {"riched32", "winmm"};

// The exit code of a run, ended by force (-1) when it still runs after `ms`.
long ExitCode(probe::Started& run, DWORD ms = kShutdownMs) {
  DWORD code = DWORD(-1);
  if (WaitForSingleObject(run.info.hProcess, ms) == WAIT_OBJECT_0)
    GetExitCodeProcess(run.info.hProcess, &code);
  TerminateProcess(run.info.hProcess, 99);  // no effect once it has ended
  WaitForSingleObject(run.info.hProcess, 5000);
  CloseHandle(run.info.hProcess);
  CloseHandle(run.info.hThread);
  run = {};  // a second call finds no handles
  return static_cast<long>(code);
}

// One run, killed if a test leaves it. Wine quirk: Wine prefers its built-in
// DLLs to those in the program's folder, so nothing planted would ever load;
// "native,builtin" in its per-program overrides (which Windows ignores;
// WINEDLLOVERRIDES would not reach this process) makes it search as Windows.
struct Program {
  explicit Program(std::vector<std::string> environment, std::string exe = "TavdeskSim.exe")
      : environment(environment), exe(exe), key("Software\\Wine\\AppDefaults\\" + exe) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const fs::path here = fs::path(self).parent_path();
    static int runs = 0;
    folder = (fs::temp_directory_path() / ("tavdesk-program-" + std::to_string(GetCurrentProcessId()) + "-" +
                                            std::to_string(++runs))).string();
    fs::create_directory(folder);
    fs::copy_file(here / exe, File(exe));
    HKEY dlls = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                    nullptr, &dlls, nullptr);
    for (const std::string& dll : kPlanted) {
      fs::copy_file(here / "planted_dll.dll", File(dll + ".dll"));
      RegSetValueExA(dlls, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("native,builtin"), 15);
    }
    RegCloseKey(dlls);
    run = probe::Start(File(exe), environment, File("stderr.txt"));
    probe::WaitFor([&] { return (main = probe::MainWindowOf(run.info.dwProcessId)) != nullptr; }, kStartMs);
  }
  ~Program() {
    ExitCode(run, 0);
    for (const std::string& dll : kPlanted) EXPECT_FALSE(fs::exists(File(dll + ".dll.loaded"))) << dll;
    RegDeleteKeyA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  std::string File(const std::string& name) const { return folder + "\\" + name; }
  int Count(const std::string& what) const {  // in the standard error
    std::stringstream all;
    all << std::ifstream(File("stderr.txt"), std::ios::binary).rdbuf();
    int n = 0;
    for (size_t at = all.str().find(what); at != std::string::npos; at = all.str().find(what, at + 1)) ++n;
    return n;
  }
  HWND Page(int control) const {  // the page that holds this control, or none
    auto pages = probe::PagesWith(main, control);
    return pages.empty() ? nullptr : pages[0];
  }

  std::vector<std::string> environment;
  std::string exe, key, folder;
  probe::Started run;
  HWND main = nullptr;
};

TEST(ProgramTest, TheProgramShowsItsWindowWithoutLoadingAPlantedDll) {
  EXPECT_TRUE(Program({}, "Tavdesk.exe").main);
}

TEST(ProgramTest, TwoCablesAHandOffASecondStartAndAShutdownThatQuitsEachConsole) {
  Program program({"TAVDESK_SIM_DEMO=2"});
  HWND main = program.main;
  ASSERT_TRUE(main);
  const auto logged = [&](const char* line) {  // by how many pages
    int pages = 0;
    for (HWND page : probe::DevicePages(main))
      pages += probe::Text(GetDlgItem(page, IDC_LOG_VIEW)).find(line) != std::string::npos;
    return pages;
  };
  ASSERT_TRUE(probe::WaitFor([&] { return logged("Hello") == 2; }, kStartMs));
  EXPECT_EQ("\n\n2 devices mounted", probe::Text(GetDlgItem(program.Page(IDC_DEVICE_COUNT), IDC_DEVICE_COUNT)));

  // Any process may send the main window a hand-off: what is not one is
  // refused (answer 0) before anything is done; a well-formed one is answered.
  tavrin::HandOffRequest request;
  request.reset = true;
  request.cable = "Nope";
  std::vector<uint8_t> body = tavrin::EncodeHandOff(request);
  std::vector<uint8_t> big(tavrin::kMaxHandOffBytes + 1, 0);
  big.insert(big.begin(), body.begin(), body.end() - 1);
  struct { const char* what; ULONG_PTR tag; std::vector<uint8_t> bytes; LRESULT answer; } rows[] = {
      {"another tag", tavrin::kHandOffTag + 1, body, 0},
      {"no bytes", tavrin::kHandOffTag, {}, 0},
      {"cut short", tavrin::kHandOffTag, {body.begin(), body.end() - 1}, 0},
      {"over the bound", tavrin::kHandOffTag, big, 0},
      {"no such cable", tavrin::kHandOffTag, body, LRESULT(tavrin::HandOffAnswer::NoSuchCable)},
  };
  for (auto& row : rows) {
    COPYDATASTRUCT data = {row.tag, DWORD(row.bytes.size()), row.bytes.empty() ? nullptr : row.bytes.data()};
    DWORD_PTR answer = 99;
    EXPECT_TRUE(SendMessageTimeoutA(main, WM_COPYDATA, 0, LPARAM(&data), SMTO_BLOCK, 5000, &answer));
    EXPECT_EQ(row.answer, LRESULT(answer)) << row.what;
  }
  EXPECT_EQ(0, logged("Send reset"));

  // A second copy, while the first is minimised: restores it and ends (with
  // 2, TavdeskSim's code for a copy that could not start; Tavdesk.exe's is 0).
  ShowWindow(main, SW_MINIMIZE);
  ASSERT_TRUE(probe::WaitFor([&] { return IsIconic(main) != FALSE; }, kStartMs));
  probe::Started again = probe::Start(program.File(program.exe), program.environment, "");
  EXPECT_EQ(2, ExitCode(again));
  EXPECT_TRUE(probe::WaitFor([&] { return !IsIconic(main); }, kStartMs));

  // Shutdown: the consoles fetch their quit commands, their devices go, the
  // Settings page goes while the main window stays (the polite way), then
  // the main window. A second close request on the way changes nothing.
  PostMessageA(main, WM_CLOSE, 0, 0);
  PostMessageA(main, WM_CLOSE, 0, 0);
  // The window still answers a message with both gone: it outlived the tick
  // that closed them, which a forced close never lets it do.
  bool settingsWentFirst = false;
  EXPECT_TRUE(probe::WaitFor([&] {
    settingsWentFirst |= IsWindow(main) && probe::DevicePages(main).empty() &&
                         !program.Page(IDC_PRIORITY_LOW) &&
                         SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr);
    return !IsWindow(main);
  }, kShutdownMs));
  EXPECT_TRUE(settingsWentFirst);
  EXPECT_EQ(0, ExitCode(program.run));
  EXPECT_EQ(2, program.Count("quit received"));
  EXPECT_TRUE(fs::exists(program.File("TavdeskSim.ini")));
}

}  // namespace
