// The packet format of the link: an 8-byte header (body size, then the tag
// "TvR" + code) and the ReplyPacket body. The tag is always compared as one
// whole 32-bit word, so a packet whose first three tag bytes aren't "TvR"
// matches no tag. Platform-free.
#pragma once

#include <cstdint>

namespace tavrin {

// Codes of the tag table (the byte at offset 7 of the header).
enum PacketCode : uint8_t {
  kCodeReset = 0x00,    // host command
  kCodeExecElf = 0x01,  // host command, body "host:/exec/elf"
  kCodeExecIop = 0x02,  // host command, body "host:/exec/iop"
  kCodeQuit = 0x03,     // host command
  kCodeOpen = 0x10,     // console requests...
  kCodeClose = 0x11,
  kCodeRead = 0x12,
  kCodeWrite = 0x13,
  kCodeLseek = 0x14,
  kCodePoll = 0x15,
  kCodeReply = 0x20,  // both ways: the ReplyPacket, tag "TvR "
};

// The tag as it lies in the header's bytes 4..7, read little-endian.
constexpr uint32_t MakeTag(uint8_t code) {
  return uint32_t('T') | uint32_t('v') << 8 | uint32_t('R') << 16 | uint32_t(code) << 24;
}

constexpr uint32_t kTagReset = MakeTag(kCodeReset);
constexpr uint32_t kTagExecElf = MakeTag(kCodeExecElf);
constexpr uint32_t kTagExecIop = MakeTag(kCodeExecIop);
constexpr uint32_t kTagQuit = MakeTag(kCodeQuit);
constexpr uint32_t kTagOpen = MakeTag(kCodeOpen);
constexpr uint32_t kTagClose = MakeTag(kCodeClose);
constexpr uint32_t kTagRead = MakeTag(kCodeRead);
constexpr uint32_t kTagWrite = MakeTag(kCodeWrite);
constexpr uint32_t kTagLseek = MakeTag(kCodeLseek);
constexpr uint32_t kTagPoll = MakeTag(kCodePoll);
constexpr uint32_t kTagReply = MakeTag(kCodeReply);

constexpr uint32_t kHeaderSize = 8;
// Bodies move in chunks of at most this many bytes, one driver call each.
constexpr uint32_t kChunkSize = 4096;
// Twice the console's main memory: no genuine packet is larger, so a bigger
// body size is refused like an allocation failure.
constexpr uint32_t kMaxBodySize = 64u << 20;
// The ReplyPacket body starts with the signed 32-bit result.
constexpr uint32_t kReplyResultSize = 4;

// The execute commands' bodies: the fixed host paths, NUL included.
constexpr char kExecElfPath[] = "host:/exec/elf";
constexpr char kExecIopPath[] = "host:/exec/iop";
constexpr uint32_t kExecPathSize = sizeof kExecElfPath;  // 15
static_assert(sizeof kExecElfPath == 15 && sizeof kExecIopPath == 15, "15-byte bodies");

struct PacketHeader {
  uint32_t bodySize;
  uint32_t tag;
};

void EncodeHeader(const PacketHeader& header, uint8_t out[kHeaderSize]);
PacketHeader DecodeHeader(const uint8_t in[kHeaderSize]);

// The result word of a ReplyPacket body; false when the body is too short
// to hold it (nothing beyond the body is read).
bool ReplyResult(const uint8_t* body, uint32_t bodySize, int32_t* result);

}  // namespace tavrin
