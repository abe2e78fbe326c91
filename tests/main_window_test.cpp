// The main window made by CreateMainWindow from the real resources, driven
// with messages: its tabs and pages, the accelerators, the About page's
// texts, the attention rule, the tooltips and the notification sounds.
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "session/device_record.h"
#include "ui/resource.h"

namespace {

INT_PTR CALLBACK PlainPageProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// A page from the device page's template, which has controls that take the
// focus, with a procedure that does nothing of its own.
HWND NewPage() {
  return CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), MainWindow,
                            PlainPageProc, 0);
}

bool Visible(HWND page) { return (GetWindowLongA(page, GWL_STYLE) & WS_VISIBLE) != 0; }

std::string Text(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
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

  // What the program's WM_DESTROY does for the window's state.
  void TearDown() override {
    if (MainWindow) DestroyWindow(MainWindow);
    MainWindow = nullptr;
    ShownPage = nullptr;
    ImageList_Destroy(TabImageList);
    TabImageList = nullptr;
    DeviceCount = 0;
  }

  int Selected() const { return static_cast<int>(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0)); }
  int TabCount() const { return static_cast<int>(SendMessageA(tabs_, TCM_GETITEMCOUNT, 0, 0)); }

  HWND tabs_ = nullptr;
};

TEST_F(MainWindowTest, TabOperationsKeepOneSelectedPageShown) {
  enum Op { Add, Remove, Cycle, Destroy, Show };
  // Pages: 0 is the About page, 1 to 4 made here; 4 never gets a tab.
  const struct {
    Op op;
    int page;
    int step;
    BOOL result;
    int selected;  // tab index afterwards
    int shown;     // page shown afterwards, -1 none
    int count;     // tabs afterwards
  } steps[] = {
      {Add, 1, 0, TRUE, 1, 1, 2},
      {Add, 2, 0, TRUE, 2, 2, 3},
      {Add, 3, 0, TRUE, 3, 3, 4},
      {Remove, 1, 0, TRUE, 2, 3, 3},    // another tab: the selection stays on page 3
      {Remove, 3, 0, TRUE, 0, 0, 2},    // the selected tab: About takes over
      {Remove, 4, 0, FALSE, 0, 0, 2},   // no tab stands for page 4
      {Remove, 1, 0, FALSE, 0, 0, 2},   // its tab is already gone
      {Cycle, 0, -1, TRUE, 1, 2, 2},    // before the first: the last
      {Cycle, 0, +1, TRUE, 0, 0, 2},    // after the last: the first
      {Cycle, 0, +1, TRUE, 1, 2, 2},
      {Destroy, 2, 0, TRUE, 1, -1, 2},  // its tab stays, standing for no window
      {Show, 0, 0, TRUE, 1, -1, 2},
      {Cycle, 0, +1, TRUE, 0, 0, 2},
  };
  HWND pages[5] = {AboutPage, NewPage(), NewPage(), NewPage(), NewPage()};
  for (HWND page : pages) ASSERT_TRUE(page);
  ASSERT_EQ(0, Selected());
  ASSERT_EQ(AboutPage, ShownPage);

  int row = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(row++);
    BOOL result = FALSE;
    switch (s.op) {
      case Add: result = AddPageTab("Cable", kDeviceTabImage, pages[s.page]); break;
      case Remove: result = RemovePageTab(pages[s.page]); break;
      case Cycle: result = CyclePageTab(MainWindow, s.step); break;
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
      if (IsWindow(pages[p])) {
        EXPECT_EQ(p == s.shown, Visible(pages[p])) << "page " << p;
      }
    }
    if (s.op == Cycle) {
      HWND focus = GetFocus();
      EXPECT_TRUE(focus == ShownPage || IsChild(ShownPage, focus));
    }
  }
}

