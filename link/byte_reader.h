// A bounded reader over a received body: fixed-width little-endian fields
// taken from a cursor that never passes the end. A read past the end yields
// zero and sets a sticky error, so a decoder reads all its fields and checks
// once. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavrin {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

  uint32_t U32() {
    if (!Have(4)) return 0;
    const uint8_t* p = data_ + pos_;
    pos_ += 4;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }

  // The next `count` bytes in place, or null (and the error) when fewer remain.
  const uint8_t* Bytes(size_t count) {
    if (!Have(count)) return nullptr;
    const uint8_t* p = data_ + pos_;
    pos_ += count;
    return p;
  }

  // A NUL-terminated string that must end inside the body; null otherwise.
  const char* CString() {
    size_t left = Remaining();
    const void* nul = left ? std::memchr(data_ + pos_, 0, left) : nullptr;
    if (!nul) {
      error_ = true;
      return nullptr;
    }
    const char* s = reinterpret_cast<const char*>(data_ + pos_);
    pos_ = static_cast<const uint8_t*>(nul) - data_ + 1;
    return s;
  }

  size_t Remaining() const { return size_ - pos_; }
  bool Ok() const { return !error_; }

 private:
  bool Have(size_t count) {
    if (error_ || count > size_ - pos_) {
      error_ = true;
      return false;
    }
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool error_ = false;
};

inline void PutU32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace tavrin
