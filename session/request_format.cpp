#include "session/request_format.h"

#include "link/byte_reader.h"

namespace tavrin {

bool DecodeOpen(const uint8_t* body, uint32_t size, OpenRequest* out) {
  ByteReader reader(body, size);
  out->flags = reader.U32();
  out->path = reader.CString();
  return reader.Ok();
}

bool DecodeClose(const uint8_t* body, uint32_t size, CloseRequest* out) {
  ByteReader reader(body, size);
  out->handle = reader.I32();
  return reader.Ok();
}

bool DecodeRead(const uint8_t* body, uint32_t size, ReadRequest* out) {
  ByteReader reader(body, size);
  out->handle = reader.I32();
  out->count = reader.U32();
  return reader.Ok();
}

bool DecodeWrite(const uint8_t* body, uint32_t size, WriteRequest* out) {
  ByteReader reader(body, size);
  out->handle = reader.I32();
  out->count = reader.U32();
  out->data = reader.Bytes(out->count);
  return reader.Ok();
}

bool DecodeLseek(const uint8_t* body, uint32_t size, LseekRequest* out) {
  ByteReader reader(body, size);
  out->handle = reader.I32();
  out->offset = reader.I32();
  out->whence = reader.I32();
  return reader.Ok();
}

HostOpenMode TranslateOpenFlags(uint32_t consoleFlags) {
  HostOpenMode mode = {};
  switch (consoleFlags & kConsoleAccessMask) {
    case 2: mode.write = true; break;
    case 3: mode.read = mode.write = true; break;
    default: mode.read = true; break;  // 1, and 0 for none given
  }
  mode.append = (consoleFlags & kConsoleAppend) != 0;
  mode.create = (consoleFlags & kConsoleCreate) != 0;
  mode.truncate = (consoleFlags & kConsoleTruncate) != 0;
  return mode;
}

}  // namespace tavrin
