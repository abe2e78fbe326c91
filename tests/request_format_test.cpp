// Request decoding, the open flag table and the ELF check: the platform-free
// half of the host file service (path mapping has a suite of its own).
#include "session/request_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// Each body is decoded from an exact-size copy, so the sanitizer sees any
// read past it.
template <typename Request>
bool Decode(bool (*decode)(const uint8_t*, uint32_t, Request*), std::vector<uint8_t> body,
            Request* out) {
  std::vector<uint8_t> exact(body);
  return decode(exact.empty() ? nullptr : exact.data(), static_cast<uint32_t>(exact.size()), out);
}

TEST(RequestFormatTest, MalformedBodiesFailToDecode) {
  OpenRequest o;
  CloseRequest c;
  ReadRequest r;
  WriteRequest w;
  LseekRequest l;
  struct Row {
    const char* what;
    bool decoded;
  } rows[] = {
      {"open, empty body", Decode(DecodeOpen, {}, &o)},
      {"open, flags only", Decode(DecodeOpen, Le({1}), &o)},
      {"open, path without terminator", Decode(DecodeOpen, {1, 0, 0, 0, '/', 'a'}, &o)},
      {"open, 3 bytes", Decode(DecodeOpen, {1, 0, 0}, &o)},
      {"close, 3 bytes", Decode(DecodeClose, {1, 0, 0}, &c)},
      {"read, 7 bytes", Decode(DecodeRead, {1, 0, 0, 0, 1, 0, 0}, &r)},
      {"write, header only short", Decode(DecodeWrite, {1, 0, 0, 0, 1}, &w)},
      {"write, count beyond body", Decode(DecodeWrite, Le({3, 6, 0x41414141}), &w)},
      {"write, huge count", Decode(DecodeWrite, Le({3, 0xFFFFFFFF, 0}), &w)},
      {"lseek, 8 bytes", Decode(DecodeLseek, Le({3, 0}), &l)},
      {"lseek, empty", Decode(DecodeLseek, {}, &l)},
  };
  for (auto& row : rows) EXPECT_FALSE(row.decoded) << row.what;

  // The smallest bodies that do hold their fields.
  const std::vector<uint8_t> emptyPath = {1, 0, 0, 0, 0};
  ASSERT_TRUE(DecodeOpen(emptyPath.data(), uint32_t(emptyPath.size()), &o));
  EXPECT_STREQ("", o.path);
  EXPECT_TRUE(Decode(DecodeWrite, Le({3, 0}), &w));
  EXPECT_EQ(0u, w.count);
}

TEST(RequestFormatTest, OpenFlagTable) {
  struct Row {
    uint32_t flags;
    bool read, write, append, create, truncate;
  } rows[] = {
      {0x000, true, false, false, false, false},  {0x001, true, false, false, false, false},
      {0x002, false, true, false, false, false},  {0x003, true, true, false, false, false},
      {0x101, true, false, true, false, false},   {0x201, true, false, false, true, false},
      {0x401, true, false, false, false, true},   {0x602, false, true, false, true, true},
      {0x703, true, true, true, true, true},      {0x8000F0, true, false, false, false, false},
      {0xFFFFF8FE, false, true, false, false, false},
  };
  for (auto& row : rows) {
    HostOpenMode m = TranslateOpenFlags(row.flags);
    EXPECT_EQ(row.read, m.read) << std::hex << row.flags;
    EXPECT_EQ(row.write, m.write) << std::hex << row.flags;
    EXPECT_EQ(row.append, m.append) << std::hex << row.flags;
    EXPECT_EQ(row.create, m.create) << std::hex << row.flags;
    EXPECT_EQ(row.truncate, m.truncate) << std::hex << row.flags;
  }
}

TEST(ElfCheckTest, ClassifiesByMagicAndType) {
  auto head = [](std::vector<uint8_t> start, uint8_t t0, uint8_t t1) {
    start.resize(16, 0);
    start.push_back(t0);
    start.push_back(t1);
    return start;
  };
  const std::vector<uint8_t> magic = {0x7F, 'E', 'L', 'F'};
  std::vector<uint8_t> first17 = head(magic, 0x80, 0xFF);
  first17.pop_back();
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    ExecKind kind;
  } rows[] = {
      {"IRX module", head(magic, 0x80, 0xFF), ExecKind::Iop},
      {"executable", head(magic, 0x02, 0x00), ExecKind::Elf},
      {"0x80 0xFE", head(magic, 0x80, 0xFE), ExecKind::Elf},
      {"0xFF 0x80 (big-endian IRX)", head(magic, 0xFF, 0x80), ExecKind::Elf},
      {"magic with a wrong first byte", head({0x7E, 'E', 'L', 'F'}, 0x02, 0x00), ExecKind::NotElf},
      {"magic with a wrong last byte", head({0x7F, 'E', 'L', 'f'}, 0x02, 0x00), ExecKind::NotElf},
      {"17 bytes", first17, ExecKind::NotElf},
      {"empty", {}, ExecKind::NotElf},
  };
  for (auto& row : rows) {
    std::vector<uint8_t> exact(row.bytes);
    EXPECT_EQ(row.kind, ClassifyExecutable(exact.empty() ? nullptr : exact.data(), exact.size()))
        << row.what;
  }
}

}  // namespace
