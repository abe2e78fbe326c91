// Small makers of test data shared by the suites: byte patterns, ELF heads,
// and a settings scope.
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
inline std::vector<uint8_t> ElfHead(uint8_t type0, uint8_t type1) {
  std::vector<uint8_t> bytes = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                type0, type1};
  bytes.resize(64);
  return bytes;
}

// The defaults for the length of a test; the settings before it afterwards.
struct SettingsScope {
  const SettingsRecord saved = Settings;
  SettingsScope() { SetDefaultSettings(); }
  ~SettingsScope() { Settings = saved; }
};
