// DLLs planted in the program's folder, the console's default shared folder:
// Tavdesk.exe and TavdeskSim.exe, each copied into a folder that also holds
// a riched32.dll and a winmm.dll that leave a marker file when loaded, start
// and show their main window without loading either. TavdeskSim's demo cable
// is found at start-up, so its sound has been played (winmm) by then.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/program_probe.h"

namespace {

constexpr int kStartMs = 30000;
// Planted as NAME.dll; each leaves NAME.dll.loaded when it runs.
const char* const kPlanted[] = {"riched32", "winmm"};

// Wine quirk: by default Wine prefers its own built-in DLL to a DLL of the
// same name in the program's folder, so nothing planted would ever load,
// whatever the program does. "native,builtin" for the program (Wine's
// per-program overrides in the registry; the WINEDLLOVERRIDES variable
// would not reach a process this test starts) makes Wine search as Windows
// does: the program's folder before the system folder, unless the program
// says otherwise. Windows ignores the key.
struct WindowsSearchOrder {
  explicit WindowsSearchOrder(const std::string& exe)
      : app("Software\\Wine\\AppDefaults\\" + exe), overrides(app + "\\DllOverrides") {
    static const char kNativeFirst[] = "native,builtin";
    HKEY key;
    ok = RegCreateKeyExA(HKEY_CURRENT_USER, overrides.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                         nullptr, &key, nullptr) == ERROR_SUCCESS;
    for (const char* dll : kPlanted)
      ok = ok && RegSetValueExA(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                                sizeof kNativeFirst) == ERROR_SUCCESS;
    if (ok) RegCloseKey(key);
  }
  ~WindowsSearchOrder() {
    RegDeleteKeyA(HKEY_CURRENT_USER, overrides.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, app.c_str());
  }
  std::string app, overrides;
  bool ok = false;
};

std::string Here() {
  char path[MAX_PATH];
  const std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return exe.substr(0, exe.rfind('\\'));
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A folder holding a copy of the program and the planted DLLs; removed with
// its files, the program killed if it still runs.
class PlantedFolder {
 public:
  explicit PlantedFolder(const std::string& exe) : exe_(exe) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "tavdesk-planted-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder_.c_str(), nullptr);
    ok_ = CopyFileA((Here() + "\\" + exe).c_str(), Path(exe).c_str(), FALSE) != FALSE;
    for (const char* dll : kPlanted)
      ok_ = ok_ && CopyFileA((Here() + "\\planted_dll.dll").c_str(), Marker(dll, ".dll").c_str(), FALSE);
  }
  ~PlantedFolder() {
    if (started_.ok) {
      TerminateProcess(started_.info.hProcess, 99);
      WaitForSingleObject(started_.info.hProcess, 5000);
      CloseHandle(started_.info.hProcess);
      CloseHandle(started_.info.hThread);
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do DeleteFileA(Path(found.cFileName).c_str());
      while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(folder_.c_str());
  }

  bool ok() const { return ok_; }
  std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
  std::string Marker(const char* dll, const char* suffix = ".dll.loaded") const {
    return Path(std::string(dll) + suffix);
  }
  bool AnyMarker() const { return Exists(Marker(kPlanted[0])) || Exists(Marker(kPlanted[1])); }

  // Starts the program and waits until its main window shows, it ends, or
  // a planted DLL ran; true when the main window showed.
  bool StartAndWait() {
    started_ = probe::Start(Path(exe_), {"TAVDESK_SIM_DEMO=1"}, "");
    if (!started_.ok) return false;
    HWND main = nullptr;
    probe::WaitFor(
        [&] {
          main = probe::MainWindowOf(started_.info.dwProcessId);
          return main || AnyMarker() ||
                 WaitForSingleObject(started_.info.hProcess, 0) == WAIT_OBJECT_0;
        },
        kStartMs);
    return main != nullptr;
  }

 private:
  std::string exe_;
  std::string folder_;
  bool ok_ = false;
  probe::Started started_;
};

TEST(DllSearchTest, PlantedDllsInTheProgramsFolderAreNotLoaded) {
  for (const char* exe : {"Tavdesk.exe", "TavdeskSim.exe"}) {
    SCOPED_TRACE(exe);
    WindowsSearchOrder searchOrder(exe);
    ASSERT_TRUE(searchOrder.ok);
    PlantedFolder folder(exe);
    ASSERT_TRUE(folder.ok());
    EXPECT_TRUE(folder.StartAndWait());
    for (const char* dll : kPlanted)
      EXPECT_FALSE(Exists(folder.Marker(dll))) << dll << ".dll was loaded";
  }
}

}  // namespace
