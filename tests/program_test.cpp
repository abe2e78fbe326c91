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

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_probe.h"
#include "ui/resource.h"

namespace {

constexpr int kStartMs = 30000;
// Ten shutdown ticks of 1.3 s, with room to spare on a loaded machine.
constexpr int kShutdownMs = 40000;

std::string Here() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.rfind('\\'));
}

// One run of the program from its own folder; killed if a test leaves it.
class Program {
 public:
  explicit Program(std::vector<std::string> environment) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int runs = 0;
    folder_ = std::string(temp) + "tavdesk-program-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++runs);
    CreateDirectoryA(folder_.c_str(), nullptr);
    exe_ = folder_ + "\\TavdeskSim.exe";
    CopyFileA((Here() + "\\TavdeskSim.exe").c_str(), exe_.c_str(), FALSE);
    environment_ = environment;
    started_ = probe::Start(exe_, environment_, Errors());
  }
  ~Program() {
    if (started_.ok) {
      if (WaitForSingleObject(started_.info.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(started_.info.hProcess, 99);
      WaitForSingleObject(started_.info.hProcess, 5000);
      CloseHandle(started_.info.hProcess);
      CloseHandle(started_.info.hThread);
    }
    for (const char* name : {"TavdeskSim.exe", "TavdeskSim.ini", "stderr.txt", "tavdesk-demo.txt"})
      DeleteFileA((folder_ + "\\" + name).c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  bool ok() const { return started_.ok; }
  DWORD id() const { return started_.info.dwProcessId; }
  std::string Errors() const { return folder_ + "\\stderr.txt"; }
  std::string Ini() const { return folder_ + "\\TavdeskSim.ini"; }

  HWND Main() {
    HWND main = nullptr;
    probe::WaitFor([&] { return (main = probe::MainWindowOf(id())) != nullptr; }, kStartMs);
    return main;
  }
  // The exit code, or -1 when the program has not ended within `ms`.
  long ExitCode(int ms) const {
    if (WaitForSingleObject(started_.info.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(started_.info.hProcess, &code);
    return static_cast<long>(code);
  }
  // A second start of the same program with the same environment.
  long StartAgain() const {
    probe::Started second = probe::Start(exe_, environment_, "");
    if (!second.ok) return -2;
    long code = -1;
    if (WaitForSingleObject(second.info.hProcess, kStartMs) == WAIT_OBJECT_0) {
      DWORD exit = 0;
      GetExitCodeProcess(second.info.hProcess, &exit);
      code = static_cast<long>(exit);
    } else {
      TerminateProcess(second.info.hProcess, 99);
    }
    CloseHandle(second.info.hProcess);
    CloseHandle(second.info.hThread);
    return code;
  }
  std::string ErrorText() const {
    std::ifstream in(Errors(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  int Count(const std::string& what) const {
    const std::string text = ErrorText();
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

 private:
  std::string folder_;
  std::string exe_;
  std::vector<std::string> environment_;
  probe::Started started_;
};

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HWND PageOfKind(HWND main, probe::PageKind kind) {
  for (HWND page : probe::Pages(main))
    if (probe::KindOf(page) == kind) return page;
  return nullptr;
}

bool LogHas(HWND page, const char* text) {
  return probe::Text(GetDlgItem(page, IDC_LOG_VIEW)).find(text) != std::string::npos;
}

TEST(ProgramTest, WithoutACableItShowsAboutAndClosesAtOnceStoringTheSettings) {
  Program program({"TAVDESK_SIM_DEMO=0"});
  ASSERT_TRUE(program.ok());
  HWND main = program.Main();
  ASSERT_TRUE(main);
  HWND tabs = probe::Tabs(main);
  EXPECT_EQ(2, SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  EXPECT_EQ(0, SendMessageA(tabs, TCM_GETCURSEL, 0, 0));
  HWND about = probe::ShownPage(main);
  EXPECT_EQ(probe::PageKind::About, probe::KindOf(about));
  EXPECT_EQ("\n\nNo device mounted\nPlug in pl2301/2302-cable",
            probe::Text(GetDlgItem(about, IDC_DEVICE_COUNT)));
  EXPECT_FALSE(Exists(program.Ini()));

  PostMessageA(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(0, program.ExitCode(kStartMs));
  EXPECT_TRUE(Exists(program.Ini()));
}

TEST(ProgramTest, TwoCablesASecondStartAndAShutdownThatQuitsEachConsole) {
  Program program({"TAVDESK_SIM_DEMO=2"});
  ASSERT_TRUE(program.ok());
  HWND main = program.Main();
  ASSERT_TRUE(main);
  ASSERT_TRUE(probe::WaitFor(
      [&] {
        auto devices = probe::DevicePages(main);
        return devices.size() == 2 && LogHas(devices[0], "Hello") && LogHas(devices[1], "Hello");
      },
      kStartMs));
  HWND tabs = probe::Tabs(main);
  EXPECT_EQ(4, SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  EXPECT_EQ(3, SendMessageA(tabs, TCM_GETCURSEL, 0, 0));
  HWND shown = probe::ShownPage(main);
  ASSERT_EQ(probe::PageKind::Device, probe::KindOf(shown));
  EXPECT_TRUE(LogHas(shown, "on Demo cable 2."));  // the cable found second
  EXPECT_EQ("\n\n2 devices mounted",
            probe::Text(GetDlgItem(PageOfKind(main, probe::PageKind::About), IDC_DEVICE_COUNT)));

  // A second copy, while the first is minimised: restores it and ends with 0.
  ShowWindow(main, SW_MINIMIZE);
  ASSERT_TRUE(probe::WaitFor([&] { return IsIconic(main) != FALSE; }, kStartMs));
  EXPECT_EQ(0, program.StartAgain());
  EXPECT_TRUE(probe::WaitFor([&] { return !IsIconic(main); }, kStartMs));

  // Shutdown: the consoles fetch their quit commands, their devices go, the
  // Settings page goes while the main window stays, then the main window.
  // A second close request on the way changes nothing.
  PostMessageA(main, WM_CLOSE, 0, 0);
  PostMessageA(main, WM_CLOSE, 0, 0);
  bool settingsWentFirst = false;
  ASSERT_TRUE(probe::WaitFor(
      [&] {
        if (!IsWindow(main)) return true;
        if (probe::DevicePages(main).empty() && !PageOfKind(main, probe::PageKind::Settings))
          settingsWentFirst = true;
        return false;
      },
      kShutdownMs));
  EXPECT_TRUE(settingsWentFirst);
  EXPECT_EQ(0, program.ExitCode(kStartMs));
  EXPECT_EQ(2, program.Count("quit received")) << program.ErrorText();
  EXPECT_TRUE(Exists(program.Ini()));
}

TEST(ProgramTest, AConsoleThatNeverPollsIsClosedByForceWithTheWindow) {
  Program program({"TAVDESK_SIM_DEMO=1", "TAVDESK_SIM_DEMO_POLL=0"});
  ASSERT_TRUE(program.ok());
  HWND main = program.Main();
  ASSERT_TRUE(main);
  ASSERT_TRUE(probe::WaitFor([&] { return program.Count("it does not poll") == 1; }, kStartMs));
  HWND device = probe::DevicePages(main).front();
  PostMessageA(main, WM_CLOSE, 0, 0);
  // The quit command is queued but never fetched, so no polite tick can close
  // the device; the program still ends, on the tenth tick.
  EXPECT_TRUE(probe::WaitFor([&] { return LogHas(device, "Send quit command."); }, kStartMs));
  EXPECT_TRUE(probe::WaitFor([&] { return !IsWindow(main); }, kShutdownMs));
  EXPECT_EQ(0, program.ExitCode(kStartMs));
  EXPECT_EQ(0, program.Count("quit received"));
  EXPECT_TRUE(Exists(program.Ini()));
}

}  // namespace
