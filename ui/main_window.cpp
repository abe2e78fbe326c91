// The main window and its tabs: creation in order of dependence, the window's
// dialog procedure, the About page, the tab and tooltip operations, the
// attention flash and the notification sounds. UI thread only; the worker
// sets the AttentionFlag that the flash reads.
#include "ui/main_window.h"

#include <mmsystem.h>

#include <cstdio>

#include "config/settings.h"
#include "session/device_record.h"
#include "session/link_worker.h"
#include "session/stall_watchdog.h"
#include "ui/command_line.h"
#include "ui/program.h"
#include "ui/resource.h"

// All of these are written by the UI thread only.
// The entry point sets ProgramInstance again from its argument: the same module.
HINSTANCE ProgramInstance = GetModuleHandleA(nullptr);
HWND MainWindow = nullptr;
HWND AboutPage = nullptr;
HWND SettingsPage = nullptr;
HWND ShownPage = nullptr;
POINT PageOrigin = {0, 0};
HACCEL AcceleratorTable = nullptr;
HIMAGELIST TabImageList = nullptr;
HMODULE RichEditLibrary = nullptr;
const void* SoundData[3] = {nullptr, nullptr, nullptr};

namespace {

constexpr UINT_PTR kAttentionTimer = 1;
constexpr UINT_PTR kScanTimer = 2;  // the cable scan and shutdown tick
constexpr UINT_PTR kStallTimer = 3;  // the worker's stalled driver calls
constexpr UINT kAttentionPeriodMs = 900;
constexpr COLORREF kTabImageMask = RGB(0, 128, 128);

HWND TabControl(HWND mainWindow) {
  return mainWindow ? GetDlgItem(mainWindow, IDC_PAGE_TABS) : nullptr;
}

// The page a tab stands for, kept as the tab's item data.
HWND TabPage(HWND tabs, int index) {
  TCITEMA item = {};
  item.mask = TCIF_PARAM;
  if (!SendMessageA(tabs, TCM_GETITEMA, index, reinterpret_cast<LPARAM>(&item))) return nullptr;
  return reinterpret_cast<HWND>(item.lParam);
}

// winmm.dll is not a Known DLL: importing it would let a DLL of that name in
// the program's folder (the console's default shared folder) run in our
// process, so PlaySoundA is taken from the system folder when first needed.
using PlaySoundProc = BOOL(WINAPI*)(LPCSTR, HMODULE, DWORD);

PlaySoundProc SystemPlaySound() {
  static const PlaySoundProc proc = [] {
    HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC found = winmm ? GetProcAddress(winmm, "PlaySoundA") : nullptr;
    return reinterpret_cast<PlaySoundProc>(reinterpret_cast<void (*)()>(found));
  }();
  return proc;
}

// While the window is minimised the flag stays set, so the caption and the
// taskbar button change state on every tick until the user looks; an event
// seen while the window is open costs one tick and no visible flash.
void ApplyAttentionRule(HWND window) {
  if (!AttentionFlag.load()) return;
  if (IsIconic(window)) {
    FlashWindow(window, TRUE);
  } else {
    FlashWindow(window, FALSE);
    AttentionFlag.store(0);
  }
}

BOOL MainWindow_OnInitDialog(HWND window) {
  HWND tabs = TabControl(window);
  SendMessageA(tabs, TCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(TabImageList));
  SetClassLongPtrA(window, GCLP_HICON,
                   reinterpret_cast<LONG_PTR>(LoadIconA(ProgramInstance, MAKEINTRESOURCEA(IDI_PROGRAM))));
  SetWindowLongA(tabs, GWL_STYLE, GetWindowLongA(tabs, GWL_STYLE) | WS_TABSTOP);
  SetTimer(window, kAttentionTimer, kAttentionPeriodMs, nullptr);
  // Whether or not the UI waits on the worker, one console stopping inside
  // a packet must not hold the other cables.
  SetTimer(window, kStallTimer, kStallCheckPeriodMs, nullptr);
  return TRUE;
}

INT_PTR MainWindow_OnCommand(HWND window, WORD command) {
  switch (command) {
    case IDM_NEXT_TAB:
      CyclePageTab(window, +1);
      return TRUE;
    case IDM_PREVIOUS_TAB:
      CyclePageTab(window, -1);
      return TRUE;
    case IDM_LOG_FIND:
    case IDM_LOG_FIND_NEXT:
      // Find works on the log of the device page shown, if one is.
      if (PageRecord(ShownPage)) SendMessageA(ShownPage, WM_COMMAND, command, 0);
      return TRUE;
  }
  // Escape and Enter (IDCANCEL, IDOK) land here too and do nothing.
  return FALSE;
}

INT_PTR MainWindow_OnTimer(HWND window, UINT_PTR timer) {
  if (timer == kAttentionTimer) ApplyAttentionRule(window);
  if (timer == kScanTimer) return MainWindow_OnTick(window);
  if (timer == kStallTimer) CancelStalledCall(WorkerThread);
  return TRUE;
}

// What CreateMainWindow made before a later step failed.
void UndoMainWindow() {
  if (MainWindow) DestroyWindow(MainWindow);
  MainWindow = nullptr;
  AboutPage = nullptr;
  ShownPage = nullptr;
  if (TabImageList) ImageList_Destroy(TabImageList);
  TabImageList = nullptr;
  AcceleratorTable = nullptr;
}

// The banner is shown at its real size inside its border. Wine sizes a
// picture static's window, border included, to the bitmap and then shrinks
// the bitmap into the smaller client area, which drops rows and columns; so
// the page sizes the client area itself (on Windows it is that size already).
void FitBannerToBitmap(HWND page) {
  HWND banner = GetWindow(page, GW_CHILD);
  BITMAP bitmap;
  HGDIOBJ image = reinterpret_cast<HGDIOBJ>(SendMessageA(banner, STM_GETIMAGE, IMAGE_BITMAP, 0));
  if (!image || !GetObjectA(image, sizeof bitmap, &bitmap)) return;
  RECT frame = {0, 0, bitmap.bmWidth, bitmap.bmHeight};
  AdjustWindowRectEx(&frame, GetWindowLongA(banner, GWL_STYLE), FALSE,
                     GetWindowLongA(banner, GWL_EXSTYLE));
  SetWindowPos(banner, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL AboutPage_OnInitDialog(HWND page) {
  FitBannerToBitmap(page);
  UpdateDeviceCountText(page);
  return TRUE;
}

}  // namespace

HMODULE LoadRichEditLibrary() {
  // From the system folder only, for the same reason as winmm.dll.
  if (!RichEditLibrary)
    RichEditLibrary = LoadLibraryExA("RICHED32.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RichEditLibrary;
}

BOOL CreateMainWindow() {
  // RICHED32.DLL (with the OLE DLLs it brings, 33 to 270 ms to load here)
  // waits for the first device page, so that the window shows without it.
  InitCommonControls();
  AcceleratorTable = LoadAcceleratorsA(ProgramInstance, MAKEINTRESOURCEA(IDR_ACCELERATORS));
  if (!AcceleratorTable) return FALSE;
  TabImageList = ImageList_LoadImageA(ProgramInstance, MAKEINTRESOURCEA(IDB_TAB_IMAGES), 16, 0,
                                      kTabImageMask, IMAGE_BITMAP, 0);
  MainWindow = TabImageList ? CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_MAIN_WINDOW),
                                                 nullptr, MainWindowProc, 0)
                            : nullptr;
  if (MainWindow) {
    AboutPage = CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_ABOUT_PAGE), MainWindow,
                                   AboutPageProc, 0);
  }
  if (!AboutPage || !AddPageTab("About", kAboutTabImage, AboutPage)) {
    UndoMainWindow();
    return FALSE;
  }
  return TRUE;
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return MainWindow_OnInitDialog(window);
    case WM_COMMAND:
      return MainWindow_OnCommand(window, LOWORD(wParam));
    case WM_NOTIFY:
      if (reinterpret_cast<NMHDR*>(lParam)->code != TCN_SELCHANGE) return FALSE;
      return ShowSelectedPage(window);
    case WM_TIMER:
      return MainWindow_OnTimer(window, wParam);
    case WM_CLOSE:
      return MainWindow_OnClose(window);
    case WM_DESTROY:
      return MainWindow_OnDestroy(window);
    case WM_COPYDATA:
      return MainWindow_OnCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
  }
  // A registered message: no case label can name it.
  if (SingleInstanceMessage && message == SingleInstanceMessage)
    return MainWindow_OnSingleInstance(window);
  return FALSE;
}

INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return AboutPage_OnInitDialog(page);
    case WM_DESTROY:
      AboutPage = nullptr;
      return TRUE;
  }
  return FALSE;
}

void LoadNotifySounds() {
  constexpr int kSoundIds[] = {118, 119, 120};  // in NotifySound order
  for (int i = 0; i < 3; ++i) {
    HRSRC found = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(kSoundIds[i]), "WAVE");
    HGLOBAL loaded = found ? LoadResource(ProgramInstance, found) : nullptr;
    SoundData[i] = loaded ? LockResource(loaded) : nullptr;
  }
}

BOOL PlayNotifySound(NotifySound sound) {
  if (Settings.soundsOff) return FALSE;
  PlaySoundProc play = SystemPlaySound();
  if (!play) return FALSE;
  return play(static_cast<LPCSTR>(SoundData[static_cast<int>(sound)]), nullptr,
              SND_ASYNC | SND_MEMORY);
}

void UpdateDeviceCountText(HWND window) {
  char text[64];
  if (DeviceCount == 0)
    lstrcpyA(text, "\n\nNo device mounted\nPlug in pl2301/2302-cable");
  else if (DeviceCount == 1)
    lstrcpyA(text, "\n\n1 device mounted");
  else
    std::snprintf(text, sizeof text, "\n\n%u devices mounted", static_cast<unsigned>(DeviceCount));
  SendDlgItemMessageA(window, IDC_DEVICE_COUNT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

BOOL AddPageTab(const char* title, int image, HWND page) {
  HWND tabs = TabControl(MainWindow);
  if (!tabs) return FALSE;
  TCITEMA item = {};
  item.mask = TCIF_TEXT | TCIF_PARAM;
  item.pszText = const_cast<char*>(title);
  item.lParam = reinterpret_cast<LPARAM>(page);
  if (image != -1) {
    item.mask |= TCIF_IMAGE;
    item.iImage = image;
  }
  LRESULT count = SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0);
  LRESULT index = SendMessageA(tabs, TCM_INSERTITEMA, count, reinterpret_cast<LPARAM>(&item));
  if (index == -1) return FALSE;
  SendMessageA(tabs, TCM_SETCURSEL, index, 0);
  ShowSelectedPage(MainWindow);
  return TRUE;
}

BOOL RemovePageTab(HWND page) {
  HWND tabs = TabControl(MainWindow);
  if (!tabs) return FALSE;
  int index = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0)) - 1;
  while (index >= 0 && TabPage(tabs, index) != page) --index;
  if (index < 0) return FALSE;
  if (!SendMessageA(tabs, TCM_DELETEITEM, index, 0)) return FALSE;
  if (SendMessageA(tabs, TCM_GETCURSEL, 0, 0) == -1) {
    SendMessageA(tabs, TCM_SETCURSEL, 0, 0);
    ShowSelectedPage(MainWindow);
  }
  return TRUE;
}

