// Request decoding, the open flag table and the ELF check: the platform-free
// half of the host file service (path mapping has a suite of its own).
#include "session/request_format.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "session/elf_check.h"

using namespace tavrin;

namespace {

std::vector<uint8_t> Le(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return out;
}

// The body is a copy of its exact size, so the sanitizer sees any read past it.
template <typename Request>
bool Decode(bool (*decode)(const uint8_t*, uint32_t, Request*), std::vector<uint8_t> body) {
  Request out;
  const bool ok = decode(body.empty() ? nullptr : body.data(), uint32_t(body.size()), &out);
  if constexpr (std::is_same_v<Request, OpenRequest>) {
    if (ok) EXPECT_STREQ("", out.path);  // the only open body below that decodes
  }
  return ok;
}

TEST(RequestFormatTest, BodiesDecodeOnlyWhenTheyHoldTheirFields) {
  struct Row {
    const char* what;
    bool decoded, expected;
  } rows[] = {
      {"open, empty body", Decode(DecodeOpen, {}), false},
      {"open, flags only", Decode(DecodeOpen, Le({1})), false},
      {"open, path without terminator", Decode(DecodeOpen, {1, 0, 0, 0, '/', 'a'}), false},
      {"open, 3 bytes", Decode(DecodeOpen, {1, 0, 0}), false},
      {"open, empty path", Decode(DecodeOpen, {1, 0, 0, 0, 0}), true},
      {"close, 3 bytes", Decode(DecodeClose, {1, 0, 0}), false},
      {"read, 7 bytes", Decode(DecodeRead, {1, 0, 0, 0, 1, 0, 0}), false},
      {"write, header short", Decode(DecodeWrite, {1, 0, 0, 0, 1}), false},
      {"write, count one beyond body", Decode(DecodeWrite, Le({3, 5, 0x41414141})), false},
      {"write, count the body", Decode(DecodeWrite, Le({3, 4, 0x41414141})), true},
      {"write, count 0", Decode(DecodeWrite, Le({3, 0})), true},
      {"write, huge count", Decode(DecodeWrite, Le({3, 0xFFFFFFFF, 0})), false},
      {"lseek, 8 bytes", Decode(DecodeLseek, Le({3, 0})), false},
  };
  for (auto& row : rows) EXPECT_EQ(row.expected, row.decoded) << row.what;
}

TEST(RequestFormatTest, OpenFlagTable) {
  // r read, w write, a append, c create, t truncate; every other bit ignored.
  const std::pair<uint32_t, const char*> rows[] = {
      {0x000, "r----"}, {0x001, "r----"}, {0x002, "-w---"}, {0x003, "rw---"},
      {0x101, "r-a--"}, {0x201, "r--c-"}, {0x401, "r---t"}, {0x602, "-w-ct"},
      {0x703, "rwact"}, {0x8000F0, "r----"}, {0xFFFFF8FE, "-w---"},
  };
  for (auto& [flags, expected] : rows) {
    const HostOpenMode m = TranslateOpenFlags(flags);
    const std::string got = {m.read ? 'r' : '-', m.write ? 'w' : '-', m.append ? 'a' : '-',
                             m.create ? 'c' : '-', m.truncate ? 't' : '-'};
    EXPECT_EQ(expected, got) << std::hex << flags;
  }
}

TEST(ElfCheckTest, ClassifiesByMagicAndType) {
  auto head = [](std::vector<uint8_t> magic, uint8_t t0, uint8_t t1, size_t size = 18) {
    magic.resize(16, 0);
    magic.insert(magic.end(), {t0, t1});
    magic.resize(size);
    return magic;
  };
  const std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F'};
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    ExecKind kind;
  } rows[] = {
      {"IRX module", head(elf, 0x80, 0xFF), ExecKind::Iop},
      {"executable", head(elf, 0x02, 0x00), ExecKind::Elf},
      {"0x80 0xFE", head(elf, 0x80, 0xFE), ExecKind::Elf},
      {"0xFF 0x80 (big-endian IRX)", head(elf, 0xFF, 0x80), ExecKind::Elf},
      {"wrong first magic byte", head({0x7E, 'E', 'L', 'F'}, 0x02, 0x00), ExecKind::NotElf},
      {"wrong last magic byte", head({0x7F, 'E', 'L', 'f'}, 0x02, 0x00), ExecKind::NotElf},
      {"17 bytes", head(elf, 0x80, 0xFF, 17), ExecKind::NotElf},
      {"empty", {}, ExecKind::NotElf},
  };
  for (auto& row : rows) {
    const std::vector<uint8_t> exact(row.bytes);  // no spare capacity past the end
    EXPECT_EQ(row.kind, ClassifyExecutable(exact.empty() ? nullptr : exact.data(), exact.size()))
        << row.what;
  }
}

}  // namespace
