// The packet header and the tag table. The reply's result word is the
// fuzzer's (every body against its own reading), the cable name rule the
// virtual cable suite's (a name that fills the info block).
#include "link/packet_format.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
