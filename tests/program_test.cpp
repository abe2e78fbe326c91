// The whole program: TavdeskSim.exe started as a process of its own, from a
// copy in a temporary folder so that its INI file lands there, and watched
// from outside through its windows, as a user sees it. The demo consoles
// print their steps on the program's standard error, which goes to a file.
// The simulated cable keeps its USB 1.1 timing: with none, the worker's
// flush notices (one per device per pass) would come faster than any UI
// thread takes them, which no real cable allows.
#include <windows.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/program_probe.h"
#include "ui/resource.h"

namespace {

constexpr int kStartMs = 30000;
// Ten shutdown ticks of 1.3 s, with room to spare on a loaded machine.
constexpr int kShutdownMs = 40000;

// One run of the program from a folder of its own; killed if a test leaves it.
class Program {
 public:
  explicit Program(std::vector<std::string> environment) : environment_(environment) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string built = std::string(path, std::strrchr(path, '\\')) + "\\TavdeskSim.exe";
    GetTempPathA(MAX_PATH, path);
    static int runs = 0;
    folder_ = path + ("tavdesk-program-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(++runs));
    CreateDirectoryA(folder_.c_str(), nullptr);
    CopyFileA(built.c_str(), File("TavdeskSim.exe").c_str(), FALSE);
    run_ = probe::Start(File("TavdeskSim.exe"), environment_, File("stderr.txt"));
  }
  ~Program() {
    End(run_);
    for (const char* name : {"TavdeskSim.exe", "TavdeskSim.ini", "stderr.txt"})
      DeleteFileA(File(name).c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  std::string File(const char* name) const { return folder_ + "\\" + name; }
  bool IniExists() const {
    return GetFileAttributesA(File("TavdeskSim.ini").c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  HWND Main() const {
    HWND main = nullptr;
    probe::WaitFor([&] { return (main = probe::MainWindowOf(run_.info.dwProcessId)) != nullptr; },
                   kStartMs);
    return main;
  }
  // The exit code of this run, -1 while it runs after the time of a shutdown.
  long ExitCode() const { return ExitCodeOf(run_); }
  // The same for a second start of the program.
  long StartAgain() const {
    probe::Started again = probe::Start(File("TavdeskSim.exe"), environment_, "");
    const long code = ExitCodeOf(again);
    End(again);
    return code;
  }
  int Count(const std::string& what) const {
    std::ifstream in(File("stderr.txt"), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int n = 0;
    for (size_t at = all.find(what); at != std::string::npos; at = all.find(what, at + 1)) ++n;
    return n;
  }

 private:
  static long ExitCodeOf(const probe::Started& run) {
    DWORD code = DWORD(-1);
    if (run.ok && WaitForSingleObject(run.info.hProcess, kShutdownMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(run.info.hProcess, &code);
    return static_cast<long>(code);
  }
  static void End(const probe::Started& run) {
    if (!run.ok) return;
    TerminateProcess(run.info.hProcess, 99);  // no effect once it has ended
    WaitForSingleObject(run.info.hProcess, 5000);
    CloseHandle(run.info.hProcess);
    CloseHandle(run.info.hThread);
  }

  std::vector<std::string> environment_;
  std::string folder_;
  probe::Started run_;
};

HWND PageOf(HWND main, probe::PageKind kind) {
  for (HWND page : probe::Pages(main))
    if (probe::KindOf(page) == kind) return page;
  return nullptr;
}

bool LogHas(HWND page, const char* text) {
  return probe::Text(GetDlgItem(page, IDC_LOG_VIEW)).find(text) != std::string::npos;
}

TEST(ProgramTest, WithoutACableItShowsAboutAndClosesAtOnceStoringTheSettings) {
  Program program({"TAVDESK_SIM_DEMO=0"});
  HWND main = program.Main();
  ASSERT_TRUE(main);
  EXPECT_EQ(0, SendDlgItemMessageA(main, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0));
  EXPECT_EQ(probe::PageKind::About, probe::KindOf(probe::ShownPage(main)));
  EXPECT_FALSE(program.IniExists());
  PostMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(0, program.ExitCode());
  EXPECT_TRUE(program.IniExists());
}

TEST(ProgramTest, TwoCablesASecondStartAndAShutdownThatQuitsEachConsole) {
  Program program({"TAVDESK_SIM_DEMO=2"});
  HWND main = program.Main();
  ASSERT_TRUE(main);
  ASSERT_TRUE(probe::WaitFor(
      [&] {
        auto devices = probe::DevicePages(main);
        return devices.size() == 2 && LogHas(devices[0], "Hello") && LogHas(devices[1], "Hello");
      },
      kStartMs));
  HWND about = PageOf(main, probe::PageKind::About);
  EXPECT_EQ("\n\n2 devices mounted", probe::Text(GetDlgItem(about, IDC_DEVICE_COUNT)));

  // A second copy, while the first is minimised: restores it and ends with 0.
  ShowWindow(main, SW_MINIMIZE);
  ASSERT_TRUE(probe::WaitFor([&] { return IsIconic(main) != FALSE; }, kStartMs));
  EXPECT_EQ(0, program.StartAgain());
  EXPECT_TRUE(probe::WaitFor([&] { return !IsIconic(main); }, kStartMs));

  // Shutdown: the consoles fetch their quit commands, their devices go, the
  // Settings page goes while the main window stays (the polite way), then
  // the main window. A second close request on the way changes nothing.
  PostMessageA(main, WM_CLOSE, 0, 0);
  PostMessageA(main, WM_CLOSE, 0, 0);
  // The window still answers a message with both gone: it outlived the tick
  // that closed them, which a forced close never lets it do.
  bool settingsWentFirst = false;
  EXPECT_TRUE(probe::WaitFor(
      [&] {
        settingsWentFirst |= IsWindow(main) && probe::DevicePages(main).empty() &&
                             !PageOf(main, probe::PageKind::Settings) &&
                             SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr);
        return !IsWindow(main);
      },
      kShutdownMs));
  EXPECT_TRUE(settingsWentFirst);
  EXPECT_EQ(0, program.ExitCode());
  EXPECT_EQ(2, program.Count("quit received"));
  EXPECT_TRUE(program.IniExists());
}

TEST(ProgramTest, AConsoleThatNeverPollsIsClosedByForceWithTheWindow) {
  Program program({"TAVDESK_SIM_DEMO=1", "TAVDESK_SIM_DEMO_POLL=0"});
  HWND main = program.Main();
  ASSERT_TRUE(main);
  ASSERT_TRUE(probe::WaitFor([&] { return program.Count("it does not poll") == 1; }, kStartMs));
  PostMessageA(main, WM_CLOSE, 0, 0);
  // The quit command is queued but never fetched, so no polite tick can
  // close the device; the program still ends, on the tenth tick.
  EXPECT_TRUE(probe::WaitFor([&] { return !IsWindow(main); }, kShutdownMs));
  EXPECT_EQ(0, program.ExitCode());
  EXPECT_EQ(0, program.Count("quit received"));
}

}  // namespace
