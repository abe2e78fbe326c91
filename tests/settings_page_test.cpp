// The Settings page made from template 105 under a real main window, driven
// with messages as a user would drive it, reading the record, the controls,
// the swatch bitmaps and the worker's priority back.
#include "config/settings_page.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "config/settings.h"
#include "session/link_worker.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

// The colour of the top-left pixel of a swatch's bitmap.
COLORREF SwatchColour(HWND page, int id) {
  auto bitmap = reinterpret_cast<HBITMAP>(SendDlgItemMessageA(page, id, STM_GETIMAGE, IMAGE_BITMAP, 0));
  if (!bitmap) return CLR_INVALID;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = 16;
  info.bmiHeader.biHeight = 16;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  DWORD pixels[16 * 16] = {};
  HDC dc = GetDC(nullptr);
  const int rows = GetDIBits(dc, bitmap, 0, 16, pixels, &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  if (rows != 16) return CLR_INVALID;
  for (DWORD pixel : pixels)
    if (pixel != pixels[0]) return CLR_INVALID;  // a swatch is one colour
  return RGB(pixels[0] >> 16 & 0xFF, pixels[0] >> 8 & 0xFF, pixels[0] & 0xFF);
}

bool Checked(HWND page, int id) {
  return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Click(HWND page, int id) { SendDlgItemMessageA(page, id, BM_CLICK, 0, 0); }

// Answers the next colour dialog that the page opens, from another thread:
// with a colour typed into its red, green and blue fields and OK, or with
// Cancel. Every wait is bounded; Found() says whether the dialog came.
class ColourDialogAnswer {
 public:
  ColourDialogAnswer(HWND owner, bool choose, COLORREF colour)
      : thread_([=] {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (std::chrono::steady_clock::now() < deadline) {
            HWND dialog = FindDialog(owner);
            if (dialog) {
              found_ = true;
              if (choose) {
                SetDlgItemInt(dialog, kRedField, GetRValue(colour), FALSE);
                SetDlgItemInt(dialog, kGreenField, GetGValue(colour), FALSE);
                SetDlgItemInt(dialog, kBlueField, GetBValue(colour), FALSE);
              }
              SendMessageA(dialog, WM_COMMAND, choose ? IDOK : IDCANCEL, 0);
              return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  ~ColourDialogAnswer() { thread_.join(); }
  bool Found() {
    thread_.join();
    thread_ = std::thread([] {});
    return found_;
  }

 private:
  // The colour dialog's red, green and blue edit fields (comdlg32's ids).
  static constexpr int kRedField = 706, kGreenField = 707, kBlueField = 708;

  // The colour dialog of this process; its owner is the page's top-level
  // window, since a child window owns nothing.
  static HWND FindDialog(HWND) {
    struct Search {
      DWORD process;
      HWND found;
    } search = {GetCurrentProcessId(), nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD process = 0;
          GetWindowThreadProcessId(window, &process);
          if (process != s->process || !GetDlgItem(window, kRedField)) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  std::atomic<bool> found_{false};
  std::thread thread_;
};

class SettingsPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ProgramInstance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(CreateMainWindow());
  }
  static void TearDownTestSuite() {
    if (MainWindow) DestroyWindow(MainWindow);
  }

  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    snprintf(IniPath, kPathChars, "%stavdesk-settings-page-%lu.ini", temp, GetCurrentProcessId());
    DeleteFileA(IniPath);
    SetDefaultSettings();
    SetSharedFolder("C:\\share");
    Settings.readOnly = 1;
    Settings.shareExecFolder = 0;
  }
  void TearDown() override {
    if (SettingsPage) DestroyWindow(SettingsPage);
    DeleteFileA(IniPath);
  }

  HWND Open() {
    EXPECT_TRUE(CreateSettingsPage());
    return SettingsPage;
  }
};

TEST_F(SettingsPageTest, DisableSharingAndExecFolderEnableExactlyTheirControlsAndKeepTheMarks) {
  HWND page = Open();
  ASSERT_TRUE(page);
  const int controls[] = {IDC_READ_ONLY, IDC_SHARE_EXEC_FOLDER, IDC_SHARED_FOLDER_GROUP,
                          IDC_SHARED_FOLDER, IDC_BROWSE};
  struct Row {
    int click;
    bool enabled[5];  // in the order of `controls`
    bool denyAll, shareExecFolder;
  } rows[] = {
      {0, {true, true, true, true, true}, false, false},
      {IDC_DENY_ALL, {false, false, false, false, false}, true, false},
      {IDC_DENY_ALL, {true, true, true, true, true}, false, false},
      {IDC_SHARE_EXEC_FOLDER, {true, true, false, false, false}, false, true},
      {IDC_DENY_ALL, {false, false, false, false, false}, true, true},
      {IDC_DENY_ALL, {true, true, false, false, false}, false, true},
      {IDC_SHARE_EXEC_FOLDER, {true, true, true, true, true}, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.click);
    if (row.click) Click(page, row.click);
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(row.enabled[i], IsWindowEnabled(GetDlgItem(page, controls[i])) != FALSE)
          << controls[i];
    EXPECT_EQ(row.denyAll, Settings.denyAll == 1);
    EXPECT_EQ(row.shareExecFolder, Settings.shareExecFolder == 1);
    EXPECT_EQ(row.shareExecFolder, Checked(page, IDC_SHARE_EXEC_FOLDER));
    // Read only keeps its mark and its value through every change.
    EXPECT_TRUE(Checked(page, IDC_READ_ONLY));
    EXPECT_EQ(1u, Settings.readOnly);
  }
}

TEST_F(SettingsPageTest, LoadedValuesAreShownAndStoredAsTheControlsHoldThem) {
  struct Row {
    uint8_t priority;
    uint32_t flag;
    int button;
    uint8_t storedPriority;
    uint32_t storedFlag;
  } rows[] = {
      {0, 0, IDC_PRIORITY_LOW, 0, 0},    {1, 1, IDC_PRIORITY_MIDDLE, 1, 1},
      {2, 7, IDC_PRIORITY_HIGH, 2, 1},   {3, 0x100, IDC_PRIORITY_HIGH, 2, 1},
      {255, 0xFFFFFFFF, IDC_PRIORITY_HIGH, 2, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.priority);
    Settings.priority = row.priority;
    Settings.denyAll = Settings.readOnly = Settings.soundsOff = row.flag;
    Settings.shareExecFolder = row.flag;
    HWND page = Open();
    ASSERT_TRUE(page);
    EXPECT_TRUE(Checked(page, row.button));
    EXPECT_EQ(row.storedPriority, Settings.priority);
    for (uint32_t stored : {Settings.denyAll, Settings.readOnly, Settings.shareExecFolder,
                            Settings.soundsOff})
      EXPECT_EQ(row.storedFlag, stored);
    EXPECT_STREQ("C:\\share", Settings.sharedFolder);
    DestroyWindow(page);
  }
}

TEST_F(SettingsPageTest, TheFolderFollowsEveryKeystrokeAndKeeps519Characters) {
  HWND page = Open();
  ASSERT_TRUE(page);
  HWND edit = GetDlgItem(page, IDC_SHARED_FOLDER);
  SetWindowTextA(edit, "");
  EXPECT_STREQ("", Settings.sharedFolder);
  const char typed[] = "D:\\x";
  for (size_t i = 0; typed[i]; ++i) {
    SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(typed[i]), 1);
    EXPECT_EQ(std::string(typed, i + 1), Settings.sharedFolder);
  }
  const std::string long520(520, 'f');
  SetWindowTextA(edit, long520.c_str());
  EXPECT_EQ(long520.substr(0, 519), Settings.sharedFolder);
}

TEST_F(SettingsPageTest, OnlyThePriorityButtonsSetTheWorkersPriority) {
  // A parked thread of our own stands in for the worker.
  WorkerThread = CreateThread(nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr,
                              CREATE_SUSPENDED, nullptr);
  ASSERT_TRUE(WorkerThread);
  HWND page = Open();
  ASSERT_TRUE(page);
  struct Row {
    int click;
    int priority;  // expected afterwards
  } rows[] = {
      {IDC_PRIORITY_LOW, THREAD_PRIORITY_BELOW_NORMAL},
      {IDC_PRIORITY_HIGH, THREAD_PRIORITY_ABOVE_NORMAL},
      {IDC_PRIORITY_MIDDLE, THREAD_PRIORITY_NORMAL},
      {IDC_SOUNDS_OFF, THREAD_PRIORITY_IDLE},
      {IDC_DENY_ALL, THREAD_PRIORITY_IDLE},
      {IDC_SHARE_EXEC_FOLDER, THREAD_PRIORITY_IDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.click);
    SetThreadPriority(WorkerThread, THREAD_PRIORITY_IDLE);
    Click(page, row.click);
    EXPECT_EQ(row.priority, GetThreadPriority(WorkerThread));
  }
  TerminateThread(WorkerThread, 0);
  CloseHandle(WorkerThread);
  WorkerThread = nullptr;
}

TEST_F(SettingsPageTest, ColourDialogCancelledChangesNothingChosenRepaintsOnlyItsSwatch) {
  HWND page = Open();
  ASSERT_TRUE(page);
  const int swatches[3] = {IDC_TEXT_SWATCH, IDC_ERROR_SWATCH, IDC_NOTIFY_SWATCH};
  COLORREF before[3];
  for (int i = 0; i < 3; ++i) {
    before[i] = SwatchColour(page, swatches[i]);
    EXPECT_EQ(Settings.colours[i], before[i]) << i;
  }
  {
    ColourDialogAnswer cancel(page, false, 0);
    Click(page, IDC_NOTIFY_COLOUR);
    ASSERT_TRUE(cancel.Found());
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(before[i], SwatchColour(page, swatches[i])) << i;
  EXPECT_EQ(RGB(0, 0, 160), Settings.colours[LogNotice]);

  const COLORREF chosen = RGB(12, 200, 34);
  {
    ColourDialogAnswer choose(page, true, chosen);
    Click(page, IDC_NOTIFY_COLOUR);
    ASSERT_TRUE(choose.Found());
  }
  EXPECT_EQ(chosen, Settings.colours[LogNotice]);
  EXPECT_EQ(chosen, SwatchColour(page, IDC_NOTIFY_SWATCH));
  EXPECT_EQ(before[LogText], SwatchColour(page, IDC_TEXT_SWATCH));
  EXPECT_EQ(before[LogError], SwatchColour(page, IDC_ERROR_SWATCH));
}

TEST_F(SettingsPageTest, TheTabComesWithThePageAndTheRecordIsStoredWhenItGoes) {
  HWND tabs = GetDlgItem(MainWindow, IDC_PAGE_TABS);
  const LRESULT tabsBefore = SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0);
  HWND page = Open();
  ASSERT_TRUE(page);
  ASSERT_EQ(tabsBefore + 1, SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  TCITEMA item = {};
  char title[32] = {};
  item.mask = TCIF_TEXT | TCIF_IMAGE | TCIF_PARAM;
  item.pszText = title;
  item.cchTextMax = sizeof title;
  SendMessageA(tabs, TCM_GETITEMA, tabsBefore, reinterpret_cast<LPARAM>(&item));
  EXPECT_STREQ("Settings", title);
  EXPECT_EQ(kSettingsTabImage, item.iImage);
  EXPECT_EQ(reinterpret_cast<LPARAM>(page), item.lParam);

  Click(page, IDC_SOUNDS_OFF);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(IniPath));
  const SettingsRecord shown = Settings;
  DestroyWindow(page);
  EXPECT_EQ(nullptr, SettingsPage);
  EXPECT_EQ(tabsBefore, SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  memset(&Settings, 0, sizeof Settings);
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(0, memcmp(&shown, &Settings, sizeof Settings));
  EXPECT_EQ(1u, Settings.soundsOff);
}

}  // namespace
