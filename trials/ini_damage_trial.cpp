// Trial of damaged settings files, on the whole program: TavdeskSim.exe is
// copied into a folder of its own and started beside an INI file that is
// truncated, of the wrong size, has a bad checksum, holds garbage, is a
// folder, or is read-only. Each time the main window must show, the program
// must close normally, and a damaged record must have given the defaults
// (what the program stores on close equals what it stores with no INI).
// Prints one line per case; exit code 1 when any failed.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/settings.h"
#include "bench/program_folder.h"
#include "sim/program_probe.h"

namespace {

struct Run {
  bool shown = false;
  DWORD exitCode = 999;
  double shownMs = -1;
};

// Starts the program, waits for its window, closes it as a user would.
Run Start(const std::string& exe) {
  Run run;
  const ULONGLONG start = GetTickCount64();
  probe::Started started = probe::Start(exe, {"TAVDESK_SIM_DEMO=0"}, "");
  if (!started.ok) return run;
  HWND window = nullptr;
  run.shown = probe::WaitFor([&] { return (window = probe::MainWindowOf(started.info.dwProcessId)) != nullptr; },
                             20000);
  run.shownMs = double(GetTickCount64() - start);
  if (window) PostMessageA(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(started.info.hProcess, 15000) != WAIT_OBJECT_0)
    TerminateProcess(started.info.hProcess, 998);
  WaitForSingleObject(started.info.hProcess, 5000);
  GetExitCodeProcess(started.info.hProcess, &run.exitCode);
  CloseHandle(started.info.hProcess);
  CloseHandle(started.info.hThread);
  return run;
}

std::vector<char> ReadAll(const std::string& path) {
  std::vector<char> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

void WriteAll(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

// The record stored under the program's key, as the program would load it.
std::vector<char> StoredRecord(const std::string& ini) {
  std::vector<char> record(sizeof(SettingsRecord));
  if (!GetPrivateProfileStructA("Tavdesk", "settings", record.data(), sizeof(SettingsRecord),
                                ini.c_str()))
    record.clear();
  return record;
}

void RemoveIni(const std::string& ini) {
  SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(ini.c_str());
  RemoveDirectoryA(ini.c_str());
}

}  // namespace

int main() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string folder = std::string(temp) + "tavdesk-ini-trial";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string exe = folder + "\\TavdeskSim.exe", ini = folder + "\\TavdeskSim.ini";
  if (!CopyFileA(Beside("TavdeskSim.exe").c_str(), exe.c_str(), FALSE)) {
    std::printf("R7: TavdeskSim.exe could not be copied beside the trial\n");
    return 1;
  }
  // The defaults as the program stores them, from a start with no INI.
  RemoveIni(ini);
  const Run clean = Start(exe);
  const std::vector<char> defaults = StoredRecord(ini), defaultFile = ReadAll(ini);
  if (!clean.shown || clean.exitCode != 0 || defaults.empty()) {
    std::printf("R7: the program did not run cleanly without an INI file\n");
    return 1;
  }
  const std::string good(defaultFile.begin(), defaultFile.end());
  const size_t value = good.find("settings=") + 9;
  std::string badSum = good, wrongSize = good;
  const size_t sum = good.find_first_of("\r\n", value) - 1;
  badSum[sum] = badSum[sum] == '0' ? '1' : '0';
  wrongSize.erase(value, 8);  // four bytes fewer, checksum left as it was
  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage.push_back(static_cast<char>((i * 7919) >> 3));

  enum Check { Defaults, Unchanged, NoFile };
  struct Case {
    const char* what;
    std::string content;  // written as the INI file, unless a folder
    bool folder, readOnly;
    Check check;
  } cases[] = {
      {"truncated", good.substr(0, value + 300), false, false, Defaults},
      {"wrong size", wrongSize, false, false, Defaults},
      {"bad checksum", badSum, false, false, Defaults},
      {"garbage", garbage, false, false, Defaults},
      {"a folder", "", true, false, NoFile},
      {"read-only", badSum, false, true, Unchanged},
  };
  int failed = 0;
  for (const Case& c : cases) {
    RemoveIni(ini);
    if (c.folder)
      CreateDirectoryA(ini.c_str(), nullptr);
    else
      WriteAll(ini, c.content);
    if (c.readOnly) SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_READONLY);
    const Run run = Start(exe);
    const std::vector<char> after = ReadAll(ini);
    bool settingsOk = true;
    if (c.check == Defaults) settingsOk = StoredRecord(ini) == defaults;
    // Wine run as root writes a read-only file all the same (root ignores
    // the Unix permissions Wine maps the attribute to): then the store of
    // the defaults is what must be found.
    const bool writtenAnyway = std::string(after.begin(), after.end()) != c.content;
    if (c.check == Unchanged) settingsOk = !writtenAnyway || StoredRecord(ini) == defaults;
    if (c.check == NoFile) settingsOk = (GetFileAttributesA(ini.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool ok = run.shown && run.exitCode == 0 && settingsOk;
    failed += !ok;
    std::printf("R7 %-13s window shown %-3s in %5.0f ms, exit code %lu, %s: %s\n", c.what,
                run.shown ? "yes" : "NO", run.shownMs, run.exitCode,
                c.check == Defaults    ? "stored the defaults on close"
                : c.check == Unchanged ? (writtenAnyway ? "written all the same (Wine as root)"
                                                        : "file left as it was (store failed)")
                                       : "folder left in place (store failed)",
                ok ? "ok" : "FAILED");
  }
  RemoveIni(ini);
  DeleteFileA(exe.c_str());
  RemoveDirectoryA(folder.c_str());
  std::printf("R7 %d of %d cases passed\n", int(sizeof cases / sizeof cases[0]) - failed,
              int(sizeof cases / sizeof cases[0]));
  return failed ? 1 : 0;
}
