#include "link/device_info.h"

#include <cstring>

namespace tavrin {

std::string CableName(const DeviceInfoBlock& info) {
  const void* nul = std::memchr(info.name, 0, sizeof info.name);
  size_t length = nul ? static_cast<const char*>(nul) - info.name : sizeof info.name;
  return std::string(info.name, length);
}

}  // namespace tavrin
