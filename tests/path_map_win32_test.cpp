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
    const AnsiCodePage expected = KnownCodePage(page), got = AnsiCodePageRules(page);
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
      {"C:\\share", "c:\\SHARE\\dir\\x", true}, {"C:\\share\\", "C:\\share\\a\\..\\b", true},
      {"C:\\share", "C:\\share", true},         {"C:\\share", "C:\\share2\\x", false},
      {"C:\\share", "C:\\share\\..\\x", false}, {"C:\\share", "C:\\shar", false},
      {"C:\\", "C:\\x", true},                  {"C:\\", "D:\\x", false},
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

// Run by the ctest entry that starts Wine in a ja_JP locale. The console-path
// rules on these names are path_map_test's; here the process's own code page
// and the full-path check meet them in a real open request.
TEST(CodePage932Test, EscapesAreRefusedByEitherCheckAndDoubleByteNamesOpenInside) {
  ASSERT_EQ(932u, GetACP()) << "this suite needs the ANSI code page 932";
  SettingsScope settings;
  TempFolder outer;
  const std::string base = outer.File("base");
  ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((base + "\\\x95\x5C").c_str(), nullptr));
  Settings.shareExecFolder = 0;
  SetSharedFolder(base.c_str());
  ConsoleLink link;
  ASSERT_TRUE(link.ok());
  const AnsiCodePage& page = ProcessAnsiCodePage();
  EXPECT_EQ(KnownCodePage(932).leadBytes, page.leadBytes);
  const std::pair<std::string, const char*> rows[] = {  // local path under the base; none: refused
      {"\x81\x5Cx/../../secret.txt", nullptr},
      {"\x81\x5Cx\\..\\..\\secret.txt", nullptr},
      {"sub/\x83\x5Cx/../../../secret.txt", nullptr},
      {"/\x95\x5C.txt", "\x95\x5C.txt"},
      {"/\x95\x5C/a.txt", "\x95\x5C\\a.txt"},
      {"/COM\xB9.txt", "COM\xB9.txt"},  // a katakana, no superscript
  };
  for (auto& [console, local] : rows) {
    SCOPED_TRACE(console);
    const int32_t h = link.Serve(link.console().Open(0x202, console)).result;
    auto log = link.TakeLog();
    ASSERT_EQ(local ? 6u : 4u, log.size());
    if (local) {
      EXPECT_EQ(base + "\\" + local, log[4].text);
      EXPECT_EQ(0, link.Serve(link.console().Close(h)).result);
      EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((base + "\\" + local).c_str()));
    } else {
      EXPECT_EQ(-1, h);
      EXPECT_EQ("File access denied.\r\n", log[3].text);
      EXPECT_FALSE(FullPathStaysInside(base, JoinConsolePath(base, console.c_str(), page)));
    }
  }
  EXPECT_FALSE(outer.Exists("secret.txt"));
}

}  // namespace
