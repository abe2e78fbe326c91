// The main window, and the link worker's thread with the device and Settings
// pages under it: the simulated driver and console emulator at the cable's
// far end, real dialogs answered from another thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "log/log_queue.h"
#include "session/link_worker.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/worker_fixture.h"
#include "ui/device_list.h"
#include "ui/device_page.h"
#include "ui/log_view.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui/settings_page.h"

using sim::Call;
using sim::SimDriver;

namespace {

const char kPeerExist[] = "Peer exist.\r\n", kConnected[] = "Ps2 connected.\r\n";
// Lines as expectLog gives them: the colour's first letter, then the text.
const char kSent[] = "N Send execute command.\r\n", kFailed[] = "E Execute failed.\r\n";
const int kAdded = int(NotifySound::DeviceAdded), kRemoved = int(NotifySound::DeviceRemoved);
const std::vector<int> kError = {int(NotifySound::Error)}, kSilent;

bool Enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }
void Click(HWND page, int id) { SendMessageA(page, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
bool Checked(HWND page, int id) { return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// Clicks a page's button that opens a dialog, and answers the dialog.
bool Use(HWND page, int button, Dialog kind, const DialogAnswer& answer) {
  return AnswerDialog(kind, [&] { Click(page, button); }, answer);
}

std::unique_ptr<sim::ConsoleEmulator> Console(int cable) {
  return std::make_unique<sim::ConsoleEmulator>([cable] { return SimDriver::AttachConsole(cable); });
}

// A request the console makes and the worker serves; its result.
int32_t Tty(sim::ConsoleEmulator& console) { return console.Open(0x02, "/dev/tty").get().result; }

std::vector<DeviceRecord*> Devices() {
  std::vector<DeviceRecord*> out;
  for (DeviceRecord* r = DeviceList; r; r = r->next) out.push_back(r);
  return out;
}

// Status reads since the last ClearEvents: failed ones (-1), or ones that
// saw a console (1) or none (0).
int StatusReads(int seen) {
  int reads = 0;
  for (const auto& e : SimDriver::Events())
    reads += e.call == Call::GetStatus && (e.ok ? int(e.value & 1) : -1) == seen;
  return reads;
}

// The colour of a pixel of a swatch's bitmap.
COLORREF SwatchColour(HWND page, int id) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendDlgItemMessageA(page, id, STM_GETIMAGE, IMAGE_BITMAP, 0)));
  const COLORREF colour = GetPixel(dc, 8, 8);
  SelectObject(dc, old);
  DeleteDC(dc);
  return colour;
}

// A page from the device page's template, with no record; its controls
// take the focus.
HWND NewPage() {
  if (!LoadRichEditLibrary()) return nullptr;
  return CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), MainWindow,
                            [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_INITDIALOG; }, 0);
}

// The tabs, and the attention flag: it stays while the window is minimised,
// and the window's own timer clears it once the window is open.
TEST_F(WorkerTest, TabOperationsKeepOneSelectedPageShownAndAttentionWaitsForTheWindow) {
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
  ShowWindow(MainWindow, SW_SHOWNORMAL);
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
    EXPECT_EQ(s.selected, SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0));
    EXPECT_EQ(s.count, SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETITEMCOUNT, 0, 0));
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
  RemovePageTab(pages[3]);
  for (HWND page : {pages[1], pages[2], pages[4]}) DestroyWindow(page);
  ShowWindow(MainWindow, SW_MINIMIZE);
  AttentionFlag.store(1);
  SendMessageA(MainWindow, WM_TIMER, 1, 0);
  EXPECT_EQ(1, AttentionFlag.load());
  ShowWindow(MainWindow, SW_RESTORE);
  EXPECT_TRUE(PumpUntil([] { return AttentionFlag.load() == 0; }));
}

