// DLLs planted in the program's folder, the console's default shared folder:
// Tavdesk.exe and TavdeskSim.exe, each copied into a folder that also holds
// a riched32.dll and a winmm.dll that leave a marker file when loaded, start
// and show their main window without loading either. TavdeskSim's demo cable
// is found at start-up, so its sound has been played (winmm) by then.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/program_probe.h"

namespace {

namespace fs = std::filesystem;

// Planted as NAME.dll; each leaves NAME.dll.loaded when it runs.
const char* const kPlanted[] = {"riched32", "winmm"};

// A folder holding a copy of the program and the planted DLLs, removed with
// its files, the program killed if it still runs.
//
// Wine quirk: by default Wine prefers its own built-in DLL to a DLL of the
// same name in the program's folder, so nothing planted would ever load,
// whatever the program does. "native,builtin" for the program (Wine's
// per-program overrides in the registry; the WINEDLLOVERRIDES variable
// would not reach a process this test starts) makes Wine search as Windows
// does: the program's folder before the system folder, unless the program
// says otherwise. Windows ignores the key.
class PlantedFolder {
 public:
  explicit PlantedFolder(const std::string& exe)
      : app_("Software\\Wine\\AppDefaults\\" + exe), overrides_(app_ + "\\DllOverrides") {
    static const char kNativeFirst[] = "native,builtin";
    HKEY key;
    ok_ = RegCreateKeyExA(HKEY_CURRENT_USER, overrides_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &key, nullptr) == ERROR_SUCCESS;
    for (const char* dll : kPlanted)
      ok_ = ok_ && RegSetValueExA(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                                  sizeof kNativeFirst) == ERROR_SUCCESS;
    if (ok_) RegCloseKey(key);
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const fs::path here = fs::path(self).parent_path();
    folder_ = fs::temp_directory_path() /
              ("tavdesk-planted-" + std::to_string(GetCurrentProcessId()));
    const auto replace = fs::copy_options::overwrite_existing;
    std::error_code error;
    fs::create_directory(folder_, error);
    ok_ = ok_ && fs::copy_file(here / exe, folder_ / exe, replace, error);
    for (const char* dll : kPlanted)
      ok_ = ok_ && fs::copy_file(here / "planted_dll.dll", folder_ / (dll + std::string(".dll")),
                                 replace, error);
    if (ok_) started_ = probe::Start((folder_ / exe).string(), {"TAVDESK_SIM_DEMO=1"}, "");
  }
  ~PlantedFolder() {
    if (started_.ok) {
      TerminateProcess(started_.info.hProcess, 99);
      WaitForSingleObject(started_.info.hProcess, 5000);
      CloseHandle(started_.info.hProcess);
      CloseHandle(started_.info.hThread);
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    RegDeleteKeyA(HKEY_CURRENT_USER, overrides_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, app_.c_str());
  }

  bool Loaded(const char* dll) const {
    return fs::exists(folder_ / (dll + std::string(".dll.loaded")));
  }

  // Waits until the program's main window shows, it ends, or a planted DLL
  // ran; true when the main window showed.
  bool MainWindowShows() {
    HWND main = nullptr;
    probe::WaitFor(
        [&] {
          main = probe::MainWindowOf(started_.info.dwProcessId);
          return main || Loaded(kPlanted[0]) || Loaded(kPlanted[1]) ||
                 WaitForSingleObject(started_.info.hProcess, 0) == WAIT_OBJECT_0;
        },
        30000);
    return main != nullptr;
  }

  std::string app_, overrides_;
  fs::path folder_;
  bool ok_ = false;
  probe::Started started_;
};

TEST(DllSearchTest, PlantedDllsInTheProgramsFolderAreNotLoaded) {
  for (const char* exe : {"Tavdesk.exe", "TavdeskSim.exe"}) {
    SCOPED_TRACE(exe);
    PlantedFolder folder(exe);
    ASSERT_TRUE(folder.ok_ && folder.started_.ok);
    EXPECT_TRUE(folder.MainWindowShows());
    for (const char* dll : kPlanted) EXPECT_FALSE(folder.Loaded(dll)) << dll << ".dll was loaded";
  }
}

}  // namespace
