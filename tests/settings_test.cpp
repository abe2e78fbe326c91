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
  for (size_t i = 0; i < size; ++i) {
    unsigned byte = static_cast<const unsigned char*>(bytes)[i];
    snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
    sum += byte;
  }
  snprintf(digits, sizeof digits, "%02X", sum & 0xFF);
  return text + digits;
}

bool Same(const SettingsRecord& a, const SettingsRecord& b) { return !memcmp(&a, &b, sizeof a); }

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    snprintf(folder_, sizeof folder_, "%stavdesk-settings-%lu", temp, GetCurrentProcessId());
    CreateDirectoryA(folder_, nullptr);
    snprintf(IniPath, kPathChars, "%s\\Tavdesk.ini", folder_);
    DeleteFileA(IniPath);
    // Every byte set, padding included; sharedFolder terminated.
    auto* bytes = reinterpret_cast<unsigned char*>(&pattern_);
    for (size_t i = 0; i < sizeof pattern_; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    pattern_.sharedFolder[kPathChars - 1] = 0;
  }
  void TearDown() override {
    DeleteFileA(IniPath);
    RemoveDirectoryA(folder_);
  }

  void WriteValue(const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Tavdesk", "settings", value.c_str(), IniPath));
  }
  // The defaults, spelled out field by field.
  SettingsRecord Defaults() {
    SettingsRecord record = {};
    record.shareExecFolder = 1;
    snprintf(record.sharedFolder, kPathChars, "%s", folder_);
    record.priority = 1;
    record.colours[1] = 0x0000FF;
    record.colours[2] = 0xA00000;
    memcpy(record.signature, "Mosk", 4);
    return record;
  }

  char folder_[MAX_PATH];
  SettingsRecord pattern_;
};

TEST_F(SettingsTest, FirstStartGivesDefaultsAndStoreWritesAll620BytesThatLoadBackWhole) {
  memset(&Settings, 0xEE, sizeof Settings);
  EXPECT_FALSE(LoadSettings());
  EXPECT_TRUE(Same(Defaults(), Settings));
  StoreSettings();
  char value[2000] = {};
  GetPrivateProfileStringA("Tavdesk", "settings", "", value, sizeof value, IniPath);
  EXPECT_EQ(Hex(&Settings, sizeof Settings), value);

  Settings = pattern_;
  StoreSettings();
  memset(&Settings, 0, sizeof Settings);
  EXPECT_TRUE(LoadSettings());
  EXPECT_TRUE(Same(pattern_, Settings));
}

TEST_F(SettingsTest, DamagedValuesGiveTheDefaults) {
  std::string badSum = Hex(&pattern_, sizeof pattern_);
  badSum.back() = badSum.back() == '0' ? '1' : '0';
  const std::string rows[] = {Hex(&pattern_, 616), badSum, "not a settings value"};
  for (const std::string& row : rows) {
    WriteValue(row);
    Settings = pattern_;
    EXPECT_FALSE(LoadSettings()) << row.size();
    EXPECT_TRUE(Same(Defaults(), Settings)) << row.size();
  }
}

TEST_F(SettingsTest, StoredValuesAreTakenUncheckedButTheFolderIsTerminated) {
  SettingsRecord stored = Defaults();
  memcpy(stored.signature, "Xyz!", 4);
  stored.priority = 3;
  stored.denyAll = 2;
  memset(stored.sharedFolder, 'a', kPathChars);
  WriteValue(Hex(&stored, sizeof stored));
  EXPECT_TRUE(LoadSettings());
  stored.sharedFolder[kPathChars - 1] = 0;
  EXPECT_TRUE(Same(stored, Settings));
}

TEST(SettingsPathTest, IniPathFollowsTheLastDotOfTheWholePath) {
  struct Row {
    const char* program;
    const char* ini;
  } rows[] = {
      {"C:\\Tools\\Tavdesk.exe", "C:\\Tools\\Tavdesk.ini"}, {"C:\\Tools\\Tavdesk", "C:\\Tools\\Tavdesk.ini"},
      {"C:\\my.tools\\Tavdesk", "C:\\my.ini"},              {"a.b.exe", "a.b.ini"},
  };
  for (const Row& row : rows) {
    char ini[kPathChars] = "stale";
    EXPECT_TRUE(IniPathFromProgram(row.program, ini, sizeof ini)) << row.program;
    EXPECT_STREQ(row.ini, ini) << row.program;
  }
  std::string longest(kPathChars - 5, 'p');
  char ini[kPathChars];
  EXPECT_TRUE(IniPathFromProgram(longest.c_str(), ini, sizeof ini));
  EXPECT_EQ(kPathChars - 1, strlen(ini));
  longest += 'p';
  EXPECT_FALSE(IniPathFromProgram(longest.c_str(), ini, sizeof ini));
  EXPECT_STREQ("", ini);
}

TEST(SettingsPathTest, InitSettingsWithoutAnIniTakesTheProgramsFolder) {
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
    if (copy != first && copy != second) ++mixed;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(0, mixed);
}

}  // namespace
