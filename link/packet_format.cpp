#include "link/packet_format.h"

#include "link/byte_reader.h"

namespace tavrin {

void EncodeHeader(const PacketHeader& header, uint8_t out[kHeaderSize]) {
  PutU32(out, header.bodySize);
  PutU32(out + 4, header.tag);
}

PacketHeader DecodeHeader(const uint8_t in[kHeaderSize]) {
  ByteReader reader(in, kHeaderSize);
  PacketHeader header;
  header.bodySize = reader.U32();
  header.tag = reader.U32();
  return header;
}

bool ReplyResult(const uint8_t* body, uint32_t bodySize, int32_t* result) {
  ByteReader reader(body, bodySize);
  int32_t value = reader.I32();
  if (!reader.Ok()) return false;
  *result = value;
  return true;
}

}  // namespace tavrin
