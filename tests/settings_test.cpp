// The SettingsRecord's defaults and its INI persistence through the real
// private-profile calls, in a folder of its own under the temporary folder.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The platform's encoding of a struct: hex bytes, then their sum mod 256.
std::string Hex(const void* bytes, size_t size) {
  std::string text;
  char digits[3];
  unsigned sum = 0;
  for (size_t i = 0; i < size; sum += static_cast<const unsigned char*>(bytes)[i++]) {
    snprintf(digits, sizeof digits, "%02X", static_cast<const unsigned char*>(bytes)[i]);
    text += digits;
  }
  snprintf(digits, sizeof digits, "%02X", sum & 0xFF);
  return text + digits;
}

bool Same(const SettingsRecord& a, const SettingsRecord& b) { return !memcmp(&a, &b, sizeof a); }

TEST(SettingsTest, FirstStartGivesDefaultsAndOnlyAWholeValueLoadsUncheckedButTerminated) {
  char folder[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(MAX_PATH, folder));
  snprintf(folder + strlen(folder), 40, "tavdesk-settings-%lu", GetCurrentProcessId());
  CreateDirectoryA(folder, nullptr);
  snprintf(IniPath, kPathChars, "%s\\Tavdesk.ini", folder);
  DeleteFileA(IniPath);
  SettingsRecord defaults = {};  // spelled out field by field
  defaults.shareExecFolder = 1;
  snprintf(defaults.sharedFolder, kPathChars, "%s", folder);
  defaults.priority = 1;
  defaults.colours[1] = 0x0000FF;
  defaults.colours[2] = 0xA00000;
  memcpy(defaults.signature, "Mosk", 4);

  memset(&Settings, 0xEE, sizeof Settings);
  EXPECT_FALSE(LoadSettings());
  EXPECT_TRUE(Same(defaults, Settings));
  StoreSettings();
  char value[2000] = {};
  GetPrivateProfileStringA("Tavdesk", "settings", "", value, sizeof value, IniPath);
  EXPECT_EQ(Hex(&Settings, sizeof Settings), value) << "all 620 bytes";

  // Every byte set, padding included, the folder not terminated.
  SettingsRecord odd, loaded;
  for (size_t i = 0; i < sizeof odd; ++i) reinterpret_cast<unsigned char*>(&odd)[i] = uint8_t(i * 7 + 3);
  memset(odd.sharedFolder, 'a', kPathChars);
  (loaded = odd).sharedFolder[kPathChars - 1] = 0;
  std::string badSum = Hex(&odd, sizeof odd);
  badSum.back() = badSum.back() == '0' ? '1' : '0';
  const struct {
    std::string value;
    const SettingsRecord& result;
  } rows[] = {{Hex(&odd, sizeof odd), loaded}, {Hex(&odd, 616), defaults}, {badSum, defaults},
              {"not a settings value", defaults}};
  for (const auto& row : rows) {
    ASSERT_TRUE(WritePrivateProfileStringA("Tavdesk", "settings", row.value.c_str(), IniPath));
    memset(&Settings, 0xEE, sizeof Settings);
    EXPECT_EQ(&row.result == &loaded, LoadSettings()) << row.value.size();
    EXPECT_TRUE(Same(row.result, Settings)) << row.value.size();
  }
  Settings = loaded;  // and what is stored loads back whole
  StoreSettings();
  memset(&Settings, 0, sizeof Settings);
  EXPECT_TRUE(LoadSettings());
  EXPECT_TRUE(Same(loaded, Settings));
  DeleteFileA(IniPath);
  RemoveDirectoryA(folder);
}

TEST(SettingsTest, IniPathFollowsTheLastDotOfTheWholePath) {
  const struct {
    std::string program;
    const char* ini;  // none: refused
  } rows[] = {
      {"C:\\Tools\\Tavdesk.exe", "C:\\Tools\\Tavdesk.ini"}, {"C:\\Tools\\Tavdesk", "C:\\Tools\\Tavdesk.ini"},
      {"C:\\my.tools\\Tavdesk", "C:\\my.ini"},              {"a.b.exe", "a.b.ini"},
      {std::string(kPathChars - 5, 'p'), nullptr},  // the longest that fits
      {std::string(kPathChars - 4, 'p'), ""},
  };
  for (const auto& row : rows) {
    char ini[kPathChars] = "stale";
    const std::string expected = row.ini ? row.ini : row.program + ".ini";
    EXPECT_EQ(!row.ini || *row.ini, IniPathFromProgram(row.program.c_str(), ini, sizeof ini)) << row.program;
    EXPECT_EQ(expected, ini) << row.program;
  }
}

TEST(SettingsTest, InitSettingsWithoutAnIniTakesTheProgramsFolder) {
  char program[kPathChars] = {};
  ASSERT_NE(0u, GetModuleFileNameA(nullptr, program, kPathChars));
  std::string path = program;
  const std::string ini = path.substr(0, path.rfind('.')) + ".ini";
  DeleteFileA(ini.c_str());
  InitSettings();
  EXPECT_EQ(ini, IniPath);
  EXPECT_EQ(path.substr(0, path.rfind('\\')), Settings.sharedFolder);
  IniPath[0] = 0;
  SetDefaultSettings();
  EXPECT_STREQ("", Settings.sharedFolder);
}

TEST(SharedFolderTest, CopiesAreTerminatedAndWritesAreCut) {
  SetSharedFolder(std::string(600, 'w').c_str());
  EXPECT_EQ(kPathChars - 1, strlen(Settings.sharedFolder));
  char small[8];
  CopySharedFolder(small, sizeof small);
  EXPECT_STREQ("wwwwwww", small);
  SetSharedFolder(nullptr);
  for (char c : Settings.sharedFolder) ASSERT_EQ(0, c);
}

// The settings page rewrites the folder while the worker copies it: every
// copy must be one of the two folders whole, never a mix.
TEST(SharedFolderTest, CopyNeverSeesAHalfWrittenFolder) {
  const std::string first(400, 'x'), second = "C:\\short";
  SetSharedFolder(first.c_str());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (long i = 0; !stop && i < 100000000; ++i) SetSharedFolder((i % 2 ? first : second).c_str());
  });
  char copy[kPathChars];
  int mixed = 0;
  for (int i = 0; i < 1000000; ++i) {
    CopySharedFolder(copy, sizeof copy);
    mixed += copy != first && copy != second;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(0, mixed);
}

}  // namespace
