// The main window made by CreateMainWindow from the real resources, driven
// with messages: its tabs, pages and accelerators, the About page, the
// attention rule, the tooltips, the sounds, and clean-up after a failed step.
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "session/device_record.h"
#include "ui/resource.h"

namespace {

INT_PTR CALLBACK PlainPageProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// A page from the device page's template (its controls take the focus),
// with a procedure that does nothing of its own.
HWND NewPage() {
  return CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), MainWindow,
                            PlainPageProc, 0);
}

std::string Text(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// What the program's WM_DESTROY and clean-up do for the window's state.
void DestroyMainWindow() {
  if (MainWindow) DestroyWindow(MainWindow);
  MainWindow = nullptr;
  ShownPage = nullptr;
  ImageList_Destroy(TabImageList);
  TabImageList = nullptr;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.soundsOff = 0;
    DeviceCount = 0;
    AttentionFlag.store(0);
    ASSERT_TRUE(CreateMainWindow());
    ComputePageOrigin(MainWindow);
    ShowWindow(MainWindow, SW_SHOWNORMAL);
    tabs_ = GetDlgItem(MainWindow, IDC_PAGE_TABS);
  }
  void TearDown() override {
    DestroyMainWindow();
    DeviceCount = 0;
  }

  int Selected() const { return static_cast<int>(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0)); }
  int TabCount() const { return static_cast<int>(SendMessageA(tabs_, TCM_GETITEMCOUNT, 0, 0)); }

  // Ctrl+Tab (or Ctrl+Shift+Tab) as the message loop hands it over.
  BOOL PressCtrlTab(bool shift) {
    BYTE keys[256] = {};
    keys[VK_CONTROL] = 0x80;
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    MSG message = {};
    message.hwnd = GetFocus();
    message.message = WM_KEYDOWN;
    message.wParam = VK_TAB;
    const BOOL taken = TranslateAcceleratorA(MainWindow, AcceleratorTable, &message);
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    return taken;
  }

  HWND tabs_ = nullptr;
};

TEST_F(MainWindowTest, TabOperationsKeepOneSelectedPageShown) {
  enum Op { Add, Remove, Next, Previous, Destroy, Show };
  // Pages: 0 is the About page, 1 to 4 made here; 4 never gets a tab.
  const struct {
    Op op;
    int page;
    BOOL result;
    int selected, shown, count;  // afterwards; shown -1: none
  } steps[] = {
      {Add, 1, TRUE, 1, 1, 2},      {Add, 2, TRUE, 2, 2, 3},      {Add, 3, TRUE, 3, 3, 4},
      {Next, 0, TRUE, 0, 0, 4},     // after the last: the first
      {Previous, 0, TRUE, 3, 3, 4}, // before the first: the last
      {Previous, 0, TRUE, 2, 2, 4},
      {Remove, 1, TRUE, 1, 2, 3},   // another tab: the selection stays on page 2
      {Remove, 2, TRUE, 0, 0, 2},   // the selected tab: About takes over
      {Remove, 4, FALSE, 0, 0, 2},  // no tab stands for page 4
      {Next, 0, TRUE, 1, 3, 2},
      {Destroy, 3, TRUE, 1, -1, 2}, // its tab stays, standing for no window
      {Show, 0, TRUE, 1, -1, 2},
  };
  HWND pages[5] = {AboutPage, NewPage(), NewPage(), NewPage(), NewPage()};
  for (HWND page : pages) ASSERT_TRUE(page);
  int row = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(row++);
    BOOL result = FALSE;
    switch (s.op) {
      case Add: result = AddPageTab("Cable", kDeviceTabImage, pages[s.page]); break;
      case Remove: result = RemovePageTab(pages[s.page]); break;
      case Next: result = PressCtrlTab(false); break;
      case Previous: result = PressCtrlTab(true); break;
      case Destroy: result = DestroyWindow(pages[s.page]); break;
      case Show: result = ShowSelectedPage(MainWindow); break;
    }
    EXPECT_EQ(s.result, result != FALSE);
    EXPECT_EQ(s.selected, Selected());
    EXPECT_EQ(s.count, TabCount());
    if (s.op != Destroy) {
      EXPECT_EQ(s.shown < 0 ? nullptr : pages[s.shown], ShownPage);
    }
    for (int p = 0; p < 5; ++p) {
      if (!IsWindow(pages[p])) continue;
      EXPECT_EQ(p == s.shown, IsWindowVisible(pages[p]) != FALSE) << p;
    }
    if (s.op == Next || s.op == Previous) {
      HWND focus = GetFocus();
      EXPECT_TRUE(focus == ShownPage || IsChild(ShownPage, focus)) << "the keys go to the page";
    }
  }
  // Enter and Escape do not close the window.
  for (WPARAM command : {IDOK, IDCANCEL}) SendMessageA(MainWindow, WM_COMMAND, command, 0);
  EXPECT_TRUE(IsWindowVisible(MainWindow));
}

