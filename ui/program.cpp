// The life of the UI thread: one copy only, start-up in a fixed order, the
// message loop that routes keys to the pages, the scan timer, and the orderly
// shutdown in which every connected console is told to quit before its cable
// is closed. Everything here runs on the UI thread.
#include "ui/program.h"

#include <commctrl.h>

#include "config/settings.h"
#include "session/device_record.h"
#include "session/link_worker.h"
#include "ui/device_list.h"
#include "ui/log_find.h"
#include "ui/main_window.h"
#include "ui/resource.h"
#include "ui/settings_page.h"

UINT SingleInstanceMessage = 0;
LONG QuittingFlag = 0;
LONG QuitTickCounter = 0;

namespace {

constexpr char kSingleInstanceMessageName[] =
    "WM_SYS_UNIQUE-{6f1c2a90-3b7e-4d15-9a62-c84e07d3b5a1}";
constexpr char kMutexName[] = "Tavrin win32 client-{6f1c2a90-3b7e-4d15-9a62-c84e07d3b5a1}";
constexpr UINT_PTR kScanTimer = 2;
constexpr UINT kScanPeriodMs = 1300;
constexpr UINT_PTR kAttentionTimer = 1;
// Ticks of timer 2 that the consoles get to fetch their quit commands.
constexpr LONG kLastPoliteTick = 9;

BOOL CALLBACK FindRunningCopy(HWND window, LPARAM found) {
  DWORD_PTR answer = 0;
  if (SendMessageTimeoutA(window, SingleInstanceMessage, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                          200, &answer) &&
      answer) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// Newest device first. The list changes only on this thread, so it needs no
// lock here; but a page that takes the message may have freed its record
// (a WM_CLOSE removes the device), so the walk ends there.
bool TakenByDevicePage(MSG* message) {
  for (DeviceRecord* record = DeviceList; record; record = record->next) {
    if (IsWindow(record->page) && IsDialogMessageA(record->page, message)) return true;
  }
  return false;
}

}  // namespace

HWND RunningCopyWindow() {
  if (!SingleInstanceMessage)
    SingleInstanceMessage = RegisterWindowMessageA(kSingleInstanceMessageName);
  HWND running = nullptr;
  EnumWindows(FindRunningCopy, reinterpret_cast<LPARAM>(&running));
  return running;
}

bool CopyIsRunning() {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kMutexName);
  if (mutex) CloseHandle(mutex);
  return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

bool SingleInstanceCheck() {
  // A process that passed once holds the mutex: a second call (TavdeskSim
  // checks before it binds its port, then starts the program) would meet
  // its own mutex.
  static bool passed = false;
  if (passed) return true;
  SingleInstanceMessage = RegisterWindowMessageA(kSingleInstanceMessageName);
  // Kept open for the life of the process, never waited on.
  CreateMutexA(nullptr, FALSE, kMutexName);
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) return passed = true;
  if (HWND running = RunningCopyWindow()) {
    SetForegroundWindow(running);
    if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
  }
  return false;
}

bool StartProgram(int showCommand) {
  if (!CreateMainWindow()) return false;
  InitSettings();  // a failed load leaves the defaults, which is no failure
  if (!CreateSettingsPage()) return false;
  LoadNotifySounds();
  if (!StartWorker()) return false;
  SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_SETCURSEL, 0, 0);
  ComputePageOrigin(MainWindow);
  ShowSelectedPage(MainWindow);
  SetFocus(ShownPage);
  ScanForCables();
  SetTimer(MainWindow, kScanTimer, kScanPeriodMs, nullptr);
  ShowWindow(MainWindow, showCommand);
  return true;
}

int RunMessageLoop() {
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) return 0;
    if (MainWindow && TranslateAcceleratorA(MainWindow, AcceleratorTable, &message)) continue;
    if (LogFindDialogMessage(&message)) continue;
    if (TakenByDevicePage(&message)) continue;
    if (SettingsPage && IsDialogMessageA(SettingsPage, &message)) continue;
    if (AboutPage && IsDialogMessageA(AboutPage, &message)) continue;
    if (MainWindow && IsDialogMessageA(MainWindow, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

void CleanUpProgram() {
  if (IsWindow(MainWindow)) DestroyWindow(MainWindow);
  if (TabImageList) ImageList_Remove(TabImageList, -1);
  if (RichEditLibrary) FreeLibrary(RichEditLibrary);
  RichEditLibrary = nullptr;
}

int RunProgram(HINSTANCE instance, int showCommand) {
  ProgramInstance = instance;
  if (!SingleInstanceCheck()) return 0;
  if (!StartProgram(showCommand)) {
    FatalAppExitA(0, "Couldn't initialize program");
    return 1;  // not reached: the call ends the process
  }
  OutputDebugStringA("Tavdesk " TAVDESK_VERSION_TEXT "\n");
  const int code = RunMessageLoop();
  CleanUpProgram();
  return code;
}

INT_PTR MainWindow_OnClose(HWND window) {
  if (DeviceCount == 0) {
    DestroyWindow(window);
    return TRUE;
  }
  if (QuittingFlag) return FALSE;
  QueueQuitForAll();
  QuittingFlag = 1;
  return TRUE;
}

INT_PTR MainWindow_OnTick(HWND window) {
  if (!QuittingFlag) {
    ScanForCables();
    return TRUE;
  }
  const LONG tick = ++QuitTickCounter;
  if (tick >= 1 && tick <= kLastPoliteTick) {
    if (CloseAllDevices(false)) {
      if (SettingsPage) DestroyWindow(SettingsPage);  // stores the settings
      QuitTickCounter = -2;
    }
  } else if (tick > kLastPoliteTick) {
    CloseAllDevices(true);
    DestroyWindow(window);
    QuitTickCounter = -1;
  } else if (tick == -1) {
    DestroyWindow(window);
  }
  return TRUE;
}

INT_PTR MainWindow_OnDestroy(HWND window) {
  MainWindow = nullptr;
  KillTimer(window, kScanTimer);
  KillTimer(window, kAttentionTimer);
  PostQuitMessage(0);
  return TRUE;
}

INT_PTR MainWindow_OnSingleInstance(HWND window) {
  SetWindowLongPtrA(window, DWLP_MSGRESULT, 1);
  return TRUE;
}