// The peer states and their log lines, an unplugged cable, a lost peer:
// one walk over three cables.
TEST_F(WorkerTest, PeerStatesAnUnpluggedCableAndALostPeer) {
  auto console = Console(SimDriver::Plug("present"));
  const int lateCable = SimDriver::Plug("absent");
  SimDriver::Plug("front");
  ASSERT_TRUE(ScanForCables());
  ASSERT_EQ(3, DeviceCount) << "one scan takes every new cable";
  EXPECT_EQ((std::vector<int>{kAdded, kAdded, kAdded}), TakeSounds());
  const std::vector<DeviceRecord*> records = Devices();  // front, absent, present
  HWND absent = records[1]->page, present = records[2]->page;
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kPeerExist) == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, "Wait for peer.\r\n") == 1; }));
  auto late = Console(lateCable);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, kPeerExist) == 1; }));
  EXPECT_EQ(0, CountInPage(absent, "Peer lost.\r\n")) << "a console awaited was never lost";

  // Served, served again, a bad request (the link is reset), served: two
  // announcements. The console's file outlasts the reset, not the peer.
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE));
  ASSERT_EQ(1, Tty(*console));
  ASSERT_TRUE(PumpUntil([&] { return Enabled(present, IDC_RESET); }));
  Settings.shareExecFolder = 0;
  const int32_t file = console->Open(0x203, "/kept.bin").get().result;
  ASSERT_LE(3, file);
  const uint64_t resets = SimDriver::Count(Call::ResetLink);
  console->Request(0x30, {}).get();  // a tag that is no request
  ASSERT_TRUE(PumpUntil([&] { return SimDriver::Count(Call::ResetLink) == resets + 1; }));
  EXPECT_EQ(0, console->Lseek(file, 0, SEEK_SET).get().result);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kConnected) == 2; }));

  // A failed status read ends the pass: the devices behind the unplugged
  // cable wait until its page has gone (no message is handled meanwhile).
  auto failedReads = [](int n) { return probe::WaitFor([=] { return StatusReads(-1) >= n; }, 10000); };
  SimDriver::Unplug(lateCable);
  ASSERT_TRUE(failedReads(1));
  SimDriver::ClearEvents();
  ASSERT_TRUE(failedReads(20));
  EXPECT_EQ(0, StatusReads(1)) << "the device behind was polled";
  ASSERT_TRUE(PumpUntil([] { return DeviceCount == 2; }));
  EXPECT_EQ(std::vector<int>{kRemoved}, TakeSounds());
  EXPECT_FALSE(IsWindow(absent));
  EXPECT_EQ((std::vector<DeviceRecord*>{records[0], records[2]}), Devices());
  EXPECT_EQ(1, Tty(*console)) << "the device behind is served again";

  const uint64_t resetsBefore = SimDriver::Count(Call::ResetLink);
  console->Detach();
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, "Peer lost.\r\n") == 1; }));
  EXPECT_EQ(-1, _get_osfhandle(file));
  EXPECT_EQ(resetsBefore + 1, SimDriver::Count(Call::ResetLink)) << "a lost peer resets the link";
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE) || Enabled(present, IDC_RESET));
  Click(present, IDC_RESET);  // no longer connected
  EXPECT_TRUE(PumpUntil([&] { return CountInPage(present, "Reset failed.\r\n") == 1; }));
  EXPECT_EQ(2, CountInPage(present, kConnected));
}

