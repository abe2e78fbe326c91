// The device page made from template 106: its controls in tab order, Execute
// and Reset disabled until a console is served, and a log view that takes
// far more than the rich edit control's default 32 KiB.
#include "ui/device_page.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include "tests/support/test_page.h"
#include "ui/resource.h"

namespace {

TEST(DevicePageTest, PageHasItsControlsWithExecuteAndResetDisabledAndARaisedLimit) {
  TestPage page;
  ASSERT_TRUE(page.ok());
  const struct {
    int id;
    bool enabled;
  } rows[] = {{IDC_LOG_VIEW, true}, {IDC_SAVE_LOG, true}, {IDC_CLEAR_LOG, true},
              {IDC_RESET, false}, {IDC_EXECUTE, false}};
  HWND control = GetWindow(page.page(), GW_CHILD);
  for (const auto& row : rows) {
    ASSERT_TRUE(control) << row.id;
    EXPECT_EQ(row.id, GetDlgCtrlID(control));
    EXPECT_EQ(row.enabled, IsWindowEnabled(control) != FALSE) << row.id;
    control = GetWindow(control, GW_HWNDNEXT);
  }
  char name[32] = {};
  GetClassNameA(page.view(), name, sizeof name);
  EXPECT_EQ(0, lstrcmpiA("RICHEDIT", name)) << name;
  EXPECT_EQ(kLogViewTextLimit, SendMessageA(page.view(), EM_GETLIMITTEXT, 0, 0));
  EXPECT_GE(kLogViewTextLimit, 10 * 1024 * 1024);
}

}  // namespace
