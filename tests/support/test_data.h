// Small makers of test data shared by the suites: byte patterns, ELF heads,
// heap strings as the product's callers make them, and a settings scope.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"

// Bytes that differ from one seed and one position to the next.
inline std::vector<uint8_t> Pattern(size_t size, unsigned seed = 1) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 7;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The start of an ELF file: the magic, then e_type (bytes 16 and 17).
inline std::vector<uint8_t> ElfHead(uint8_t type0, uint8_t type1, size_t size = 64) {
  std::vector<uint8_t> bytes(size, 0);
  const uint8_t start[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::memcpy(bytes.data(), start, size < sizeof start ? size : sizeof start);
  if (size > 16) bytes[16] = type0;
  if (size > 17) bytes[17] = type1;
  return bytes;
}

// A malloc'd copy, as the page hands paths to the command queue.
inline char* HeapCopy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The defaults for the length of a test; the settings before it afterwards.
class SettingsScope {
 public:
  SettingsScope() : saved_(Settings) { SetDefaultSettings(); }
  ~SettingsScope() { Settings = saved_; }

 private:
  SettingsRecord saved_;
};
