// The platform-free half of the session: the ELF check, and path mapping
// with its confinement check under the code pages Windows runs with: the
// single-byte 1252 and the double-byte 932, 936, 949 and 950, in which the
// second byte of a character can be 0x5C. Request decoding and the open flags
// are the fuzzer's (every body against a reading of its own) and the
// session suite's (what the file system shows).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "session/elf_check.h"
#include "session/path_map.h"
#include "tests/support/code_pages.h"

using namespace tavrin;

namespace {

// The first bytes of a file: the magic, then e_type at 16.
std::vector<uint8_t> Head(std::string magic, uint8_t type0, uint8_t type1, size_t size = 18) {
  magic.resize(16);
  magic += {char(type0), char(type1)};
  return {magic.begin(), magic.begin() + size};
}

TEST(ElfCheckTest, ClassifiesByMagicAndType) {
  // An IRX module, an executable, a type near an IRX's, a big-endian IRX;
  // a bad magic byte, a bad magic letter, a head one byte short, nothing.
  const std::pair<std::vector<uint8_t>, ExecKind> rows[] = {
      {Head("\x7F" "ELF", 0x80, 0xFF), ExecKind::Iop}, {Head("\x7F" "ELF", 0x02, 0x00), ExecKind::Elf},
      {Head("\x7F" "ELF", 0x80, 0xFE), ExecKind::Elf}, {Head("\x7F" "ELF", 0xFF, 0x80), ExecKind::Elf},
      {Head("\x7E" "ELF", 0x80, 0xFF), ExecKind::NotElf}, {Head("\x7F" "ELf", 0x80, 0xFF), ExecKind::NotElf},
      {Head("\x7F" "ELF", 0x80, 0xFF, 17), ExecKind::NotElf}, {{}, ExecKind::NotElf}};
  for (auto& [head, kind] : rows) {
    const std::vector<uint8_t> exact(head);  // no spare capacity past the end
    EXPECT_EQ(kind, ClassifyExecutable(exact.empty() ? nullptr : exact.data(), exact.size()))
        << ::testing::PrintToString(head);
  }
}

TEST(PathMapTest, TextualMapping) {
  const std::tuple<unsigned, std::string, const char*, std::string> rows[] = {  // page, base + path
      {1252, "C:\\share", "/dir/a.bin", "C:\\share\\dir\\a.bin"}, {1252, "", "/a.bin", "a.bin"},
      {1252, "C:\\share", "dir/a.bin", "C:\\share\\dir\\a.bin"}, {1252, "C:\\", "/a", "C:\\a"},
      {1252, "C:\\share", "//x", "C:\\share\\\\x"}, {1252, "C:\\share", "", "C:\\share\\"},
      {1252, "C:\\share", "\\a\\b", "C:\\share\\a\\b"},
      // A base that ends with a kanji whose second byte is 0x5C still needs
      // its backslash; in 1252 those bytes do end with one.
      {932, "C:\\\x95\x5C", "x", "C:\\\x95\x5C\\x"}, {1252, "C:\\\x95\x5C", "x", "C:\\\x95\x5Cx"},
      {932, "C:\\share", "/\x95\x5C/a.txt", "C:\\share\\\x95\x5C\\a.txt"},
      {950, "C:\\share", "\xA5\x5C/b", "C:\\share\\\xA5\x5C\\b"},
  };
  for (auto& [page, base, console, local] : rows)
    EXPECT_EQ(local, JoinConsolePath(base, console, KnownCodePage(page))) << page << console;
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
      {"\x81\x5Cx/../../secret.txt", "+----"}, {"\x81\x5Cx\\..\\..\\secret.txt", "+----"},
      {"sub/\x83\x5Cx/../../../secret.txt", "+----"}, {deep + "windows/win.ini", "+----"},
      {"\x81\x5Cx/../inside.txt", "+++++"},
      // And the reverse: names whose second byte is 0x5C are names.
      {"\x95\x5C.txt", "+++++"}, {"\x95\x5C/a.txt", "+++++"}, {"\x95\x5C../../x", "-++++"},
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