BOOL ShowSelectedPage(HWND mainWindow) {
  if (IsWindow(ShownPage)) ShowWindow(ShownPage, SW_HIDE);
  HWND tabs = TabControl(mainWindow);
  LRESULT selected = tabs ? SendMessageA(tabs, TCM_GETCURSEL, 0, 0) : -1;
  if (selected == -1) return FALSE;
  ShownPage = TabPage(tabs, static_cast<int>(selected));
  if (IsWindow(ShownPage)) {
    SetWindowPos(ShownPage, HWND_TOP, PageOrigin.x, PageOrigin.y, 0, 0,
                 SWP_NOSIZE | SWP_SHOWWINDOW);
  } else {
    ShownPage = nullptr;
  }
  SetFocus(tabs);
  return TRUE;
}

BOOL CyclePageTab(HWND mainWindow, int step) {
  HWND tabs = TabControl(mainWindow);
  LRESULT selected = tabs ? SendMessageA(tabs, TCM_GETCURSEL, 0, 0) : -1;
  if (selected == -1) return FALSE;
  LRESULT count = SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0);
  LRESULT next = selected + step;
  if (next < 0) next = count - 1;
  if (next >= count) next = 0;
  SendMessageA(tabs, TCM_SETCURSEL, next, 0);
  ShowSelectedPage(mainWindow);
  SetFocus(ShownPage);
  return TRUE;
}

void ComputePageOrigin(HWND mainWindow) {
  RECT outer;
  GetWindowRect(mainWindow, &outer);
  RECT display = outer;
  SendMessageA(TabControl(mainWindow), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  PageOrigin.x = display.left - outer.left + 7;
  PageOrigin.y = display.top - outer.top + 7;
}

HWND CreateTooltips(HWND page, const TooltipEntry* table) {
  if (!IsWindow(MainWindow)) return nullptr;
  HWND tooltips = CreateWindowExA(0, TOOLTIPS_CLASSA, "TT", 0, 0, 0, 0, 0, MainWindow, nullptr,
                                  ProgramInstance, nullptr);
  if (!tooltips) return nullptr;
  for (const TooltipEntry* entry = table; entry->text; ++entry) {
    // The first TOOLINFO layout, which every version of the common controls
    // accepts (44 bytes in a 32-bit program).
    TTTOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = page;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(page, entry->id));
    tool.hinst = ProgramInstance;
    tool.lpszText = const_cast<char*>(entry->text);
    SendMessageA(tooltips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
  SendMessageA(tooltips, TTM_ACTIVATE, TRUE, 0);
  return tooltips;
}