// The message loop walked with posted messages: a WM_CLOSE that a page takes
// removes its device and ends the walk over the list, Ctrl+Tab goes to the
// accelerators, Alt+C to its page, the quit message ends the loop. Then a
// cable unplugged under each of the page's file dialogs: the device goes at
// once, and the answer touches nothing of it, nor of the next device.
TEST_F(WorkerTest, MessageLoopWithPostedKeysAndAnUnplugUnderEachFileDialog) {
  static_assert(std::is_same_v<decltype(DeviceRecord::connected), std::atomic<LONG>>,
                "the worker writes it while the UI thread reads it");
  for (const char* name : {"older", "newer"}) SimDriver::Plug(name);
  ASSERT_TRUE(ScanForCables());
  HWND older = Devices()[1]->page, newer = Devices()[0]->page;
  AppendLogText(older, "shown\r\n", LogText);
  FlushLog(older);
  const LRESULT tabs = SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETITEMCOUNT, 0, 0);
  HWND tooltips = HWND(GetPropA(newer, "TavdeskTooltips"));
  BYTE keys[256] = {};
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  PostMessageA(newer, WM_CLOSE, 0, 0);  // its tab was selected: About is now
  PostMessageA(GetDlgItem(older, IDC_CLEAR_LOG), WM_KEYDOWN, VK_TAB, 0);
  PostMessageA(GetDlgItem(older, IDC_RESET), WM_SYSCHAR, 'c', 1 << 29);
  PostQuitMessage(7);
  EXPECT_EQ(7, RunMessageLoop());
  SetKeyboardState(std::array<BYTE, 256>{}.data());
  EXPECT_EQ(1, SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0)) << "Ctrl+Tab from About";
  keys[VK_SHIFT] = 0x80;  // and Ctrl+Shift+Tab back
  SetKeyboardState(keys);
  MSG back = {older, WM_KEYDOWN, VK_TAB, 0, 0, {}};
  EXPECT_TRUE(TranslateAcceleratorA(MainWindow, AcceleratorTable, &back) &&
              SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0) == 0);
  SetKeyboardState(std::array<BYTE, 256>{}.data());
  CyclePageTab(MainWindow, 1);
  EXPECT_EQ(tabs - 1, SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETITEMCOUNT, 0, 0));
  EXPECT_EQ("", ViewText(older));
  EXPECT_TRUE(IsWindow(older) && !IsWindow(tooltips)) << "the tooltips go with their page";
  EXPECT_EQ(std::vector<DeviceRecord*>{PageRecord(older)}, Devices());
  EXPECT_EQ((std::vector<int>{kAdded, kAdded, kRemoved}), TakeSounds());

  folder_.Write("gone.elf", ElfHead(0x02, 0x00));
  SimDriver::Unplug(1);  // the newer page's, which a scan would take again
  int cable = 0;
  for (auto [button, name] : {std::pair(IDC_EXECUTE, "gone.elf"), std::pair(IDC_SAVE_LOG, "gone.txt")}) {
    HWND page = DeviceList->page;
    const std::string path = folder_.File(name);
    ASSERT_TRUE(Use(page, button, Dialog::File, {path.c_str(), 0, 0, IDOK, nullptr, [&](HWND) {
      SimDriver::Unplug(cable);
      probe::WaitFor([&] { return !IsWindow(page); }, 10000);
      cable = SimDriver::Plug("next");
      PostMessageA(MainWindow, WM_TIMER, 2, 0);  // the scan tick
      probe::WaitFor([&] { return DeviceList && DeviceList->page != page; }, 10000);
    }}));
    EXPECT_EQ((std::vector<int>{kRemoved, kAdded}), TakeSounds()) << name;
    ASSERT_EQ(1, DeviceCount);
    EXPECT_STREQ("", DeviceList->lastFile) << name;
  }
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(folder_.File("gone.txt").c_str()));
}

