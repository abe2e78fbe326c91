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

// A record with every byte set, padding included; sharedFolder terminated.
SettingsRecord Pattern() {
  SettingsRecord record;
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  record.sharedFolder[kPathChars - 1] = 0;
  return record;
}

bool Same(const SettingsRecord& a, const SettingsRecord& b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
    snprintf(folder_, sizeof folder_, "%stavdesk-settings-%lu", temp, GetCurrentProcessId());
    CreateDirectoryA(folder_, nullptr);
    snprintf(IniPath, kPathChars, "%s\\Tavdesk.ini", folder_);
    DeleteFileA(IniPath);
  }
  void TearDown() override {
    DeleteFileA(IniPath);
    RemoveDirectoryA(folder_);
  }

  void WriteValue(const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Tavdesk", "settings", value.c_str(), IniPath));
  }
  std::string ReadValue() {
    char value[2000] = {};
    GetPrivateProfileStringA("Tavdesk", "settings", "", value, sizeof value, IniPath);
    return value;
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
};

TEST_F(SettingsTest, FirstStartGivesDefaultsAndStoreWritesAll620Bytes) {
  memset(&Settings, 0xEE, sizeof Settings);
  EXPECT_FALSE(LoadSettings());
  EXPECT_TRUE(Same(Defaults(), Settings));

  StoreSettings();
  std::string value = ReadValue();
  EXPECT_EQ(1242u, value.size());
  EXPECT_EQ(Hex(&Settings, sizeof Settings), value);

  FILE* file = fopen(IniPath, "rb");
  ASSERT_TRUE(file);
  char text[4096] = {};
  fread(text, 1, sizeof text - 1, file);
  fclose(file);
  EXPECT_NE(nullptr, strstr(text, "[Tavdesk]"));
  EXPECT_NE(nullptr, strstr(text, ("settings=" + value).c_str()));
}

TEST_F(SettingsTest, RoundTripKeepsEveryByte) {
  const SettingsRecord stored = Pattern();
  Settings = stored;
  StoreSettings();
  memset(&Settings, 0, sizeof Settings);
  EXPECT_TRUE(LoadSettings());
  EXPECT_TRUE(Same(stored, Settings));
}

TEST_F(SettingsTest, DamagedValuesGiveTheDefaults) {
  std::string good = Hex(&Settings, sizeof Settings);
  unsigned char short616[616];
  memset(short616, 0x41, sizeof short616);
  std::string badSum = good;
  badSum.back() = badSum.back() == '0' ? '1' : '0';
  struct Row {
    const char* what;
    std::string value;
  } rows[] = {
      {"616 bytes", Hex(short616, sizeof short616)},
      {"621 bytes", good.substr(0, good.size() - 2) + "00" + good.substr(good.size() - 2)},
      {"bad checksum", badSum},
      {"truncated line", good.substr(0, 700)},
      {"garbage", "this is not a settings value at all"},
      {"empty", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WriteValue(row.value);
    Settings = Pattern();
    EXPECT_FALSE(LoadSettings());
    EXPECT_TRUE(Same(Defaults(), Settings));
  }
}

TEST_F(SettingsTest, StoredValuesAreTakenUncheckedButTheFolderIsTerminated) {
  SettingsRecord stored = Defaults();
  memcpy(stored.signature, "Xyz!", 4);
  stored.priority = 3;
  stored.denyAll = 2;
  stored.readOnly = 2;
  memset(stored.sharedFolder, 'a', kPathChars);
  WriteValue(Hex(&stored, sizeof stored));

  EXPECT_TRUE(LoadSettings());
  stored.sharedFolder[kPathChars - 1] = 0;
  EXPECT_TRUE(Same(stored, Settings));
  EXPECT_EQ(kPathChars - 1, strlen(Settings.sharedFolder));
}

TEST(SettingsPathTest, IniPathFollowsTheLastDotOfTheWholePath) {
  struct Row {
    const char* program;
    const char* ini;  // none: does not fit
  } rows[] = {
      {"C:\\Tools\\Tavdesk.exe", "C:\\Tools\\Tavdesk.ini"},
      {"C:\\Tools\\Tavdesk", "C:\\Tools\\Tavdesk.ini"},
      {"C:\\my.tools\\Tavdesk", "C:\\my.ini"},
      {"a.b.exe", "a.b.ini"},
      {"", ".ini"},
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

TEST(SettingsPathTest, InitSettingsUsesTheProgramsPathAndFolder) {
  char program[kPathChars] = {};
  ASSERT_NE(0u, GetModuleFileNameA(nullptr, program, kPathChars));
  InitSettings();
  std::string expected = program;
  expected = expected.substr(0, expected.rfind('.')) + ".ini";
  EXPECT_EQ(expected, IniPath);
  if (GetFileAttributesA(IniPath) == INVALID_FILE_ATTRIBUTES) {
    std::string folder = program;
    EXPECT_EQ(folder.substr(0, folder.rfind('\\')), Settings.sharedFolder);
  }

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
  char whole[kPathChars] = "stale";
  CopySharedFolder(whole, sizeof whole);
  EXPECT_STREQ("", whole);
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
