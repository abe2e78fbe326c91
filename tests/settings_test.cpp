// The SettingsRecord's defaults and its INI persistence through the real
// private-profile calls, with the INI beside the test program as the program
// keeps its own.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/import_patch.h"

namespace {

// Loads over a record of 0xEE bytes; true when it gives `expected`.
bool Loads(const SettingsRecord& expected, bool whole) {
  memset(&Settings, 0xEE, sizeof Settings);
  return LoadSettings() == whole && !memcmp(&expected, &Settings, sizeof Settings);
}

TEST(SettingsTest, FirstStartGivesDefaultsAndOnlyAWholeValueLoadsUncheckedButTerminated) {
  char program[kPathChars] = {};
  ASSERT_NE(0u, GetModuleFileNameA(nullptr, program, kPathChars));
  const std::string path = program, ini = path.substr(0, path.rfind('.')) + ".ini";
  DeleteFileA(ini.c_str());
  // The defaults field by field, the folder the program's.
  SettingsRecord defaults = {0, 0, 1, {}, 1, {}, 0, {0, 0x0000FF, 0xA00000}, {}, {'M', 'o', 's', 'k'}};
  path.copy(defaults.sharedFolder, path.rfind('\\'));
  memset(&Settings, 0xEE, sizeof Settings);
  InitSettings();
  EXPECT_EQ(ini, IniPath);
  EXPECT_TRUE(!memcmp(&defaults, &Settings, sizeof Settings));

  // Every byte set, padding included, the folder not terminated: what is
  // stored loads back whole, but for the folder's last byte.
  SettingsRecord odd, loaded;
  for (size_t i = 0; i < sizeof odd; ++i) reinterpret_cast<unsigned char*>(&odd)[i] = uint8_t(i * 7 + 3);
  memset(odd.sharedFolder, 'a', kPathChars);
  (loaded = odd).sharedFolder[kPathChars - 1] = 0;
  Settings = odd;
  StoreSettings();
  EXPECT_TRUE(Loads(loaded, true));
  char badSum[2000] = {};  // what was stored, but for its checksum's last digit
  GetPrivateProfileStringA("Tavdesk", "settings", "", badSum, sizeof badSum, IniPath);
  char& digit = badSum[strlen(badSum) - 1];
  digit = digit == '0' ? '1' : '0';
  ASSERT_TRUE(WritePrivateProfileStructA("Tavdesk", "settings", &odd, sizeof odd - 4, IniPath));
  EXPECT_TRUE(Loads(defaults, false)) << "a short value, its checksum right";
  for (const char* value : {static_cast<const char*>(badSum), "not a settings value"}) {
    ASSERT_TRUE(WritePrivateProfileStringA("Tavdesk", "settings", value, IniPath));
    EXPECT_TRUE(Loads(defaults, false)) << value;
  }
  DeleteFileA(IniPath);
  IniPath[0] = 0;  // no INI path: the defaults, with no folder
  memset(defaults.sharedFolder, 0, kPathChars);
  EXPECT_TRUE(Loads(defaults, false));
}

TEST(SettingsTest, IniPathFollowsTheLastDotOfTheWholePath) {
  const struct { std::string program; const char* ini; /* none: refused */ } rows[] = {
      {"C:\\Tools\\Tavdesk.exe", "C:\\Tools\\Tavdesk.ini"}, {"C:\\Tools\\Tavdesk", "C:\\Tools\\Tavdesk.ini"},
      {"C:\\my.tools\\Tavdesk", "C:\\my.ini"}, {"a.b.exe", "a.b.ini"}, {std::string(kPathChars - 4, 'p'), ""},
      {std::string(kPathChars - 5, 'p'), nullptr},  // the longest that fits
  };
  for (const auto& row : rows) {
    char ini[kPathChars] = "stale";
    const std::string expected = row.ini ? row.ini : row.program + ".ini";
    EXPECT_EQ(!row.ini || *row.ini, IniPathFromProgram(row.program.c_str(), ini, sizeof ini)) << row.program;
    EXPECT_EQ(expected, ini) << row.program;
  }
}

// The folder's lock, seen through EnterCriticalSection's import slot: the
// writer stops once it holds a lock, then a copy starts; the copy must wait
// and return the folder written. Each waits on an event, never on time.
using EnterProc = void(WINAPI*)(LPCRITICAL_SECTION);
extern "C" EnterProc __imp_EnterCriticalSection;
EnterProc realEnter;
std::atomic<DWORD> writer{0}, reader{0};
std::atomic<bool> held{false};
HANDLE holding, asking, go;

void WINAPI SpyEnter(LPCRITICAL_SECTION section) {
  if (reader == GetCurrentThreadId()) SetEvent(asking);
  realEnter(section);
  if (writer != GetCurrentThreadId() || held.exchange(true)) return;
  SetEvent(holding);
  WaitForSingleObject(go, 10000);
}

// Copies are cut to the caller's size, writes to the record's; a copy never
// sees a folder half written.
TEST(SharedFolderTest, CopiesAreCutAndWaitForAWriteUnderWay) {
  SetSharedFolder(std::string(600, 'w').c_str());
  EXPECT_EQ(kPathChars - 1, strlen(Settings.sharedFolder));
  char copy[kPathChars];
  CopySharedFolder(copy, 8);
  EXPECT_STREQ("wwwwwww", copy);
  for (HANDLE* event : {&holding, &asking, &go}) *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PatchImport(&__imp_EnterCriticalSection, SpyEnter, &realEnter);
  std::thread write([] { writer = GetCurrentThreadId(), SetSharedFolder("C:\\new"), SetEvent(holding); });
  WaitForSingleObject(holding, 10000);
  EXPECT_TRUE(held) << "the write took no lock";
  std::thread read([&] { reader = GetCurrentThreadId(), CopySharedFolder(copy, sizeof copy), SetEvent(asking); });
  WaitForSingleObject(asking, 10000);
  SetEvent(go);
  write.join(), read.join();
  PatchImport(&__imp_EnterCriticalSection, realEnter);
  EXPECT_STREQ("C:\\new", copy);
}

}  // namespace