// Shutdown: a close request queues a quit for each connected console; then
// each tick of timer 2 closes the devices with nothing queued, but keeps one
// whose tab is gone; idle closing devices are not polled, their pages still
// drawn. The tenth closes every device by force, silently, and the window.
// With no device left, the tick that closed the last keeps the window and
// the next one ends it.
TEST_F(WorkerTest, ShutdownTicksCloseTheDevicesWhoseConsolesFetchedTheirQuits) {
  for (const char* name : {"served", "idle", "tabless", "idle"}) SimDriver::Plug(name);
  ASSERT_TRUE(ScanForCables());
  const std::vector<DeviceRecord*> records = Devices();  // newest first
  ASSERT_EQ(4u, records.size());
  auto console = Console(0);
  ASSERT_EQ(1, Tty(*console));
  ASSERT_TRUE(PumpUntil([&] { return Enabled(records[3]->page, IDC_EXECUTE); }));
  EXPECT_TRUE(RemovePageTab(records[1]->page));
  const HWND window = MainWindow;
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(records[0]->session->QueueEmpty()) << "no quit for an idle console";
  SimDriver::ClearEvents();
  AppendLogText(records[0]->page, "last\r\n", LogText);
  ASSERT_TRUE(PumpUntil([&] { return StatusReads(1) >= 20 && CountInPage(records[0]->page, "last\r\n"); }));
  EXPECT_EQ(0, StatusReads(0));
  for (int id : {IDC_EXECUTE, IDC_RESET, IDC_SAVE_LOG, IDC_CLEAR_LOG}) EXPECT_FALSE(Enabled(records[0]->page, id));
  TakeSounds();
  SendMessageA(window, WM_TIMER, 2, 0);
  EXPECT_EQ((std::vector<int>{kRemoved, kRemoved}), TakeSounds());
  EXPECT_EQ((std::vector<DeviceRecord*>{records[1], records[3]}), Devices());
  EXPECT_EQ(3, console->Poll(0).get().code);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(records[3]->page, "Send quit command.\r\n") == 1; }));
  SendMessageA(window, WM_TIMER, 2, 0);
  EXPECT_EQ(std::vector<int>{kRemoved}, TakeSounds()) << "drained, it closes";
  EXPECT_EQ(std::vector<DeviceRecord*>{records[1]}, Devices());
  for (int tick = 3; tick <= 10; ++tick) {
    EXPECT_TRUE(IsWindow(window) && WorkerThread) << tick;
    SendMessageA(window, WM_TIMER, 2, 0);
  }
  EXPECT_TRUE(TakeSounds().empty()) << "a forced close is silent";
  EXPECT_TRUE(!IsWindow(window) && !WorkerThread && !DeviceList);
  EXPECT_FALSE(ScanForCables()) << "a stopped worker takes no cable";
  ASSERT_TRUE(CreateMainWindow() && StartWorker());
  const HWND again = MainWindow;
  QuitTickCounter = 0;  // still quitting
  SendMessageA(again, WM_TIMER, 2, 0);
  EXPECT_TRUE(IsWindow(again) && !WorkerThread);
  SendMessageA(again, WM_TIMER, 2, 0);
  EXPECT_FALSE(IsWindow(again));
  QuittingFlag = QuitTickCounter = 0;
}

// Start-up: a failed step leaves no window behind. Else it loads the
// settings before their page shows them, selects About, shows the window as
// it was asked and sets the window's timers; without a device, a close
// request ends it at once and stores the settings.
TEST_F(WorkerTest, StartUpAndACloseWithoutDevices) {
  ASSERT_TRUE(CloseAllDevices(true));
  DestroyWindow(MainWindow);
  HHOOK hook = SetWindowsHookExA(WH_CBT, [](int code, WPARAM window, LPARAM create) -> LRESULT {
    char name[16] = {};  // refuses the About page, a child dialog
    GetClassNameA(HWND(window), name, sizeof name);
    return code == HCBT_CREATEWND && !strcmp(name, "#32770") &&
           (reinterpret_cast<CBT_CREATEWNDA*>(create)->lpcs->style & WS_CHILD);
  }, nullptr, GetCurrentThreadId());
  EXPECT_FALSE(StartProgram(SW_SHOWNORMAL));
  UnhookWindowsHookEx(hook);
  EXPECT_TRUE(!MainWindow && !TabImageList && !FindWindowA(nullptr, "Tavdesk"));
  InitSettings();  // the INI file beside this program, which start-up reads
  Settings.denyAll = Settings.readOnly = Settings.shareExecFolder = Settings.soundsOff = 0xFFFFFFFF;
  Settings.priority = 255;
  SetSharedFolder("C:\\loaded");
  StoreSettings();
  SetDefaultSettings();
  TakeTimers();
  ASSERT_TRUE(StartProgram(SW_SHOWMINNOACTIVE));
  EXPECT_TRUE(IsIconic(MainWindow));
  std::vector<std::pair<UINT_PTR, UINT>> timers;
  for (const TimerSet& set : TakeTimers())
    if (set.window == MainWindow) timers.push_back({set.id, set.ms});
  // Attention flash, cable scan and shutdown tick, stalled driver calls.
  EXPECT_EQ((std::vector<std::pair<UINT_PTR, UINT>>{{1, 900}, {3, 100}, {2, 1300}}), timers);
  // The page shows what was loaded; the record holds it as the controls do.
  for (int id : {IDC_DENY_ALL, IDC_READ_ONLY, IDC_SHARE_EXEC_FOLDER, IDC_SOUNDS_OFF, IDC_PRIORITY_HIGH})
    EXPECT_TRUE(Checked(SettingsPage, id)) << id;
  EXPECT_EQ("C:\\loaded", probe::Text(GetDlgItem(SettingsPage, IDC_SHARED_FOLDER)));
  EXPECT_TRUE(Settings.denyAll == 1 && Settings.soundsOff == 1 && Settings.priority == 2);
  EXPECT_EQ(0, SendDlgItemMessageA(MainWindow, IDC_PAGE_TABS, TCM_GETCURSEL, 0, 0));
  EXPECT_TRUE(ShownPage == AboutPage && IsWindowVisible(AboutPage));
  for (auto [devices, text] : {std::pair<int, std::string>{1, "1 device mounted"}, {65535, "65535 devices mounted"},
                               {0, "No device mounted\nPlug in pl2301/2302-cable"}}) {
    DeviceCount = uint16_t(devices);
    UpdateDeviceCountText(AboutPage);
    EXPECT_EQ("\n\n" + text, probe::Text(GetDlgItem(AboutPage, IDC_DEVICE_COUNT)));
  }
  DeleteFileA(IniPath);
  SendMessageA(MainWindow, WM_CLOSE, 0, 0);
  EXPECT_EQ(nullptr, MainWindow);
  EXPECT_TRUE(LoadSettings() && Settings.denyAll == 1 && Settings.priority == 2);
  DeleteFileA(IniPath);
}

