// The DeviceInfoBlock that get info writes when a cable opens: 140 bytes,
// of which only the cable's name (offset 8) means anything to us. The name
// becomes the tab title. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrin {

struct DeviceInfoBlock {
  uint8_t driverData[8];  // the driver's own; never read
  char name[132];         // 8-bit text, ends at the first NUL or the block's end
};
static_assert(sizeof(DeviceInfoBlock) == 140, "the driver writes exactly 140 bytes");
static_assert(offsetof(DeviceInfoBlock, name) == 8, "the name starts at byte 8");

constexpr uint32_t kDeviceInfoSize = sizeof(DeviceInfoBlock);

// The cable's name: up to the first NUL, or to the end of the block (byte
// 139) when the driver wrote none.
std::string CableName(const DeviceInfoBlock& info);

}  // namespace tavrin
