// The real Win32 binding of the driver port, under Wine: no cable driver is
// installed there, so a scan or an open by path must fail cleanly and hold
// nothing.
#include <gtest/gtest.h>

#include "link/link_device.h"

TEST(CableDriverWin32Test, ScanAndOpenFindNoCableAndHoldNoHandle) {
  LinkDevice device;
  EXPECT_FALSE(device.Open());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_FALSE(device.Open("\\\\?\\usb#vid_067b&pid_0001#none#{5a8e3c12-7d40-11d5-b2c4-0050da61e9f7}"));
  EXPECT_NE(0u, GetLastError());
  EXPECT_FALSE(device.HasHandle());
  EXPECT_TRUE(device.Close());
}
