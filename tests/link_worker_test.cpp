// The link worker with its real thread, real pages in the real main window,
// the simulated driver and the console emulator: the peer states and their
// log lines, cables coming and going, shutdown, and the bounds on how long
// the UI thread can wait for the worker.
#include "session/link_worker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/link_device.h"
#include "link/packet_format.h"
#include "session/device_record.h"
#include "session/target_session.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "ui/device_page.h"
#include "ui/main_window.h"
#include "ui/resource.h"

using sim::Call;
using sim::SimDriver;

namespace {

const char kPeerExist[] = "Peer exist.\r\n";
const char kWaitForPeer[] = "Wait for peer.\r\n";
const char kPeerLost[] = "Peer lost.\r\n";
const char kConnected[] = "Ps2 connected.\r\n";
const uint8_t kBadCode = 0x30;  // a TvR tag that is no request

bool Enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }

std::unique_ptr<sim::ConsoleEmulator> Console(int cable) {
  return std::make_unique<sim::ConsoleEmulator>([cable] { return SimDriver::AttachConsole(cable); });
}

// The records of the DeviceList, head first.
std::vector<DeviceRecord*> Devices() {
  std::vector<DeviceRecord*> out;
  for (DeviceRecord* r = DeviceList; r; r = r->next) out.push_back(r);
  return out;
}

// Status reads recorded since the last ClearEvents: how many, and how many
// of them saw a console on the line.
struct StatusReads {
  int ok = 0, failed = 0, withPeer = 0;
};
StatusReads CountStatusReads() {
  StatusReads reads;
  for (const auto& e : SimDriver::Events()) {
    if (e.call != Call::GetStatus) continue;
    (e.ok ? reads.ok : reads.failed)++;
    if (e.ok && (e.value & 1)) reads.withPeer++;
  }
  return reads;
}

// Waits, without handling messages, until the worker has read statuses.
bool WaitForStatusReads(int ok, int failed) {
  const ULONGLONG end = GetTickCount64() + 10000;
  for (;;) {
    StatusReads reads = CountStatusReads();
    if (reads.ok >= ok && reads.failed >= failed) return true;
    if (GetTickCount64() > end) return false;
    Sleep(1);
  }
}

class LinkWorkerTest : public WorkerTest {
 protected:
  // Plugs a cable and scans; the new device's record (the list's head).
  DeviceRecord* AddCable(const char* name, int* cable) {
    *cable = SimDriver::Plug(name);
    if (!ScanForCables()) return nullptr;
    return DeviceList;
  }

  // Two cables with their devices: `back` added first, so `front` heads
  // the list. A console sits on the back cable.
  struct Pair {
    int backCable = 0, frontCable = 0;
    DeviceRecord *back = nullptr, *front = nullptr;
    std::unique_ptr<sim::ConsoleEmulator> console;
  };
  Pair AddPair(const char* back, const char* front) {
    Pair pair;
    pair.back = AddCable(back, &pair.backCable);
    if (pair.back) pair.console = Console(pair.backCable);
    pair.front = AddCable(front, &pair.frontCable);
    return pair;
  }

  // A request the console makes and the worker serves; its reply.
  static sim::HostReply Tty(sim::ConsoleEmulator& console) {
    return console.Open(0x02, "/dev/tty").get();
  }
};

