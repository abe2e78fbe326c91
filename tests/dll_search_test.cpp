// DLLs planted in the program's folder, the console's default shared folder:
// Tavdesk.exe and TavdeskSim.exe, each copied into a folder that also holds
// a riched32.dll and a winmm.dll that leave a marker file when loaded, start
// and show their main window without loading either. TavdeskSim's demo cable
// is found at start-up, so its sound has been played (winmm) by then.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/program_probe.h"

namespace {

namespace fs = std::filesystem;

// Wine quirk: by default Wine prefers its own built-in DLL to a DLL of the
// same name in the program's folder, so nothing planted would ever load,
// whatever the program does. "native,builtin" for the program (Wine's
// per-program overrides in the registry; the WINEDLLOVERRIDES variable
// would not reach a process this test starts) makes Wine search as Windows
// does: the program's folder before the system folder, unless the program
// says otherwise. Windows ignores the key.
TEST(DllSearchTest, PlantedDllsInTheProgramsFolderAreNotLoaded) {
  // Planted as NAME.dll; each leaves NAME.dll.loaded when it runs.
  const char* const planted[] = {"riched32", "winmm"};
  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const fs::path here = fs::path(self).parent_path();
  const fs::path folder =
      fs::temp_directory_path() / ("tavdesk-planted-" + std::to_string(GetCurrentProcessId()));
  const auto loaded = [&](std::string dll) { return fs::exists(folder / (dll + ".dll.loaded")); };
  for (const std::string exe : {"Tavdesk.exe", "TavdeskSim.exe"}) {
    SCOPED_TRACE(exe);
    const std::string app = "Software\\Wine\\AppDefaults\\" + exe, dlls = app + "\\DllOverrides";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, dlls.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    for (const char* dll : planted)
      RegSetValueExA(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>("native,builtin"), 15);
    RegCloseKey(key);
    fs::create_directory(folder);
    const auto replace = fs::copy_options::overwrite_existing;
    fs::copy_file(here / exe, folder / exe, replace);
    for (const char* dll : planted)
      fs::copy_file(here / "planted_dll.dll", folder / (dll + std::string(".dll")), replace);
    const auto started = probe::Start((folder / exe).string(), {"TAVDESK_SIM_DEMO=1"}, "");
    // Until the main window shows, the program ends, or a planted DLL ran.
    HWND main = nullptr;
    probe::WaitFor(
        [&] {
          main = probe::MainWindowOf(started.info.dwProcessId);
          return main || loaded(planted[0]) || loaded(planted[1]) ||
                 WaitForSingleObject(started.info.hProcess, 0) == WAIT_OBJECT_0;
        },
        30000);
    EXPECT_TRUE(started.ok && main);
    for (const char* dll : planted) EXPECT_FALSE(loaded(dll)) << dll << ".dll was loaded";
    TerminateProcess(started.info.hProcess, 99);
    WaitForSingleObject(started.info.hProcess, 5000);
    CloseHandle(started.info.hProcess);
    CloseHandle(started.info.hThread);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    RegDeleteKeyA(HKEY_CURRENT_USER, dlls.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, app.c_str());
  }
}

}  // namespace