// A console whose page has not drawn 16 MiB of its text waits, unpolled,
// while the other is served; once the page has drawn it below 8 MiB, it is
// served again. Drawing is a flush's taking and freeing of the entries here
// (no message is handled; drawing 16 MiB takes minutes in Wine).
TEST_F(WorkerTest, UndrawnTextHoldsItsConsoleAndNoOther) {
  auto held = Console(SimDriver::Plug("held"));
  auto other = Console(SimDriver::Plug("other"));
  ASSERT_TRUE(ScanForCables());
  const std::vector<DeviceRecord*> records = Devices();  // other first: each pass walks it first
  HWND page = records[1]->page;
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(page, kPeerExist) == 1; }));
  const std::string flood(kLogHoldBytes + 1, 'x');
  ASSERT_TRUE(AppendLogBytes(page, flood.data(), uint32_t(flood.size()), LogText));
  // Two serves of the other console: a whole pass has begun since the append.
  ASSERT_EQ(1, Tty(*other));
  ASSERT_EQ(1, Tty(*other));
  std::future<sim::HostReply> waiting = held->Open(0x02, "/dev/tty");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, Tty(*other)) << "the other console is served";
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::seconds(0)));
  for (LogEntry* entry = TakeLogEntries(page); entry;) {
    LogEntry* next = entry->next;
    FreeDrawnLogEntry(page, entry);
    entry = next;
  }
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(1, waiting.get().result);
}