TEST_F(MainWindowTest, ShownPageSitsInsideTheTabDisplayArea) {
  RECT display;
  GetClientRect(tabs_, &display);
  SendMessageA(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  MapWindowPoints(tabs_, MainWindow, reinterpret_cast<POINT*>(&display), 2);
  RECT page;
  GetWindowRect(AboutPage, &page);
  MapWindowPoints(nullptr, MainWindow, reinterpret_cast<POINT*>(&page), 2);
  EXPECT_GE(page.left, display.left);
  EXPECT_GE(page.top, display.top);
  EXPECT_LE(page.right, display.right);
  EXPECT_LE(page.bottom, display.bottom);
}

TEST_F(MainWindowTest, AcceleratorsCycleFromInsideAPageAndEnterAndEscapeDoNothing) {
  HWND page = NewPage();
  ASSERT_TRUE(AddPageTab("Cable", kDeviceTabImage, page));
  HWND button = GetDlgItem(page, IDC_SAVE_LOG);
  BYTE keys[256] = {};

  const struct {
    bool shift;
    int selected;
    HWND shown;
  } rows[] = {{false, 0, AboutPage}, {false, 1, page}, {true, 0, AboutPage}, {true, 1, page}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.selected);
    SetFocus(button);
    ASSERT_EQ(button, GetFocus());
    keys[VK_CONTROL] = 0x80;
    keys[VK_SHIFT] = row.shift ? 0x80 : 0;
    SetKeyboardState(keys);
    MSG message = {};
    message.hwnd = button;
    message.message = WM_KEYDOWN;
    message.wParam = VK_TAB;
    EXPECT_NE(0, TranslateAcceleratorA(MainWindow, AcceleratorTable, &message));
    EXPECT_EQ(row.selected, Selected());
    EXPECT_EQ(row.shown, ShownPage);
    HWND focus = GetFocus();
    EXPECT_TRUE(focus == ShownPage || IsChild(ShownPage, focus));
  }
  keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);

  for (WPARAM command : {IDOK, IDCANCEL}) {
    SendMessageA(MainWindow, WM_COMMAND, command, 0);
    EXPECT_TRUE(IsWindowVisible(MainWindow)) << command;
    EXPECT_EQ(1, Selected());
    EXPECT_EQ(2, TabCount());
    EXPECT_EQ(page, ShownPage);
  }
}

TEST_F(MainWindowTest, BannerShowsAtItsRealSizeInsideItsBorder) {
  // The dialog manager turns the template's WS_BORDER into a client edge.
  HWND banner = GetWindow(AboutPage, GW_CHILD);
  RECT frame, client;
  GetWindowRect(banner, &frame);
  GetClientRect(banner, &client);
  EXPECT_GT(frame.right - frame.left, client.right);
  EXPECT_EQ(296, client.right);
  EXPECT_EQ(63, client.bottom);
  // And the tab strip splits into its three images.
  EXPECT_EQ(3, ImageList_GetImageCount(TabImageList));
}

TEST_F(MainWindowTest, AboutPageShowsTheDeviceCount) {
  HWND count = GetDlgItem(AboutPage, IDC_DEVICE_COUNT);
  EXPECT_EQ("\n\nNo device mounted\nPlug in pl2301/2302-cable", Text(count));
  const struct {
    uint16_t devices;
    const char* text;
  } rows[] = {{1, "\n\n1 device mounted"},
              {2, "\n\n2 devices mounted"},
              {65535, "\n\n65535 devices mounted"},
              {0, "\n\nNo device mounted\nPlug in pl2301/2302-cable"}};
  for (const auto& row : rows) {
    DeviceCount = row.devices;
    UpdateDeviceCountText(AboutPage);
    EXPECT_EQ(row.text, Text(count)) << row.devices;
  }
}

// Counts WM_NCACTIVATE, which a flash of a window that is not minimised sends.
WNDPROC OriginalMainProc;
int CaptionChanges;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCACTIVATE) ++CaptionChanges;
  return CallWindowProcA(OriginalMainProc, window, message, wParam, lParam);
}

TEST_F(MainWindowTest, AttentionTickFlashesOnlyAMinimisedWindowAndClearsOnceSeen) {
  // Wine flashes a minimised window by changing its caption state without a
  // message, so for that row only the kept flag shows the flash.
  const struct {
    bool minimised;
    LONG flag;
    LONG flagAfter;
    int captionChanges;  // -1: not observable
  } rows[] = {{false, 0, 0, 0}, {true, 0, 0, -1}, {false, 1, 0, 1}, {true, 1, 1, -1}};
  OriginalMainProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(MainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.minimised << " " << row.flag);
    ShowWindow(MainWindow, row.minimised ? SW_MINIMIZE : SW_RESTORE);
    ASSERT_EQ(row.minimised, IsIconic(MainWindow) != FALSE);
    AttentionFlag.store(row.flag);
    CaptionChanges = 0;
    SendMessageA(MainWindow, WM_TIMER, 1, 0);
    EXPECT_EQ(row.flagAfter, AttentionFlag.load());
    if (row.captionChanges >= 0) {
      EXPECT_EQ(row.captionChanges, CaptionChanges);
    }
  }
  SetWindowLongPtrA(MainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OriginalMainProc));
}

