// The Windows half of path confinement: the code page rules as Windows
// reports them, the full-path check, and (run a second time with the ANSI
// code page 932 in force) the real open request against double-byte escapes.
#include "session/path_map_win32.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/code_pages.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"
#include "ui/log_queue.h"

using namespace tavrin;

namespace {

// The tables the platform-free suite runs on are the ones Windows uses.
TEST(PathMapWin32Test, CodePageRulesAreWhatWindowsReports) {
  for (unsigned page : kTestedCodePages) {
    const AnsiCodePage expected = KnownCodePage(page);
    const AnsiCodePage got = AnsiCodePageRules(page);
    EXPECT_EQ(expected.leadBytes, got.leadBytes) << page;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(expected.superscripts[i], got.superscripts[i]) << page;
  }
}

TEST(PathMapWin32Test, FullPathCheckHoldsAtComponentBoundaries) {
  struct Row {
    const char* base;
    std::string local;
    bool inside;
  } rows[] = {
      {"C:\\share", "c:\\SHARE\\dir\\x", true},
      {"C:\\share\\", "C:\\share\\a\\..\\b", true},
      {"C:\\share", "C:\\share", true},
      {"C:\\share", "C:\\share2\\x", false},
      {"C:\\share", "C:\\share\\..\\x", false},
      {"C:\\share", "C:\\shar", false},
      {"C:\\", "C:\\x", true},
      {"C:\\", "D:\\x", false},
      {"", "x.bin", true},  // relative to the current folder
      {"", "..\\x.bin", false},
      // Wine, like Windows before 11, makes \\.\CON of a device name.
      {"C:\\share", "C:\\share\\CON", false},
      // Longer than the ANSI calls take: no full path, so no.
      {"C:\\share", "C:\\share\\" + std::string(300, 'a'), false},
  };
  for (auto& row : rows)
    EXPECT_EQ(row.inside, FullPathStaysInside(row.base, row.local)) << row.base << " | " << row.local;
}

// Run by the ctest entry that starts Wine in a ja_JP locale.
class CodePage932Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(932u, GetACP()) << "this suite needs the ANSI code page 932";
    base_ = outer_.File("base");
    ASSERT_TRUE(CreateDirectoryA(base_.c_str(), nullptr));
    Settings.shareExecFolder = 0;
    SetSharedFolder(base_.c_str());
    ASSERT_TRUE(link_.ok());
  }

  int32_t Open(uint32_t flags, const std::string& path) {
    return link_.Serve(link_.console().Open(flags, path)).result;
  }

  SettingsScope settings_;
  TempFolder outer_;
  std::string base_;
  ConsoleLink link_;
};

// The console-path rules on these escapes are path_map_test's; here the
// process's own code page and the full-path check meet them.
TEST_F(CodePage932Test, DoubleByteEscapesAreRefusedByEitherCheck) {
  const AnsiCodePage& page = ProcessAnsiCodePage();
  EXPECT_EQ(KnownCodePage(932).leadBytes, page.leadBytes);
  const std::string escapes[] = {
      "\x81\x5Cx/../../secret.txt",
      "\x81\x5Cx\\..\\..\\secret.txt",
      "sub/\x83\x5Cx/../../../secret.txt",
  };
  for (const std::string& path : escapes) {
    EXPECT_FALSE(FullPathStaysInside(base_, JoinConsolePath(base_, path.c_str(), page))) << path;
    EXPECT_EQ(-1, Open(0x202, path)) << path;
    auto log = link_.TakeLog();
    ASSERT_EQ(4u, log.size()) << path;
    EXPECT_EQ("File access denied.\r\n", log[3].text);
  }
  EXPECT_FALSE(outer_.Exists("secret.txt"));
}

TEST_F(CodePage932Test, DoubleByteAndKatakanaNamesOpenInside) {
  ASSERT_TRUE(CreateDirectoryA((base_ + "\\\x95\x5C").c_str(), nullptr));
  struct Row {
    const char* console;
    const char* local;  // under the base
  } rows[] = {
      {"/\x95\x5C.txt", "\x95\x5C.txt"},
      {"/\x95\x5C/a.txt", "\x95\x5C\\a.txt"},
      {"/COM\xB9.txt", "COM\xB9.txt"},
  };
  for (auto& row : rows) {
    const int32_t h = Open(0x202, row.console);
    EXPECT_GE(h, 3) << row.console;
    auto log = link_.TakeLog();
    ASSERT_EQ(6u, log.size()) << row.console;
    EXPECT_EQ(base_ + "\\" + row.local, log[4].text);
    if (h >= 3) {
      EXPECT_EQ(0, link_.Serve(link_.console().Close(h)).result);
    }
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((base_ + "\\" + row.local).c_str()))
        << row.console;
  }
}

}  // namespace
