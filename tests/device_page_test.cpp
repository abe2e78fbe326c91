// The device page as template 106 makes it: its own styles, and its controls
// in tab order with their texts, places and styles, read from the created
// dialog; and a log view that takes far more than 32 KiB.
#include "ui/device_page.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include "tests/support/test_page.h"
#include "ui/resource.h"

namespace {

TEST(DevicePageTest, TheTemplateMakesThePageAndItsControls) {
  TestPage page;
  ASSERT_TRUE(page.ok());
  const LONG_PTR exStyle = GetWindowLongPtrA(page.page(), GWL_EXSTYLE);
  EXPECT_EQ(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES,
            exStyle & (WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES));
  EXPECT_EQ(WS_CHILD, GetWindowLongPtrA(page.page(), GWL_STYLE) & (WS_CHILD | WS_CAPTION));

  // Wine's rich edit takes the border and scroll bar styles off its window
  // (it draws them itself), so those can't be read back here.
  const DWORD common = WS_VISIBLE | WS_TABSTOP;
  const DWORD view = common | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY |
                     ES_WANTRETURN;
  const struct {
    int id;
    const char* text;
    RECT place;  // left, top, right, bottom in dialog units
    DWORD style;
  } rows[] = {
      {IDC_LOG_VIEW, "", {0, 0, 199, 144}, view},
      {IDC_SAVE_LOG, "&Save log", {19, 151, 59, 165}, common},
      {IDC_CLEAR_LOG, "&Clear log", {65, 151, 105, 165}, common},
      {IDC_RESET, "&Reset", {113, 151, 153, 165}, common | WS_DISABLED},
      {IDC_EXECUTE, "&Execute", {159, 151, 199, 165}, common | WS_DISABLED},
  };
  HWND control = GetWindow(page.page(), GW_CHILD);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    ASSERT_TRUE(control);
    EXPECT_EQ(row.id, GetDlgCtrlID(control));
    char text[32] = {}, name[32] = {};
    GetWindowTextA(control, text, sizeof text);
    EXPECT_STREQ(row.text, text);
    GetClassNameA(control, name, sizeof name);
    EXPECT_EQ(0, lstrcmpiA(row.id == IDC_LOG_VIEW ? "RICHEDIT" : "Button", name)) << name;
    EXPECT_EQ(row.style, GetWindowLongPtrA(control, GWL_STYLE) & (view | WS_DISABLED));
    RECT expected = row.place, actual;
    MapDialogRect(page.page(), &expected);
    GetWindowRect(control, &actual);
    MapWindowPoints(nullptr, page.page(), reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_TRUE(EqualRect(&expected, &actual))
        << actual.left << "," << actual.top << "," << actual.right << "," << actual.bottom;
    control = GetWindow(control, GW_HWNDNEXT);
  }
  EXPECT_EQ(nullptr, control);
  EXPECT_EQ(kLogViewTextLimit, SendMessageA(page.view(), EM_GETLIMITTEXT, 0, 0));
}

}  // namespace
