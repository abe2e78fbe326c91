// The whole program: TavdeskSim.exe started as a process of its own, from a
// copy in a temporary folder so that its INI file lands there, and watched
// from outside through its windows. The demo consoles print their steps on
// the program's standard error, which goes to a file. The simulated cable
// keeps its USB 1.1 timing: with none, the worker's flush notices would come
// faster than any UI thread takes them, which no real cable allows.
#include <windows.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/program_probe.h"
#include "ui/command_line_format.h"
#include "ui/resource.h"

namespace {

constexpr int kStartMs = 30000;
constexpr int kShutdownMs = 40000;  // ten shutdown ticks of 1.3 s, with room to spare

// The exit code of a run, which is ended by force when it still runs after
// `ms`; -1 then.
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

// One run of the program from a folder of its own; killed if a test leaves it.
struct Program {
  explicit Program(std::vector<std::string> environment) : environment(environment) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string built = std::string(path, std::strrchr(path, '\\')) + "\\TavdeskSim.exe";
    GetTempPathA(MAX_PATH, path);
    static int runs = 0;
    folder = path + ("tavdesk-program-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(++runs));
    CreateDirectoryA(folder.c_str(), nullptr);
    CopyFileA(built.c_str(), File("TavdeskSim.exe").c_str(), FALSE);
    run = probe::Start(File("TavdeskSim.exe"), environment, File("stderr.txt"));
    probe::WaitFor([&] { return (main = probe::MainWindowOf(run.info.dwProcessId)) != nullptr; }, kStartMs);
  }
  ~Program() {
    ExitCode(run, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::string File(const char* name) const { return folder + "\\" + name; }
  bool IniExists() const {
    return GetFileAttributesA(File("TavdeskSim.ini").c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  int Count(const std::string& what) const {  // in the standard error
    std::stringstream all;
    all << std::ifstream(File("stderr.txt"), std::ios::binary).rdbuf();
    int n = 0;
    for (size_t at = all.str().find(what); at != std::string::npos; at = all.str().find(what, at + 1)) ++n;
    return n;
  }
  // The page that holds this control; none when there is none.
  HWND Page(int control) const {
    auto pages = probe::PagesWith(main, control);
    return pages.empty() ? nullptr : pages[0];
  }

  std::vector<std::string> environment;
  std::string folder;
  probe::Started run;
  HWND main = nullptr;
};

TEST(ProgramTest, WithoutACableItShowsAboutAndClosesAtOnceStoringTheSettings) {
  Program program({"TAVDESK_SIM_DEMO=0"});
  ASSERT_TRUE(program.main);
  EXPECT_EQ(0, SendDlgItemMessageA(program.main, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0));
  EXPECT_TRUE(IsWindowVisible(program.Page(IDC_DEVICE_COUNT))) << "About is shown";
  EXPECT_FALSE(program.IniExists());
  PostMessageA(program.main, WM_CLOSE, 0, 0);
  EXPECT_EQ(0, ExitCode(program.run));
  EXPECT_TRUE(program.IniExists());
}

TEST(ProgramTest, TwoCablesASecondStartAndAShutdownThatQuitsEachConsole) {
  Program program({"TAVDESK_SIM_DEMO=2"});
  HWND main = program.main;
  ASSERT_TRUE(main);
  ASSERT_TRUE(probe::WaitFor([&] {
    int greeted = 0;
    for (HWND page : probe::DevicePages(main))
      greeted += probe::Text(GetDlgItem(page, IDC_LOG_VIEW)).find("Hello") != std::string::npos;
    return greeted == 2;
  }, kStartMs));
  HWND about = program.Page(IDC_DEVICE_COUNT);
  EXPECT_EQ("\n\n2 devices mounted", probe::Text(GetDlgItem(about, IDC_DEVICE_COUNT)));

  // A second copy, while the first is minimised: restores it and ends (with
  // 2, TavdeskSim's code for a copy that could not start; Tavdesk.exe's is 0).
  ShowWindow(main, SW_MINIMIZE);
  ASSERT_TRUE(probe::WaitFor([&] { return IsIconic(main) != FALSE; }, kStartMs));
  probe::Started again = probe::Start(program.File("TavdeskSim.exe"), program.environment, "");
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
  EXPECT_TRUE(program.IniExists());
}

TEST(ProgramTest, AConsoleThatNeverPollsIsClosedByForceWithTheWindow) {
  Program program({"TAVDESK_SIM_DEMO=1", "TAVDESK_SIM_DEMO_POLL=0"});
  ASSERT_TRUE(program.main);
  ASSERT_TRUE(probe::WaitFor([&] { return program.Count("it does not poll") == 1; }, kStartMs));
  PostMessageA(program.main, WM_CLOSE, 0, 0);
  // The quit command is queued but never fetched, so no polite tick can
  // close the device; the program still ends, on the tenth tick.
  EXPECT_TRUE(probe::WaitFor([&] { return !IsWindow(program.main); }, kShutdownMs));
  EXPECT_EQ(0, ExitCode(program.run));
  EXPECT_EQ(0, program.Count("quit received"));
}

// Any process may send the main window a hand-off: what is not one is
// refused (answer 0) before anything is done; a well-formed one is answered.
TEST(ProgramTest, AHandOffIsCheckedBeforeAnythingIsDone) {
  Program program({"TAVDESK_SIM_DEMO=1"});
  ASSERT_TRUE(program.main);
  HWND page = nullptr;
  ASSERT_TRUE(probe::WaitFor([&] { return (page = program.Page(IDC_LOG_VIEW)) != nullptr; }, kStartMs));
  tavrin::HandOffRequest request;
  request.reset = true;
  request.cable = "Nope";
  std::vector<uint8_t> body = tavrin::EncodeHandOff(request);
  std::vector<uint8_t> big(tavrin::kMaxHandOffBytes + 1, 0);
  big.insert(big.begin(), body.begin(), body.end() - 1);
  struct Row {
    const char* what;
    ULONG_PTR tag;
    std::vector<uint8_t> bytes;
    LRESULT answer;
  } rows[] = {
      {"another tag", tavrin::kHandOffTag + 1, body, 0},
      {"no bytes", tavrin::kHandOffTag, {}, 0},
      {"cut short", tavrin::kHandOffTag, {body.begin(), body.end() - 1}, 0},
      {"over the bound", tavrin::kHandOffTag, big, 0},
      {"no such cable", tavrin::kHandOffTag, body, LRESULT(tavrin::HandOffAnswer::NoSuchCable)},
  };
  for (Row& row : rows) {
    COPYDATASTRUCT data = {row.tag, DWORD(row.bytes.size()),
                           row.bytes.empty() ? nullptr : row.bytes.data()};
    DWORD_PTR answer = 99;
    EXPECT_TRUE(SendMessageTimeoutA(program.main, WM_COPYDATA, 0, LPARAM(&data), SMTO_BLOCK,
                                    5000, &answer));
    EXPECT_EQ(row.answer, LRESULT(answer)) << row.what;
  }
  EXPECT_EQ(std::string::npos, probe::Text(GetDlgItem(page, IDC_LOG_VIEW)).find("Send reset"));
}

}  // namespace
