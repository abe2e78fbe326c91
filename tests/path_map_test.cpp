// Path mapping and the confinement check under the code pages Windows runs
// with: the single-byte 1252 and the double-byte 932, 936, 949 and 950, in
// which the second byte of a character can be 0x5C, the backslash.
#include "session/path_map.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/code_pages.h"

using namespace tavrin;

namespace {

TEST(PathMapTest, TextualMapping) {
  struct Row {
    unsigned page;
    std::string base;
    const char* console;
    std::string local;
  } rows[] = {
      {1252, "C:\\share", "/dir/a.bin", "C:\\share\\dir\\a.bin"},
      {1252, "C:\\share", "dir/a.bin", "C:\\share\\dir\\a.bin"},
      {1252, "C:\\", "/dir/a.bin", "C:\\dir\\a.bin"},
      {1252, "C:\\share", "//x", "C:\\share\\\\x"},
      {1252, "C:\\share", "\\a\\b", "C:\\share\\a\\b"},
      {1252, "", "/a.bin", "a.bin"},
      {1252, "C:\\share", "", "C:\\share\\"},
      // A base that ends with a kanji whose second byte is 0x5C still needs
      // its backslash; in 1252 those bytes do end with one.
      {932, "C:\\\x95\x5C", "x", "C:\\\x95\x5C\\x"},
      {1252, "C:\\\x95\x5C", "x", "C:\\\x95\x5Cx"},
      {932, "C:\\share", "/\x95\x5C/a.txt", "C:\\share\\\x95\x5C\\a.txt"},
      {950, "C:\\share", "\xA5\x5C/b", "C:\\share\\\xA5\x5C\\b"},
  };
  for (auto& row : rows)
    EXPECT_EQ(row.local, JoinConsolePath(row.base, row.console, KnownCodePage(row.page)))
        << row.page << ": " << row.base << " + " << row.console;
}

// Each row gives the verdict under 1252, 932, 936, 949 and 950, in that
// order: '+' stays inside, '-' refused. A leading 'E' judges the path for
// an empty base.
TEST(PathMapTest, PathsThatLeaveTheBaseAreRefusedInEveryCodePage) {
  std::string deep;  // eight kanji-x components that hide their separators, then 16 climbs
  for (int i = 0; i < 8; ++i) deep += "\x81\x5Cx/";
  for (int i = 0; i < 16; ++i) deep += "../";
  const std::pair<std::string, std::string> rows[] = {
      // Allowed today, and in every code page.
      {"/dir/a.bin", "+++++"}, {"a/../b", "+++++"}, {"a/./b", "+++++"},
      {"//x", "+++++"}, {"con_log.txt", "+++++"}, {"COM10.txt", "+++++"},
      {"..a.txt", "+++++"}, {"com0", "+++++"}, {"nullify", "+++++"},
      // Climbs, streams, devices, dots and spaces: refused everywhere.
      {"/..", "-----"}, {"a/../../x", "-----"}, {"..\\x", "-----"},
      {"/C:/Windows/win.ini", "-----"}, {"a.txt:stream", "-----"},
      {"dir/Nul.txt", "-----"}, {"aux.tar.gz", "-----"}, {"LPT9.log", "-----"},
      {"con .txt", "-----"}, {"conin$", "-----"}, {"/...", "-----"}, {"a/. ./b", "-----"},
      // The escapes: where 0x5C is a second byte, the kanji and x are one
      // component, so the `..`s climb one level higher than bytes suggest.
      {"\x81\x5Cx/../../secret.txt", "+----"},
      {"\x81\x5Cx\\..\\..\\secret.txt", "+----"},
      {"sub/\x83\x5Cx/../../../secret.txt", "+----"},
      {deep + "windows/win.ini", "+----"},
      {"\x81\x5Cx/../inside.txt", "+++++"},
      // And the reverse: names whose second byte is 0x5C are names.
      {"\x95\x5C.txt", "+++++"}, {"\x95\x5C/a.txt", "+++++"},
      {"\x95\x5C../../x", "-++++"},
      // COM and a superscript 1 is a device only where the code page has
      // that digit: 0xB9 in 1252, 0xA9 0xF6 in 949. 0xB9 and 0xB3 are
      // half-width katakana in 932; elsewhere they lead, here with no second
      // byte, as 0xF6 does in 932.
      {"COM\xB9", "-+---"}, {"lpt\xB3.txt", "-+---"}, {"COM\xA9\xF6", "+-+-+"},
      // A lead byte without a proper second byte.
      {"a\x81", "+----"}, {"\x81/../x", "+----"},
      // With an empty base, nothing that roots the path.
      {"/a.bin", "E+++++"}, {"a/b", "E+++++"}, {"//server/share/x", "E-----"},
      {"/\\x", "E-----"}, {"\\\\?\\C:\\x", "E-----"}, {"C:x", "E-----"},
  };
  for (auto& [console, verdicts] : rows) {
    const bool emptyBase = verdicts[0] == 'E';
    for (size_t i = 0; i < std::size(kTestedCodePages); ++i) {
      const unsigned page = kTestedCodePages[i];
      EXPECT_EQ(verdicts[i + emptyBase] == '+',
                ConsolePathStaysInside(emptyBase, console.c_str(), KnownCodePage(page)))
          << page << ": " << console;
    }
  }
}

}  // namespace
