// The cable name rule of the DeviceInfoBlock.
#include "link/device_info.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(DeviceInfoTest, NameEndsAtFirstNulOrAtTheBlocksEnd) {
  const struct {
    std::string bytes;  // written at offset 8, the rest stays as prefilled
    char fill;
    std::string name;
  } rows[] = {{std::string("cable\0junk", 10), 'x', "cable"},
              {std::string("\0", 1), 'x', ""},
              {"", 'q', std::string(132, 'q')},  // no NUL at all
              {std::string(131, 'r') + '\0', 'q', std::string(131, 'r')}};
  for (auto& row : rows) {
    tavrin::DeviceInfoBlock block;
    std::memset(&block, row.fill, sizeof block);
    std::memset(block.driverData, 0, sizeof block.driverData);
    std::memcpy(block.name, row.bytes.data(), row.bytes.size());
    EXPECT_EQ(row.name, tavrin::CableName(block)) << row.bytes.size();
  }
}