TEST_F(MainWindowTest, AboutPageShowsTheWholeBannerAndTheDeviceCount) {
  // Wine would shrink the banner into its border; the page makes room.
  RECT client;
  GetClientRect(GetWindow(AboutPage, GW_CHILD), &client);
  EXPECT_EQ(296, client.right);
  EXPECT_EQ(63, client.bottom);

  const struct {
    uint16_t devices;
    const char* text;
  } rows[] = {{1, "\n\n1 device mounted"},
              {65535, "\n\n65535 devices mounted"},
              {0, "\n\nNo device mounted\nPlug in pl2301/2302-cable"}};
  for (const auto& row : rows) {
    DeviceCount = row.devices;
    UpdateDeviceCountText(AboutPage);
    EXPECT_EQ(row.text, Text(GetDlgItem(AboutPage, IDC_DEVICE_COUNT))) << row.devices;
  }
}

TEST_F(MainWindowTest, AttentionFlashesAMinimisedWindowUntilItIsOpened) {
  for (bool minimised : {true, false}) {
    ShowWindow(MainWindow, minimised ? SW_MINIMIZE : SW_RESTORE);
    AttentionFlag.store(1);
    SendMessageA(MainWindow, WM_TIMER, 1, 0);
    EXPECT_EQ(minimised ? 1 : 0, AttentionFlag.load()) << minimised;
  }
  // The window's own timer does the same.
  AttentionFlag.store(1);
  MSG message;
  for (ULONGLONG end = GetTickCount64() + 10000; AttentionFlag.load() && GetTickCount64() < end;)
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    else MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  EXPECT_EQ(0, AttentionFlag.load());
}

TEST_F(MainWindowTest, TooltipsSubclassEachControlOfTheirTable) {
  HWND page = NewPage();
  const TooltipEntry table[] = {{IDC_SAVE_LOG, "Save"}, {IDC_EXECUTE, "Run"}, {0, nullptr}};
  HWND tooltips = CreateTooltips(page, table);
  ASSERT_TRUE(tooltips);
  ASSERT_EQ(2, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
  for (int i = 0; i < 2; ++i) {
    char text[80] = {};
    TTTOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.lpszText = text;
    ASSERT_TRUE(SendMessageA(tooltips, TTM_ENUMTOOLSA, i, reinterpret_cast<LPARAM>(&tool)));
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(GetDlgItem(page, table[i].id)), tool.uId);
    EXPECT_EQ(UINT(TTF_IDISHWND | TTF_SUBCLASS), tool.uFlags & (TTF_IDISHWND | TTF_SUBCLASS));
    EXPECT_STREQ(table[i].text, text);
  }
  DestroyWindow(tooltips);
}

TEST_F(MainWindowTest, SoundsPlayUnlessTurnedOffAndCommonControlsSixAreUsed) {
  for (int i = 0; i < 3; ++i) {
    HRSRC found = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(IDR_SOUND_ADDED + i), "WAVE");
    SoundData[i] = found ? LockResource(LoadResource(ProgramInstance, found)) : nullptr;
  }
  for (uint8_t off : {1, 0}) {
    Settings.soundsOff = off;
    // Wine without an audio driver still reports the sound as started.
    EXPECT_EQ(!off, PlayNotifySound(NotifySound::Error) != FALSE) << int(off);
  }
  for (auto& data : SoundData) data = nullptr;
  // Only the manifest asks for version 6 of the common controls.
  char path[MAX_PATH] = {};
  GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, sizeof path);
  CharLowerA(path);
  EXPECT_NE(nullptr, strstr(path, "microsoft.windows.common-controls_6595b64144ccf1df_6.")) << path;
}

int ThreadWindowCount() {
  int count = 0;
  EnumThreadWindows(
      GetCurrentThreadId(), [](HWND, LPARAM c) -> BOOL { return ++*reinterpret_cast<int*>(c) > 0; },
      reinterpret_cast<LPARAM>(&count));
  return count;
}

// The window a CBT hook refuses to create: its class and whether it is a child.
const char* RefusedClass;
bool RefusedChild;
LRESULT CALLBACK RefuseWindow(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && RefusedClass) {
    const CREATESTRUCTA* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
    char name[64] = {};
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (!lstrcmpiA(name, RefusedClass) && ((create->style & WS_CHILD) != 0) == RefusedChild)
      return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(MainWindowCreateTest, AFailedStepLeavesNoWindowBehind) {
  const struct {
    const char* module;  // whose resources to use; none for the program's
    const char* refusedClass;
    bool refusedChild;
  } rows[] = {
      {"kernel32.dll", nullptr, false},  // no accelerator table 109
      {nullptr, "#32770", false},        // the main window
      {nullptr, "#32770", true},         // the About page
  };
  const HINSTANCE program = ProgramInstance;
  HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseWindow, nullptr, GetCurrentThreadId());
  ASSERT_TRUE(hook);
  const int before = ThreadWindowCount();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.module ? row.module : row.refusedClass);
    ProgramInstance = row.module ? GetModuleHandleA(row.module) : program;
    RefusedClass = row.refusedClass;
    RefusedChild = row.refusedChild;
    EXPECT_FALSE(CreateMainWindow());
    EXPECT_EQ(nullptr, MainWindow);
    EXPECT_EQ(nullptr, TabImageList);
    EXPECT_EQ(before, ThreadWindowCount());
  }
  ProgramInstance = program;
  RefusedClass = nullptr;
  UnhookWindowsHookEx(hook);
  EXPECT_TRUE(CreateMainWindow());
  DestroyMainWindow();
}

}  // namespace
