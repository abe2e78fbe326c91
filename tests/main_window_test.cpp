// The main window made by CreateMainWindow from the real resources, driven
// with messages: its tabs and accelerators, the About page, the attention
// rule, the tooltips, and clean-up after a failed step.
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "session/device_record.h"
#include "session/link_worker.h"
#include "ui/resource.h"

namespace {

// A page from the device page's template, whose controls take the focus;
// its log view's class comes with the first device page, as here.
HWND NewPage() {
  if (!LoadRichEditLibrary()) return nullptr;
  return CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), MainWindow,
                            [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_INITDIALOG; }, 0);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AttentionFlag.store(0);
    ASSERT_TRUE(CreateMainWindow());
    ShowWindow(MainWindow, SW_SHOWNORMAL);
  }
  // What the program's WM_DESTROY and clean-up do for the window's state.
  void TearDown() override {
    DestroyWindow(MainWindow);
    MainWindow = ShownPage = nullptr;
    ImageList_Destroy(std::exchange(TabImageList, nullptr));
  }
  LRESULT Tabs(UINT message) { return SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, message, 0, 0); }
};

TEST_F(MainWindowTest, TabOperationsKeepOneSelectedPageShown) {
  enum Op { Add, Remove, Next, Previous, Destroy, Show };
  // Pages: 0 is the About page, 1 to 4 made here; 4 never gets a tab. The
  // selected tab, the shown page (-1: none) and the tab count are afterwards.
  const struct { Op op; int page; BOOL result; int selected, shown, count; } steps[] = {
      {Add, 1, TRUE, 1, 1, 2},      {Add, 2, TRUE, 2, 2, 3},      {Add, 3, TRUE, 3, 3, 4},
      {Next, 0, TRUE, 0, 0, 4},      // after the last: the first
      {Previous, 0, TRUE, 3, 3, 4}, {Previous, 0, TRUE, 2, 2, 4},  // before the first: the last
      {Remove, 1, TRUE, 1, 2, 3},    // another tab: the selection stays on page 2
      {Remove, 2, TRUE, 0, 0, 2},    // the selected tab: About takes over
      {Remove, 4, FALSE, 0, 0, 2}, {Next, 0, TRUE, 1, 3, 2},  // no tab stands for page 4
      {Destroy, 3, TRUE, 1, -1, 2}, {Show, 0, TRUE, 1, -1, 2},  // its tab stays, standing for no window; clicked
  };
  HWND pages[5] = {AboutPage, NewPage(), NewPage(), NewPage(), NewPage()};
  NMHDR tabClick = {nullptr, IDC_PAGE_TABS, UINT(TCN_SELCHANGE)};
  PageOrigin = {5, 9};  // where every shown page is put
  for (const auto& s : steps) {
    SCOPED_TRACE(&s - steps);
    const BOOL result = s.op == Add       ? AddPageTab("Cable", kDeviceTabImage, pages[s.page])
                        : s.op == Remove  ? RemovePageTab(pages[s.page])
                        : s.op == Destroy ? DestroyWindow(pages[s.page])
                        : s.op == Show    ? MainWindowProc(MainWindow, WM_NOTIFY, 0, LPARAM(&tabClick))
                                          : MainWindowProc(MainWindow, WM_COMMAND,  // Ctrl+(Shift+)Tab
                                                           s.op == Next ? IDM_NEXT_TAB : IDM_PREVIOUS_TAB, 0);
    EXPECT_EQ(s.result, result != FALSE);
    EXPECT_EQ(s.selected, Tabs(TCM_GETCURSEL));
    EXPECT_EQ(s.count, Tabs(TCM_GETITEMCOUNT));
    for (int p = 0; p < 5; ++p)
      EXPECT_TRUE(!IsWindow(pages[p]) || (p == s.shown) == (IsWindowVisible(pages[p]) != FALSE)) << p;
    EXPECT_TRUE(s.op != Show || !ShownPage);
    POINT at = {};
    if (s.shown >= 0) MapWindowPoints(pages[s.shown], MainWindow, &at, 1);
    EXPECT_TRUE(s.shown < 0 || (at.x == 5 && at.y == 9)) << "at the page origin";
    EXPECT_TRUE(s.op < Next || s.op > Previous || IsChild(ShownPage, GetFocus())) << "the keys go to the page";
  }
  for (WPARAM command : {IDOK, IDCANCEL}) SendMessageA(MainWindow, WM_COMMAND, command, 0);
  EXPECT_TRUE(IsWindowVisible(MainWindow)) << "Enter and Escape do not close it";
}

