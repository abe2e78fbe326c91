// The packet header, the tag table, the ReplyPacket result word, and the
// cable name rule of the DeviceInfoBlock.
#include "link/packet_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/device_info.h"

using namespace tavrin;

namespace {

TEST(PacketFormatTest, HeaderIsTheSizeThenTvRAndTheTagsCode) {
  const struct { uint32_t tag; uint8_t code; } rows[] = {
      {kTagReset, 0x00}, {kTagExecElf, 0x01}, {kTagExecIop, 0x02}, {kTagQuit, 0x03}, {kTagOpen, 0x10},
      {kTagClose, 0x11}, {kTagRead, 0x12},    {kTagWrite, 0x13},   {kTagLseek, 0x14}, {kTagPoll, 0x15},
      {kTagReply, 0x20}};
  for (auto& row : rows) {
    uint8_t raw[kHeaderSize];
    EncodeHeader({0x01020304, row.tag}, raw);
    const uint8_t expected[] = {0x04, 0x03, 0x02, 0x01, 'T', 'v', 'R', row.code};
    EXPECT_EQ(0, std::memcmp(expected, raw, sizeof raw)) << std::hex << row.tag;
    EXPECT_EQ(0x01020304u, DecodeHeader(raw).bodySize);
    EXPECT_EQ(row.tag, DecodeHeader(raw).tag);
  }
}

TEST(PacketFormatTest, ReplyResultNeedsTheWholeWord) {
  const uint8_t body[] = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
  int32_t result = 77;
  for (uint32_t size = 0; size < 4; ++size) {
    // A copy of exactly `size` bytes, so the sanitizer catches any read past it.
    std::vector<uint8_t> shortBody(body, body + size);
    EXPECT_FALSE(ReplyResult(shortBody.data(), size, &result)) << size;
  }
  EXPECT_FALSE(ReplyResult(nullptr, 4, &result));
  EXPECT_TRUE(result == 77 && ReplyResult(body, sizeof body, &result));
  EXPECT_EQ(-1, result);
}

TEST(DeviceInfoTest, NameEndsAtFirstNulOrAtTheBlocksEnd) {
  // The bytes written at offset 8 over a block prefilled with `fill`.
  const struct { std::string bytes; char fill; std::string name; } rows[] = {
      {std::string("cable\0junk", 10), 'x', "cable"}, {std::string("\0", 1), 'x', ""},
      {"", 'q', std::string(132, 'q')},  // no NUL at all
      {std::string(131, 'r') + '\0', 'q', std::string(131, 'r')}};
  for (auto& row : rows) {
    DeviceInfoBlock block;
    std::memset(&block, row.fill, sizeof block);
    std::memset(block.driverData, 0, sizeof block.driverData);
    std::memcpy(block.name, row.bytes.data(), row.bytes.size());
    EXPECT_EQ(row.name, CableName(block)) << row.bytes.size();
  }
}

}  // namespace