TEST_F(MainWindowTest, TheWindowsOwnTimerClearsTheFlag) {
  AttentionFlag.store(1);
  MSG message;
  DWORD start = GetTickCount();
  while (AttentionFlag.load() && GetTickCount() - start < 10000) {
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageA(&message);
    else
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  }
  EXPECT_EQ(0, AttentionFlag.load());
}

TEST_F(MainWindowTest, TooltipsHaveOneToolPerEntry) {
  HWND page = NewPage();
  const TooltipEntry table[] = {{IDC_SAVE_LOG, "Save"}, {IDC_CLEAR_LOG, "Clear"},
                                {IDC_EXECUTE, "Run"}, {0, nullptr}};
  HWND tooltips = CreateTooltips(page, table);
  ASSERT_TRUE(tooltips);
  ASSERT_EQ(3, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
  for (int i = 0; i < 3; ++i) {
    char text[80] = {};
    TTTOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.lpszText = text;
    ASSERT_TRUE(SendMessageA(tooltips, TTM_ENUMTOOLSA, i, reinterpret_cast<LPARAM>(&tool)));
    EXPECT_EQ(page, tool.hwnd);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(GetDlgItem(page, table[i].id)), tool.uId);
    EXPECT_EQ(UINT(TTF_IDISHWND | TTF_SUBCLASS), tool.uFlags & (TTF_IDISHWND | TTF_SUBCLASS));
    EXPECT_STREQ(table[i].text, text);
  }
  DestroyWindow(tooltips);

  HWND saved = MainWindow;
  MainWindow = nullptr;
  EXPECT_EQ(nullptr, CreateTooltips(page, table));
  MainWindow = saved;
}

const void* WaveResource(int id, DWORD* size) {
  HRSRC found = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(id), "WAVE");
  if (!found) return nullptr;
  *size = SizeofResource(ProgramInstance, found);
  return LockResource(LoadResource(ProgramInstance, found));
}

TEST_F(MainWindowTest, SoundsPlayUnlessTurnedOff) {
  DWORD size;
  for (int i = 0; i < 3; ++i) SoundData[i] = WaveResource(IDR_SOUND_ADDED + i, &size);
  for (NotifySound sound : {NotifySound::DeviceAdded, NotifySound::DeviceRemoved, NotifySound::Error}) {
    Settings.soundsOff = 1;
    EXPECT_EQ(0, PlayNotifySound(sound));
    Settings.soundsOff = 0;
    // Wine without an audio driver still reports the sound as started.
    EXPECT_NE(0, PlayNotifySound(sound));
  }
  for (auto& data : SoundData) data = nullptr;
}

struct Wave {
  bool ok = false;
  uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
  uint32_t rate = 0, byteRate = 0;
  std::vector<int16_t> samples;
};

// Walks the RIFF chunks of a resource, trusting none of its sizes.
Wave ParseWave(const uint8_t* bytes, DWORD size) {
  Wave wave;
  auto u32 = [&](DWORD at) { return *reinterpret_cast<const uint32_t*>(bytes + at); };
  if (size < 12 || memcmp(bytes, "RIFF", 4) || u32(4) != size - 8 || memcmp(bytes + 8, "WAVE", 4))
    return wave;
  bool fmt = false;
  for (DWORD at = 12; at + 8 <= size;) {
    uint32_t length = u32(at + 4);
    if (length > size - at - 8) return wave;
    const uint8_t* body = bytes + at + 8;
    if (!memcmp(bytes + at, "fmt ", 4) && length >= 16) {
      memcpy(&wave.format, body, 2);
      memcpy(&wave.channels, body + 2, 2);
      memcpy(&wave.rate, body + 4, 4);
      memcpy(&wave.byteRate, body + 8, 4);
      memcpy(&wave.blockAlign, body + 12, 2);
      memcpy(&wave.bits, body + 14, 2);
      fmt = true;
    } else if (!memcmp(bytes + at, "data", 4)) {
      wave.samples.resize(length / 2);
      memcpy(wave.samples.data(), body, wave.samples.size() * 2);
    }
    at += 8 + length + (length & 1);
  }
  wave.ok = fmt && !wave.samples.empty();
  return wave;
}