// The device page from template 106 on a console served by the test.
TEST_F(WorkerTest, DevicePageCommands) {
  ConsoleLink link;
  ASSERT_TRUE(link.ok());
  HWND page = link.page();
  // The lines queued and the sounds played since the last call.
  auto expectLog = [&](const std::vector<std::string>& lines, const std::vector<int>& sounds) {
    std::vector<std::string> logged;
    for (const QueuedEntry& e : link.TakeLog())
      logged.push_back("TEN"[e.colour == Settings.colours[LogError] ? 1 : e.colour == Settings.colours[LogNotice] ? 2 : 0] +
                       (" " + e.text));
    EXPECT_EQ(lines, logged);
    EXPECT_EQ(sounds, TakeSounds());
  };
  auto served = [&] { return link.Serve(link.console().Poll(0)).code; };
  // The template: the view read-only, files accepted, the buttons in their
  // places, four tooltips that subclass their controls.
  EXPECT_TRUE(GetWindowLongA(page, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
  EXPECT_TRUE(GetWindowLongA(GetDlgItem(page, IDC_LOG_VIEW), GWL_STYLE) & ES_READONLY);
  EXPECT_EQ(kLogViewTextLimit, SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_GETLIMITTEXT, 0, 0));
  const struct { int id; const char* text; int x; } buttons[] = {
      {IDC_SAVE_LOG, "&Save log", 19}, {IDC_CLEAR_LOG, "&Clear log", 65},
      {IDC_RESET, "&Reset", 113}, {IDC_EXECUTE, "&Execute", 159}};
  for (const auto& button : buttons) {
    EXPECT_EQ(button.text, probe::Text(GetDlgItem(page, button.id)));
    RECT expected = {button.x, 151, button.x + 40, 165}, shown;
    MapDialogRect(page, &expected);
    GetWindowRect(GetDlgItem(page, button.id), &shown);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&shown), 2);
    EXPECT_TRUE(expected.left == shown.left && expected.top == shown.top) << button.text;
  }
  HWND tips = HWND(GetPropA(page, "TavdeskTooltips"));
  char tip[80] = "";
  TTTOOLINFOA tool = {};
  tool.cbSize = TTTOOLINFOA_V1_SIZE, tool.lpszText = tip;
  EXPECT_TRUE(SendMessageA(tips, TTM_ENUMTOOLSA, 0, LPARAM(&tool)) && (tool.uFlags & TTF_SUBCLASS));
  EXPECT_EQ(4, SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0));

  // Reset and Execute wait for a connection; a reset fails without one.
  EXPECT_FALSE(Enabled(page, IDC_EXECUTE) || Enabled(page, IDC_RESET));
  SendMessageA(page, WM_PAGE_CONNECTION, 1, 0);
  EXPECT_TRUE(Enabled(page, IDC_EXECUTE) && Enabled(page, IDC_RESET));
  for (uint8_t connected : {0, 1}) {
    link.record()->connected = connected;
    Click(page, IDC_RESET);
    expectLog({connected ? "N Send reset command.\r\n" : "E Reset failed.\r\n"}, connected ? kSilent : kError);
  }
  EXPECT_FALSE(Enabled(page, IDC_RESET)) << "until the next connection notice";
  EXPECT_EQ(0, served());
  SendMessageA(page, WM_PAGE_CONNECTION, 0, 0);
  EXPECT_FALSE(Enabled(page, IDC_EXECUTE));

  // Save log offers the executed file's name without its extension (the last
  // '.' of the name); the filter, not the name, picks the format; the log is
  // flushed first. Both dialogs start in the shared folder until a file was
  // executed. A cancel fails Execute only; an unwritable file fails Save log.
  CreateDirectoryA(folder_.File("v1.2").c_str(), nullptr);
  folder_.Write("v1.2\\prog", ElfHead(0x02, 0x00));
  folder_.Write("v1.2\\p.x.elf", ElfHead(0x02, 0x00));
  HANDLE locked = CreateFileA(folder_.File("locked.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  for (const char* name : {"first.txt", "locked.txt"}) ASSERT_TRUE(Use(page, IDC_SAVE_LOG, Dialog::File, {name, 1}));
  CloseHandle(locked);
  expectLog({"E Save log failed.\r\n"}, kError);
  EXPECT_TRUE(GetFileAttributesA(folder_.File("first.txt").c_str()) != INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(Use(page, IDC_EXECUTE, Dialog::File, {nullptr, 0, 0, IDCANCEL}));
  expectLog({kFailed}, kError);
  const struct { std::string typed, file, offered; } executed[] = {
      {"v1.2\\p.x.elf", "v1.2\\p.x.elf", "p.x"},  // from the shared folder
      {folder_.File("v1.2\\prog"), "v1.2\\prog", "prog"}};
  for (const auto& row : executed) {
    ASSERT_TRUE(Use(page, IDC_EXECUTE, Dialog::File, {row.typed.c_str()}));
    expectLog({kSent}, kSilent);
    EXPECT_EQ(1, served());
    EXPECT_EQ(folder_.File(row.file), link.session().LastExecuted());
    std::string offered;
    ASSERT_TRUE(Use(page, IDC_SAVE_LOG, Dialog::File, {nullptr, 0, 0, IDCANCEL, &offered}));
    EXPECT_EQ(row.offered, offered);
  }
  AppendLogText(page, "plain\r\n", LogText);
  for (int twice = 0; twice < 2; ++twice)  // the second replaces the first
    ASSERT_TRUE(Use(page, IDC_SAVE_LOG, Dialog::File, {folder_.File("a.txt").c_str(), 2}));
  expectLog({}, kSilent);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(folder_.Read("a.txt", &bytes));
  const std::string saved(bytes.begin(), bytes.end());
  EXPECT_EQ(0u, saved.rfind("{\\rtf", 0));
  EXPECT_NE(std::string::npos, saved.find("plain"));

  // A drop of exactly one file executes it; every drop is finished.
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  const std::string elf = folder_.File("a.elf");
  for (int files : {2, 1}) {
    // DROPFILES and the names, ANSI, as the shell hands a drop over.
    const std::string list = elf + '\0' + (files == 2 ? elf + '\0' : "") + '\0';
    HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size());
    auto* head = static_cast<DROPFILES*>(GlobalLock(drop));
    head->pFiles = sizeof(DROPFILES);
    std::memcpy(head + 1, list.data(), list.size());
    GlobalUnlock(drop);
    SendMessageA(page, WM_DROPFILES, WPARAM(drop), 0);
    expectLog({"N Eat dropped file.\r\n", files == 1 ? kSent : kFailed}, files == 1 ? kSilent : kError);
    EXPECT_EQ(0u, GlobalSize(drop)) << "the drop was not finished";
  }
  EXPECT_EQ(1, served());
  EXPECT_EQ(elf, link.session().LastExecuted());

  // The extension goes in only when it fits the 520-character buffer.
  const struct { std::string path; DWORD filter; bool ok; std::string result; } names[] = {
      {"C:\\my.logs\\run", 1, true, "C:\\my.logs\\run.TXT"},
      {std::string(515, 'x'), 2, true, std::string(515, 'x') + ".RTF"},
      {std::string(516, 'x'), 2, false, std::string(516, 'x')},
  };
  for (const auto& row : names) {
    char buffer[kPathChars];
    std::memcpy(buffer, row.path.c_str(), row.path.size() + 1);
    EXPECT_EQ(row.ok, AddSaveExtension(buffer, kPathChars, row.filter)) << row.path.size();
    EXPECT_EQ(row.result, buffer) << row.path.size();
  }
  HANDLE file = CreateFileA(elf.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  LONG written = -1;  // a short write fails
  EXPECT_TRUE(WriteLogChunk(DWORD_PTR(file), bytes.data(), 5, &written) == 1 && written == 0);
  CloseHandle(file);
}

// The Settings page from template 105, driven as a user would.
TEST_F(WorkerTest, SettingsPage) {
  ASSERT_TRUE(CloseAllDevices(true));  // a worker started at the low priority
  Settings.priority = 0;
  ASSERT_TRUE(StartWorker());
  EXPECT_EQ(THREAD_PRIORITY_BELOW_NORMAL, GetThreadPriority(WorkerThread));
  Settings.readOnly = 1;
  Settings.shareExecFolder = 0;
  ASSERT_TRUE(CreateSettingsPage());
  HWND page = SettingsPage;
  const int controls[] = {IDC_READ_ONLY, IDC_SHARE_EXEC_FOLDER, IDC_SHARED_FOLDER_GROUP,
                          IDC_SHARED_FOLDER, IDC_BROWSE};
  // Each click enables exactly its controls and keeps the marks; only the
  // priority buttons set the worker's priority (idle before every click).
  const struct { int click; const char* enabled; bool denyAll, shareExecFolder; int priority; } rows[] = {
      {IDC_DENY_ALL, "00000", true, false, THREAD_PRIORITY_IDLE},
      {IDC_DENY_ALL, "11111", false, false, THREAD_PRIORITY_IDLE},
      {IDC_SHARE_EXEC_FOLDER, "11000", false, true, THREAD_PRIORITY_IDLE},
      {IDC_SHARE_EXEC_FOLDER, "11111", false, false, THREAD_PRIORITY_IDLE},
      {IDC_PRIORITY_LOW, "11111", false, false, THREAD_PRIORITY_BELOW_NORMAL},
      {IDC_PRIORITY_HIGH, "11111", false, false, THREAD_PRIORITY_ABOVE_NORMAL},
      {IDC_PRIORITY_MIDDLE, "11111", false, false, THREAD_PRIORITY_NORMAL},
      {IDC_SOUNDS_OFF, "11111", false, false, THREAD_PRIORITY_IDLE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.click);
    SetThreadPriority(WorkerThread, THREAD_PRIORITY_IDLE);
    SendDlgItemMessageA(page, row.click, BM_CLICK, 0, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(row.enabled[i] == '1', Enabled(page, controls[i])) << controls[i];
    EXPECT_EQ(row.denyAll, Settings.denyAll == 1);
    EXPECT_EQ(row.shareExecFolder, Settings.shareExecFolder == 1);
    EXPECT_EQ(row.priority, GetThreadPriority(WorkerThread));
    EXPECT_TRUE(Checked(page, IDC_READ_ONLY) && Settings.readOnly == 1) << "read only keeps its mark";
  }
  EXPECT_FALSE(PlayNotifySound(NotifySound::Error)) << "the last click turned the sounds off";
  EXPECT_TRUE(TakeSounds().empty());

  // Each colour button edits its own colour, repaints only its swatch, and
  // keeps the custom colours added on the way.
  const struct { int button; LogColour colour; COLORREF chosen; } buttons[] = {
      {IDC_TEXT_COLOUR, LogText, RGB(1, 2, 3)}, {IDC_ERROR_COLOUR, LogError, RGB(200, 30, 40)},
      {IDC_NOTIFY_COLOUR, LogNotice, RGB(12, 200, 34)}};
  const int swatches[3] = {IDC_TEXT_SWATCH, IDC_ERROR_SWATCH, IDC_NOTIFY_SWATCH};
  for (const auto& row : buttons) {
    ASSERT_TRUE(Use(page, row.button, Dialog::Colour, {nullptr, 0, row.chosen}));
    EXPECT_EQ(row.chosen, Settings.colours[row.colour]) << row.button;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Settings.colours[i], SwatchColour(page, swatches[i])) << i;
    EXPECT_NE(std::end(Settings.customColours),
              std::find(std::begin(Settings.customColours), std::end(Settings.customColours), row.chosen));
  }

  // Browse's choice goes into the field and the record.
  const std::string chosen = folder_.File("chosen");
  CreateDirectoryA(chosen.c_str(), nullptr);
  ASSERT_TRUE(Use(page, IDC_BROWSE, Dialog::Folder, {chosen.c_str()}));
  EXPECT_EQ(chosen, probe::Text(GetDlgItem(page, IDC_SHARED_FOLDER)));
  EXPECT_EQ(chosen, Settings.sharedFolder);

  // The folder follows every keystroke, keeps 519 characters, and is
  // stored when the page goes.
  HWND edit = GetDlgItem(page, IDC_SHARED_FOLDER);
  SetWindowTextA(edit, "");
  for (char c : {'D', ':'}) SendMessageA(edit, WM_CHAR, c, 1);
  EXPECT_STREQ("D:", Settings.sharedFolder);
  SetWindowTextA(edit, std::string(520, 'f').c_str());
  EXPECT_EQ(std::string(519, 'f'), Settings.sharedFolder);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(IniPath));
  HGDIOBJ bitmaps[3];
  for (int i = 0; i < 3; ++i) bitmaps[i] = HGDIOBJ(SendDlgItemMessageA(page, swatches[i], STM_GETIMAGE, IMAGE_BITMAP, 0));
  DestroyWindow(page);
  for (HGDIOBJ bitmap : bitmaps) EXPECT_EQ(0u, GetObjectType(bitmap)) << "a swatch's bitmap left";
  SetSharedFolder("");
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(std::string(519, 'f'), Settings.sharedFolder);
}

}  // namespace