TEST_F(LinkWorkerTest, PeerStatesLogTheirLinesAndSwitchTheButtons) {
  int cable = 0;
  auto console = Console(SimDriver::Plug("present"));
  DeviceRecord* record = AddCable("absent", &cable);
  ASSERT_NE(nullptr, record);
  HWND absent = record->page;
  HWND present = Devices().at(1)->page;  // both were added by the one scan
  ASSERT_EQ(2, DeviceCount);

  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kPeerExist) == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, kWaitForPeer) == 1; }));
  EXPECT_EQ(0, PageText(present).find(kPeerExist)) << "the first pass logs it first";
  EXPECT_EQ(0, PageText(absent).find(kWaitForPeer));
  auto late = Console(cable);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, kPeerExist) == 1; }));

  // Served, served again, a bad request, served: two announcements.
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE));
  ASSERT_EQ(1, Tty(*console).result);
  ASSERT_TRUE(PumpUntil([&] { return Enabled(present, IDC_EXECUTE); }));
  EXPECT_TRUE(Enabled(present, IDC_RESET));
  ASSERT_EQ(1, Tty(*console).result);
  const uint64_t resets = SimDriver::Count(Call::ResetLink);
  console->Request(kBadCode, {}).get();
  ASSERT_TRUE(PumpUntil([&] { return SimDriver::Count(Call::ResetLink) == resets + 1; }));
  PumpUntil([&] { return CountInPage(present, "Bad packet recieved.\r\n") == 1; });
  EXPECT_TRUE(Enabled(present, IDC_EXECUTE)) << "a failed request sends no notice";
  ASSERT_EQ(1, Tty(*console).result);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kConnected) == 2; }));

  console->Detach();
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kPeerLost) == 1; }));
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE));
  EXPECT_FALSE(Enabled(present, IDC_RESET));
  EXPECT_EQ(resets + 2, SimDriver::Count(Call::ResetLink));
  EXPECT_EQ(0, Devices().at(1)->connected);
  EXPECT_EQ(2, CountInPage(present, kConnected));
  EXPECT_EQ(0, CountInPage(absent, kConnected));
}

TEST_F(LinkWorkerTest, UnpluggedCableClosesItsPageAndHoldsUpTheDevicesBehindIt) {
  Pair pair = AddPair("behind", "front");
  ASSERT_TRUE(pair.back && pair.front);
  const int front = pair.frontCable;
  HWND frontPage = pair.front->page;
  HWND behindPage = pair.back->page;
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(behindPage, kPeerExist) == 1; }));

  SimDriver::Unplug(front);
  ASSERT_TRUE(WaitForStatusReads(0, 1));
  SimDriver::ClearEvents();
  ASSERT_TRUE(WaitForStatusReads(0, 20));
  EXPECT_EQ(0, CountStatusReads().ok) << "the device behind was polled";

  sounds_.Take();
  ASSERT_TRUE(PumpUntil([] { return DeviceCount == 1; }));
  EXPECT_EQ(std::vector<int>{int(NotifySound::DeviceRemoved)}, sounds_.Take());
  EXPECT_FALSE(IsWindow(frontPage));
  EXPECT_FALSE(SimDriver::IsOpen(front));
  ASSERT_EQ(1u, Devices().size());
  EXPECT_EQ(behindPage, DeviceList->page);
  EXPECT_EQ(1, Tty(*pair.console).result) << "the device behind is served again";
}

TEST_F(LinkWorkerTest, OneScanTakesEveryNewCableNewestFirst) {
  for (const void* sound : SoundData) {
    ASSERT_NE(nullptr, sound);
    EXPECT_EQ(0, std::memcmp(sound, "RIFF", 4));
  }
  EXPECT_FALSE(ScanForCables()) << "no cable";
  EXPECT_EQ(0, DeviceCount);
  EXPECT_TRUE(sounds_.Take().empty());
  const int first = SimDriver::Plug("first");
  const int second = SimDriver::Plug("second");
  ASSERT_TRUE(ScanForCables());
  EXPECT_EQ(2, DeviceCount);
  const int added = int(NotifySound::DeviceAdded);
  EXPECT_EQ((std::vector<int>{added, added}), sounds_.Take());
  EXPECT_TRUE(SimDriver::IsOpen(first));
  EXPECT_TRUE(SimDriver::IsOpen(second));
  ASSERT_EQ(2u, Devices().size());
  EXPECT_EQ("second", DeviceList->link->Name());
  EXPECT_EQ("first", DeviceList->next->link->Name());
  for (DeviceRecord* r : Devices()) {
    EXPECT_EQ(r, PageRecord(r->page));
    EXPECT_EQ(MainWindow, GetParent(r->page));
  }
  EXPECT_EQ(DeviceList->page, ShownPage) << "the last cable found is shown";
  EXPECT_FALSE(ScanForCables());
  EXPECT_EQ(2, DeviceCount);
  EXPECT_TRUE(sounds_.Take().empty());
}