int ZeroCrossings(const std::vector<int16_t>& samples, size_t from, size_t to) {
  int count = 0;
  for (size_t i = from + 1; i < to; ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
  return count;
}

TEST_F(MainWindowTest, EachSoundIsShortMonoPcmThatAUserTellsApart) {
  enum Pitch { Rising, Falling, Low };
  const struct {
    int id;
    Pitch pitch;
  } rows[] = {{IDR_SOUND_ADDED, Rising}, {IDR_SOUND_REMOVED, Falling}, {IDR_SOUND_ERROR, Low}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    DWORD size = 0;
    const void* data = WaveResource(row.id, &size);
    ASSERT_TRUE(data);
    Wave wave = ParseWave(static_cast<const uint8_t*>(data), size);
    ASSERT_TRUE(wave.ok);
    EXPECT_EQ(1, wave.format);  // PCM
    EXPECT_EQ(1, wave.channels);
    EXPECT_EQ(22050u, wave.rate);
    EXPECT_EQ(16, wave.bits);
    EXPECT_EQ(2, wave.blockAlign);
    EXPECT_EQ(44100u, wave.byteRate);
    double seconds = wave.samples.size() / 22050.0;
    EXPECT_GT(seconds, 0.7);
    EXPECT_LT(seconds, 0.9);
    // No click: the sound starts and ends at silence.
    EXPECT_LE(abs(wave.samples.front()), 16);
    EXPECT_LE(abs(wave.samples.back()), 16);
    // Zero crossings per half follow the pitch.
    size_t half = wave.samples.size() / 2;
    int first = ZeroCrossings(wave.samples, 0, half);
    int second = ZeroCrossings(wave.samples, half, wave.samples.size());
    if (row.pitch == Rising) {
      EXPECT_GT(second, first);
    } else if (row.pitch == Falling) {
      EXPECT_LT(second, first);
    }
    // The chimes ring at 500 Hz and above, the buzz around 100 Hz.
    double perSecond = (first + second) / seconds;
    if (row.pitch == Low) {
      EXPECT_LT(perSecond, 400);
    } else {
      EXPECT_GT(perSecond, 800);
    }
  }
}

// Every window that the test thread owns at the top level.
int ThreadWindowCount() {
  int count = 0;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND, LPARAM c) {
        ++*reinterpret_cast<int*>(c);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  return count;
}

// The window that the CBT hook refuses to create: a class and whether it is
// a child, or no class to refuse nothing.
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
      {nullptr, "SysTabControl32", true},
      {nullptr, "#32770", true},         // the About page
  };
  HINSTANCE program = ProgramInstance;
  HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseWindow, nullptr, GetCurrentThreadId());
  ASSERT_TRUE(hook);
  int before = ThreadWindowCount();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.module ? row.module : row.refusedClass);
    ProgramInstance = row.module ? GetModuleHandleA(row.module) : program;
    RefusedClass = row.refusedClass;
    RefusedChild = row.refusedChild;
    EXPECT_FALSE(CreateMainWindow());
    EXPECT_EQ(nullptr, MainWindow);
    EXPECT_EQ(nullptr, AboutPage);
    EXPECT_EQ(nullptr, TabImageList);
    EXPECT_EQ(before, ThreadWindowCount());
  }
  ProgramInstance = program;
  RefusedClass = nullptr;
  ASSERT_TRUE(CreateMainWindow());
  EXPECT_TRUE(AboutPage);
  DestroyWindow(MainWindow);
  MainWindow = nullptr;
  ShownPage = nullptr;
  ImageList_Destroy(TabImageList);
  TabImageList = nullptr;
  UnhookWindowsHookEx(hook);
}

}  // namespace

namespace {

std::string VersionString(const char* exe, const char* name) {
  std::vector<char> block(GetFileVersionInfoSizeA(exe, nullptr));
  if (block.empty() || !GetFileVersionInfoA(exe, 0, static_cast<DWORD>(block.size()), block.data()))
    return {};
  char* value = nullptr;
  UINT length = 0;
  std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
    return {};
  return std::string(value, strnlen(value, length));
}

TEST_F(MainWindowTest, AboutPageNamesTheVersionOfTheVersionResource) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string version = VersionString(exe, "ProductVersion");
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(version, VersionString(exe, "FileVersion"));
  EXPECT_EQ("Tavdesk", VersionString(exe, "ProductName"));
  // The second control: the one below the banner.
  HWND text = GetWindow(GetWindow(AboutPage, GW_CHILD), GW_HWNDNEXT);
  EXPECT_EQ("\n\nTavdesk version " + version, Text(text));
}

TEST_F(MainWindowTest, ManifestBringsCommonControlsSix) {
  // The common controls come from the side-by-side store's version 6, which
  // only the manifest asks for; without it the system folder's version 5 loads.
  char path[MAX_PATH] = {};
  GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, sizeof path);
  CharLowerA(path);
  EXPECT_NE(nullptr, strstr(path, "microsoft.windows.common-controls_6595b64144ccf1df_6.")) << path;
}

}  // namespace
