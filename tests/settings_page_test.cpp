// The Settings page made from template 105 under the real main window,
// driven with messages as a user would drive it, reading the record, the
// controls, the swatch bitmaps and the worker's priority back.
#include "config/settings_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/settings.h"
#include "session/link_worker.h"
#include "tests/support/worker_fixture.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

// The colour of a swatch's bitmap; CLR_INVALID unless it is all one colour.
COLORREF SwatchColour(HWND page, int id) {
  auto bitmap = reinterpret_cast<HBITMAP>(SendDlgItemMessageA(page, id, STM_GETIMAGE, IMAGE_BITMAP, 0));
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof info.bmiHeader, 16, 16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  DWORD pixels[16 * 16] = {};
  HDC dc = GetDC(nullptr);
  const int rows = bitmap ? GetDIBits(dc, bitmap, 0, 16, pixels, &info, DIB_RGB_COLORS) : 0;
  ReleaseDC(nullptr, dc);
  for (DWORD pixel : pixels)
    if (rows != 16 || pixel != pixels[0]) return CLR_INVALID;
  return RGB(pixels[0] >> 16 & 0xFF, pixels[0] >> 8 & 0xFF, pixels[0] & 0xFF);
}

bool Checked(HWND page, int id) { return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
void Click(HWND page, int id) { SendDlgItemMessageA(page, id, BM_CLICK, 0, 0); }

class SettingsPageTest : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::snprintf(IniPath, kPathChars, "%stavdesk-settings-page-%lu.ini", temp, GetCurrentProcessId());
    DeleteFileA(IniPath);
    SetSharedFolder("C:\\share");
    Settings.readOnly = 1;
    Settings.shareExecFolder = 0;
  }
  void TearDown() override {
    if (SettingsPage) DestroyWindow(SettingsPage);
    DeleteFileA(IniPath);
    WorkerTest::TearDown();
  }

  HWND Open() {
    EXPECT_TRUE(CreateSettingsPage());
    return SettingsPage;
  }
};

// Each click enables exactly its controls and keeps the marks; only the
// priority buttons set the worker's priority (idle before every click).
TEST_F(SettingsPageTest, EachClickEnablesItsControlsAndOnlyPriorityButtonsSetThePriority) {
  HWND page = Open();
  ASSERT_TRUE(page);
  const int controls[] = {IDC_READ_ONLY, IDC_SHARE_EXEC_FOLDER, IDC_SHARED_FOLDER_GROUP,
                          IDC_SHARED_FOLDER, IDC_BROWSE};
  const struct Row {
    int click;
    bool enabled[5];  // in the order of `controls`
    bool denyAll, shareExecFolder;
    int priority;  // afterwards
  } rows[] = {
      {IDC_DENY_ALL, {false, false, false, false, false}, true, false, THREAD_PRIORITY_IDLE},
      {IDC_DENY_ALL, {true, true, true, true, true}, false, false, THREAD_PRIORITY_IDLE},
      {IDC_SHARE_EXEC_FOLDER, {true, true, false, false, false}, false, true, THREAD_PRIORITY_IDLE},
      {IDC_SHARE_EXEC_FOLDER, {true, true, true, true, true}, false, false, THREAD_PRIORITY_IDLE},
      {IDC_PRIORITY_LOW, {true, true, true, true, true}, false, false, THREAD_PRIORITY_BELOW_NORMAL},
      {IDC_PRIORITY_HIGH, {true, true, true, true, true}, false, false, THREAD_PRIORITY_ABOVE_NORMAL},
      {IDC_PRIORITY_MIDDLE, {true, true, true, true, true}, false, false, THREAD_PRIORITY_NORMAL},
      {IDC_SOUNDS_OFF, {true, true, true, true, true}, false, false, THREAD_PRIORITY_IDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.click);
    SetThreadPriority(WorkerThread, THREAD_PRIORITY_IDLE);
    Click(page, row.click);
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(row.enabled[i], IsWindowEnabled(GetDlgItem(page, controls[i])) != FALSE) << controls[i];
    EXPECT_EQ(row.denyAll, Settings.denyAll == 1);
    EXPECT_EQ(row.shareExecFolder, Settings.shareExecFolder == 1);
    EXPECT_EQ(row.priority, GetThreadPriority(WorkerThread));
    // Read only keeps its mark and its value through every change.
    EXPECT_TRUE(Checked(page, IDC_READ_ONLY));
    EXPECT_EQ(1u, Settings.readOnly);
  }
  // The last click turned the sounds off.
  EXPECT_FALSE(PlayNotifySound(NotifySound::Error));
  EXPECT_TRUE(sounds_.Take().empty());
}

TEST_F(SettingsPageTest, LoadedValuesAreShownAndStoredAsTheControlsHoldThem) {
  const struct Row {
    uint8_t priority;
    uint32_t flag;
    int button;
    uint8_t storedPriority;
    uint32_t storedFlag;
  } rows[] = {{0, 0, IDC_PRIORITY_LOW, 0, 0},
              {1, 1, IDC_PRIORITY_MIDDLE, 1, 1},
              {255, 0xFFFFFFFF, IDC_PRIORITY_HIGH, 2, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.priority);
    Settings.priority = row.priority;
    Settings.denyAll = Settings.readOnly = Settings.soundsOff = Settings.shareExecFolder = row.flag;
    HWND page = Open();
    ASSERT_TRUE(page);
    EXPECT_TRUE(Checked(page, row.button));
    EXPECT_EQ(row.storedPriority, Settings.priority);
    for (uint32_t stored : {Settings.denyAll, Settings.readOnly, Settings.shareExecFolder, Settings.soundsOff})
      EXPECT_EQ(row.storedFlag, stored);
    EXPECT_STREQ("C:\\share", Settings.sharedFolder);
    DestroyWindow(page);
  }
}

// The folder follows every keystroke, keeps 519 characters, and is stored
// when the page goes.
TEST_F(SettingsPageTest, TheFolderFollowsEveryKeystrokeAndIsStoredWhenThePageGoes) {
  HWND page = Open();
  ASSERT_TRUE(page);
  HWND edit = GetDlgItem(page, IDC_SHARED_FOLDER);
  SetWindowTextA(edit, "");
  for (char c : {'D', ':'}) SendMessageA(edit, WM_CHAR, c, 1);
  EXPECT_STREQ("D:", Settings.sharedFolder);
  SetWindowTextA(edit, std::string(520, 'f').c_str());
  EXPECT_EQ(std::string(519, 'f'), Settings.sharedFolder);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(IniPath));
  DestroyWindow(page);
  EXPECT_EQ(nullptr, SettingsPage);
  SetSharedFolder("");
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(std::string(519, 'f'), Settings.sharedFolder);
}

TEST_F(SettingsPageTest, AChosenColourRepaintsOnlyItsSwatch) {
  HWND page = Open();
  ASSERT_TRUE(page);
  const COLORREF chosen = RGB(12, 200, 34);
  // comdlg32's red, green and blue fields are 706 to 708.
  ASSERT_TRUE(AnswerDialog(706, [&] { Click(page, IDC_NOTIFY_COLOUR); }, [chosen](HWND dialog) {
    for (int i = 0; i < 3; ++i) SetDlgItemInt(dialog, 706 + i, chosen >> 8 * i & 0xFF, FALSE);
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  }));
  EXPECT_EQ(chosen, Settings.colours[LogNotice]);
  const int swatches[3] = {IDC_TEXT_SWATCH, IDC_ERROR_SWATCH, IDC_NOTIFY_SWATCH};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Settings.colours[i], SwatchColour(page, swatches[i])) << i;
}

}  // namespace