// Which of three devices (head first) a normal close keeps: a device is kept
// when its console still has a command queued, or when its tab is gone.
TEST_F(LinkWorkerTest, CloseAllKeepsBusyDevicesAndRelinksTheRest) {
  enum Hold { Free, Queued, NoTab };
  const struct Row {
    Hold hold[3];
  } rows[] = {{{Free, Queued, Free}}, {{Queued, Free, Free}}, {{Free, NoTab, Free}}};
  for (const Row& row : rows) {
    SimDriver::Reset();  // the cables of the row before would be found again
    for (int i = 0; i < 3; ++i) {
      int cable = 0;
      ASSERT_NE(nullptr, AddCable("cable", &cable));
    }
    std::vector<DeviceRecord*> records = Devices();
    for (int i = 0; i < 3; ++i) {
      if (row.hold[i] == Queued) {
        ASSERT_TRUE(records[i]->session->Append(tavrin::kTagReset, nullptr));
      }
      if (row.hold[i] == NoTab) {
        ASSERT_TRUE(RemovePageTab(records[i]->page));
      }
    }
    DeviceRecord* kept = nullptr;
    for (int i = 0; i < 3; ++i)
      if (row.hold[i] != Free) kept = records[i];

    sounds_.Take();
    EXPECT_FALSE(CloseAllDevices(false));
    const int removed = int(NotifySound::DeviceRemoved);
    EXPECT_EQ((std::vector<int>{removed, removed}), sounds_.Take());
    ASSERT_EQ(1, DeviceCount);
    EXPECT_EQ(kept, DeviceList);
    EXPECT_EQ(nullptr, kept->next);
    EXPECT_TRUE(IsWindow(kept->page));
    EXPECT_NE(nullptr, WorkerThread) << "the worker goes on";

    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), WorkerThread, GetCurrentProcess(), &thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    EXPECT_TRUE(CloseAllDevices(true)) << "forced";
    EXPECT_TRUE(sounds_.Take().empty()) << "a forced close is silent";
    EXPECT_EQ(nullptr, DeviceList);
    EXPECT_EQ(nullptr, WorkerThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000)) << "the thread ended";
    CloseHandle(thread);
    EXPECT_FALSE(ScanForCables()) << "a stopped worker takes no cable";
    ASSERT_TRUE(StartWorker());
  }
  EXPECT_TRUE(CloseAllDevices(false)) << "an empty list";
  EXPECT_EQ(nullptr, WorkerThread);
}

TEST_F(LinkWorkerTest, QuitGoesOnlyToConnectedConsolesAndDrainsBeforeClose) {
  Pair pair = AddPair("idle", "served");
  ASSERT_TRUE(pair.back && pair.front);
  const int idle = pair.backCable, served = pair.frontCable;
  DeviceRecord* record = pair.front;
  DeviceRecord* idleRecord = pair.back;
  auto console = Console(served);
  ASSERT_EQ(1, Tty(*console).result);
  ASSERT_TRUE(PumpUntil([&] { return Enabled(record->page, IDC_EXECUTE); }));

  ASSERT_TRUE(QueueQuitForAll());
  for (DeviceRecord* r : {record, idleRecord}) {
    EXPECT_EQ(1, r->closing);
    for (int id : {IDC_EXECUTE, IDC_RESET, IDC_SAVE_LOG, IDC_CLEAR_LOG})
      EXPECT_FALSE(Enabled(r->page, id)) << id;
  }
  EXPECT_TRUE(idleRecord->session->QueueEmpty());
  EXPECT_FALSE(record->session->QueueEmpty());
  EXPECT_FALSE(CloseAllDevices(false)) << "the quit is still queued";
  ASSERT_EQ(1, DeviceCount);
  EXPECT_EQ(record, DeviceList);
  SimDriver::Unplug(idle);  // else the next scan would find it again

  // A device that comes now is polled; the drained, closing one no longer.
  sim::PollOutcome poll = console->Poll(0).get();
  ASSERT_TRUE(poll.command);
  EXPECT_EQ(3, poll.code);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(record->page, "Send quit command.\r\n") == 1; }));
  int fresh = 0;
  ASSERT_NE(nullptr, AddCable("fresh", &fresh));
  SimDriver::ClearEvents();
  ASSERT_TRUE(WaitForStatusReads(50, 0));
  EXPECT_EQ(0, CountStatusReads().withPeer) << "the closing device was polled";

  EXPECT_TRUE(CloseAllDevices(false)) << "a normal close now takes both";
  EXPECT_FALSE(SimDriver::IsOpen(served));
}

