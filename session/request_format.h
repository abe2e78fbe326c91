// The bodies of the console's host file requests, decoded with a bounded
// reader: a body too short for its fixed fields, a write count beyond the
// body or an open path without a terminator inside the body fails to
// decode, and nothing past the body is ever read. Also the console's open
// flags and what they ask of the host. Platform-free.
#pragma once

#include <cstdint>

namespace tavrin {

struct OpenRequest {
  uint32_t flags;
  const char* path;  // inside the body, NUL-terminated there
};
struct CloseRequest {
  int32_t handle;
};
struct ReadRequest {
  int32_t handle;
  uint32_t count;
};
struct WriteRequest {
  int32_t handle;
  uint32_t count;
  const uint8_t* data;  // inside the body, count bytes
};
struct LseekRequest {
  int32_t handle;
  int32_t offset;
  int32_t whence;
};

bool DecodeOpen(const uint8_t* body, uint32_t size, OpenRequest* out);
bool DecodeClose(const uint8_t* body, uint32_t size, CloseRequest* out);
bool DecodeRead(const uint8_t* body, uint32_t size, ReadRequest* out);
bool DecodeWrite(const uint8_t* body, uint32_t size, WriteRequest* out);
bool DecodeLseek(const uint8_t* body, uint32_t size, LseekRequest* out);

// A read is served up to this many bytes at once (a short read, which
// read's callers handle anyway).
constexpr uint32_t kMaxReadCount = 64u << 20;

// The console's open flags.
constexpr uint32_t kConsoleAccessMask = 3;  // 1 read, 2 write, 3 both, 0 read
constexpr uint32_t kConsoleAppend = 0x100;
constexpr uint32_t kConsoleCreate = 0x200;
constexpr uint32_t kConsoleTruncate = 0x400;

// What an open asks of the host file layer; every other bit is ignored.
struct HostOpenMode {
  bool read;
  bool write;
  bool append;
  bool create;
  bool truncate;

  // Refused while the settings are read only.
  bool Writes() const { return write || append || create || truncate; }
};

HostOpenMode TranslateOpenFlags(uint32_t consoleFlags);

}  // namespace tavrin
