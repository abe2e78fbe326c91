// The packet header, the tag table and the ReplyPacket result word.
#include "link/packet_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

}  // namespace