// Decision 10: an idle worker sleeps between passes. A bound on processor
// time, not on wall time: a spinning worker would use most of the second.
TEST_F(LinkWorkerTest, IdleWorkerUsesAlmostNoProcessor) {
  auto cpu = [] {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(WorkerThread, &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return ticks(kernel) + ticks(user);  // 100 ns units
  };
  const uint64_t before = cpu();
  Sleep(1000);
  EXPECT_LT(cpu() - before, 100 * 10000u) << "more than 100 ms of processor in a second";
}

TEST_F(LinkWorkerTest, PriorityFollowsTheSetting) {
  const struct {
    uint8_t setting;
    int priority;
  } rows[] = {{0, THREAD_PRIORITY_BELOW_NORMAL},
              {1, THREAD_PRIORITY_NORMAL},
              {2, THREAD_PRIORITY_ABOVE_NORMAL},
              {7, THREAD_PRIORITY_ABOVE_NORMAL}};
  for (const auto& row : rows) {
    Settings.priority = row.setting;
    ApplyWorkerPriority();
    EXPECT_EQ(row.priority, GetThreadPriority(WorkerThread)) << int(row.setting);
  }
}

// Decision 11: a console that announces a body and stops sending it leaves
// the worker in a read with no bound of its own. Every wait of the UI thread
// on the worker cancels that read, the exchange fails the ordinary way, and
// the other cable is served again. The simulated read would only give up
// after a minute, so only the cancel can end it in time.
TEST_F(LinkWorkerTest, StalledBodyIsCancelledByEveryWaitOnTheWorker) {
  TempFolder folder;
  SetSharedFolder(folder.Path().c_str());
  Pair pair = AddPair("good", "stalled");
  ASSERT_TRUE(pair.back && pair.front);
  sim::ConsoleEmulator& goodConsole = *pair.console;
  HWND page = pair.front->page;
  auto console = Console(pair.frontCable);
  ASSERT_EQ(1, Tty(*console).result);
  SimDriver::SetReadTimeoutMs(60000);

  const std::string saved = folder.File("saved.txt");
  const struct Row {
    const char* what;
    std::function<bool()> wait;
  } rows[] = {
      {"scan", [&] { SimDriver::Plug("extra"); return ScanForCables(); }},
      {"save log", [&] {
         FileDialogDriver dialog("Save log...", saved.c_str(), 1);
         SendMessageA(page, WM_COMMAND, IDC_SAVE_LOG, 0);
         return dialog.Finish() && CountInPage(page, "Save log failed.\r\n") == 0;
       }},
      {"remove", [&] { return RemoveDevice(DeviceList->page); }},  // the extra cable's
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HANDLE blocked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SimDriver::At(Call::Read, 2, [blocked] { SetEvent(blocked); });  // the body's first chunk
    console->StallNextSend();
    const uint8_t header[] = {0xA0, 0x86, 0x01, 0x00, 'T', 'v', 'R', 0x10};  // 100000 bytes
    console->SendRaw({header, header + sizeof header}).get();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(blocked, 10000));
    CloseHandle(blocked);
    const uint64_t resets = SimDriver::Count(Call::ResetLink);
    SimDriver::ClearEvents();

    EXPECT_TRUE(row.wait());
    bool cancelled = false;
    for (const auto& e : SimDriver::Events()) cancelled |= e.call == Call::CancelIo && e.ok;
    EXPECT_TRUE(cancelled);
    EXPECT_LT(resets, SimDriver::Count(Call::ResetLink));
    ASSERT_TRUE(PumpUntil([&] { return CountInPage(page, "Error recieving packet body.\r\n") > 0; }));
    EXPECT_EQ(1, Tty(goodConsole).result) << "the other cable is served";
    EXPECT_EQ(1, Tty(*console).result) << "and this one after its reset";
  }
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(folder.Read("saved.txt", &bytes));
  EXPECT_NE(std::string::npos, std::string(bytes.begin(), bytes.end()).find("Error recieving"))
      << "the failed exchange's line was flushed before the log was saved";
}

}  // namespace