TEST_F(MainWindowTest, AboutPageBannerAndDeviceCountTooltipsAndCommonControlsSix) {
  // Wine would shrink the banner into its border; the page makes room.
  RECT client;
  GetClientRect(GetWindow(AboutPage, GW_CHILD), &client);
  EXPECT_TRUE(client.right == 296 && client.bottom == 63) << client.right << " x " << client.bottom;
  const struct { uint16_t devices; const char* text; } rows[] = {
      {1, "\n\n1 device mounted"}, {65535, "\n\n65535 devices mounted"},
      {0, "\n\nNo device mounted\nPlug in pl2301/2302-cable"}};
  for (const auto& row : rows) {
    DeviceCount = row.devices;
    UpdateDeviceCountText(AboutPage);
    char text[64] = {};
    GetDlgItemTextA(AboutPage, IDC_DEVICE_COUNT, text, sizeof text);
    EXPECT_STREQ(row.text, text);
  }

  HWND page = NewPage();
  const TooltipEntry table[] = {{IDC_EXECUTE, "Run"}, {0, nullptr}};
  HWND tooltips = CreateTooltips(page, table);
  char text[80] = {};
  TTTOOLINFOA tool = {TTTOOLINFOA_V1_SIZE, 0, nullptr, 0, {}, nullptr, text, 0, nullptr};
  ASSERT_TRUE(SendMessageA(tooltips, TTM_ENUMTOOLSA, 0, reinterpret_cast<LPARAM>(&tool)));
  EXPECT_EQ(1, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
  EXPECT_EQ(reinterpret_cast<UINT_PTR>(GetDlgItem(page, IDC_EXECUTE)), tool.uId);
  EXPECT_EQ(UINT(TTF_IDISHWND | TTF_SUBCLASS), tool.uFlags & (TTF_IDISHWND | TTF_SUBCLASS));
  EXPECT_STREQ("Run", text);

  // Only the manifest asks for version 6 of the common controls.
  char path[MAX_PATH] = {};
  GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, sizeof path);
  CharLowerA(path);
  EXPECT_NE(nullptr, strstr(path, "microsoft.windows.common-controls_6595b64144ccf1df_6.")) << path;
}

// The flag stays while the window is minimised; the window's own timer
// clears it once it is open.
TEST_F(MainWindowTest, AttentionFlashesAMinimisedWindowUntilItIsOpened) {
  ShowWindow(MainWindow, SW_MINIMIZE);
  AttentionFlag.store(1);
  SendMessageA(MainWindow, WM_TIMER, 1, 0);
  EXPECT_EQ(1, AttentionFlag.load());
  ShowWindow(MainWindow, SW_RESTORE);
  for (int i = 0; i < 100 && AttentionFlag.load(); ++i) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    for (MSG message; PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&message);
  }
  EXPECT_EQ(0, AttentionFlag.load());
}

TEST_F(MainWindowTest, AFailedStepLeavesNoWindowBehind) {
  TearDown();
  // Refuses to create the About page (a child dialog).
  HOOKPROC refuseAboutPage = [](int code, WPARAM wParam, LPARAM lParam) -> LRESULT {
    char name[16] = {};
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (code == HCBT_CREATEWND && !strcmp(name, "#32770") &&
        (reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs->style & WS_CHILD))
      return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
  };
  HHOOK hook = SetWindowsHookExA(WH_CBT, refuseAboutPage, nullptr, GetCurrentThreadId());
  EXPECT_FALSE(CreateMainWindow());
  UnhookWindowsHookEx(hook);
  EXPECT_TRUE(!MainWindow && !TabImageList);
  EXPECT_EQ(nullptr, FindWindowA(nullptr, "Tavdesk"));
  EXPECT_TRUE(CreateMainWindow());
}

}  // namespace
