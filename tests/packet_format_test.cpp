// The packet header, the tag table and the ReplyPacket result word, and the
// bounded reader they are decoded with.
#include "link/packet_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/byte_reader.h"

using namespace tavrin;

namespace {

TEST(PacketFormatTest, HeaderBytesAreSizeThenTvRAndCode) {
  uint8_t raw[kHeaderSize];
  EncodeHeader({0x01020304, kTagExecIop}, raw);
  const uint8_t expected[] = {0x04, 0x03, 0x02, 0x01, 'T', 'v', 'R', 0x02};
  EXPECT_EQ(0, std::memcmp(expected, raw, sizeof raw));
  PacketHeader back = DecodeHeader(raw);
  EXPECT_EQ(0x01020304u, back.bodySize);
  EXPECT_EQ(kTagExecIop, back.tag);
}

TEST(PacketFormatTest, TagTableCodes) {
  struct Row {
    uint32_t tag;
    uint8_t code;
  } rows[] = {{kTagReset, 0x00}, {kTagExecElf, 0x01}, {kTagExecIop, 0x02}, {kTagQuit, 0x03},
              {kTagOpen, 0x10},  {kTagClose, 0x11},   {kTagRead, 0x12},    {kTagWrite, 0x13},
              {kTagLseek, 0x14}, {kTagPoll, 0x15},    {kTagReply, 0x20}};
  for (auto& row : rows) {
    uint8_t raw[kHeaderSize];
    EncodeHeader({0, row.tag}, raw);
    EXPECT_EQ(row.code, raw[7]) << std::hex << row.tag;
    EXPECT_EQ(0, std::memcmp(raw + 4, "TvR", 3));
  }
  // The reply tag reads "TvR " on the wire.
  uint8_t raw[kHeaderSize];
  EncodeHeader({0, kTagReply}, raw);
  EXPECT_EQ(0, std::memcmp(raw + 4, "TvR ", 4));
}

TEST(PacketFormatTest, ForeignMagicMatchesNoTag) {
  const uint8_t raw[] = {0, 0, 0, 0, 'T', 'v', 'r', 0x20};
  EXPECT_NE(kTagReply, DecodeHeader(raw).tag);
}

TEST(PacketFormatTest, ReplyResultNeedsTheWholeWord) {
  const uint8_t body[] = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
  for (uint32_t size = 0; size < 4; ++size) {
    // A copy of exactly `size` bytes, so the sanitizer catches any read past it.
    std::vector<uint8_t> shortBody(body, body + size);
    int32_t result = 77;
    EXPECT_FALSE(ReplyResult(shortBody.data(), size, &result)) << size;
    EXPECT_EQ(77, result);
  }
  int32_t result = 0;
  ASSERT_TRUE(ReplyResult(body, sizeof body, &result));
  EXPECT_EQ(-1, result);
  EXPECT_FALSE(ReplyResult(nullptr, 4, &result));
}

TEST(ByteReaderTest, UnderflowIsStickyAndYieldsZero) {
  const uint8_t bytes[] = {1, 0, 0, 0, 2, 0, 0};
  ByteReader reader(bytes, sizeof bytes);
  EXPECT_EQ(1u, reader.U32());
  EXPECT_TRUE(reader.Ok());
  EXPECT_EQ(0u, reader.U32());  // only three bytes left
  EXPECT_FALSE(reader.Ok());
  EXPECT_EQ(nullptr, reader.Bytes(1));
}

TEST(ByteReaderTest, CStringMustEndInsideTheBody) {
  const uint8_t terminated[] = {'a', 'b', 0, 'c'};
  ByteReader a(terminated, sizeof terminated);
  EXPECT_STREQ("ab", a.CString());
  EXPECT_EQ(1u, a.Remaining());
  EXPECT_EQ(nullptr, a.CString());
  EXPECT_FALSE(a.Ok());

  std::vector<uint8_t> unterminated = {'x', 'y'};
  ByteReader b(unterminated.data(), unterminated.size());
  EXPECT_EQ(nullptr, b.CString());
  EXPECT_FALSE(b.Ok());

  ByteReader empty(nullptr, 0);
  EXPECT_EQ(nullptr, empty.CString());
}

TEST(ByteReaderTest, BytesRefusesCountsBeyondTheBody) {
  const uint8_t bytes[] = {9, 8, 7};
  ByteReader reader(bytes, sizeof bytes);
  EXPECT_EQ(nullptr, reader.Bytes(SIZE_MAX));
  EXPECT_FALSE(reader.Ok());
  ByteReader again(bytes, sizeof bytes);
  const uint8_t* p = again.Bytes(3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(7, p[2]);
  EXPECT_TRUE(again.Ok());
}

}  // namespace
