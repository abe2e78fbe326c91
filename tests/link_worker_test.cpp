// The link worker with its real thread, real pages in the real main window,
// the simulated driver and the console emulator: the peer states and their
// log lines, cables coming and going, shutdown, and the bound on how long
// the UI thread can wait for the worker.
#include "session/link_worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "session/device_record.h"
#include "session/target_session.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/console_link.h"
#include "tests/support/program_probe.h"
#include "tests/support/worker_fixture.h"
#include "ui/main_window.h"
#include "ui/resource.h"

using sim::Call;
using sim::SimDriver;

namespace {

const char kPeerExist[] = "Peer exist.\r\n";
const char kConnected[] = "Ps2 connected.\r\n";
const int kAdded = int(NotifySound::DeviceAdded), kRemoved = int(NotifySound::DeviceRemoved);

bool Enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }

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

// Plugs cables (ids 0, 1, ... after a reset) and takes them with one scan;
// their records, newest first.
std::vector<DeviceRecord*> AddCables(std::vector<const char*> names) {
  for (const char* name : names) SimDriver::Plug(name);
  return ScanForCables() ? Devices() : std::vector<DeviceRecord*>{};
}

// Status reads since the last ClearEvents: failed ones, or ones that saw a console.
int StatusReads(bool failed) {
  int reads = 0;
  for (const auto& e : SimDriver::Events())
    reads += e.call == Call::GetStatus && (failed ? !e.ok : e.ok && (e.value & 1));
  return reads;
}

// Waits, without handling messages (the page stays), for failed status reads.
bool WaitForFailedReads(int count) {
  return probe::WaitFor([count] { return StatusReads(true) >= count; }, 10000);
}

using LinkWorkerTest = WorkerTest;

TEST_F(LinkWorkerTest, PeerStatesLogTheirLinesAndSwitchTheButtons) {
  EXPECT_FALSE(ScanForCables()) << "no cable";
  auto console = Console(SimDriver::Plug("present"));
  const int lateCable = SimDriver::Plug("absent");
  ASSERT_TRUE(ScanForCables());
  ASSERT_EQ(2, DeviceCount) << "one scan takes every new cable";
  EXPECT_EQ((std::vector<int>{kAdded, kAdded}), sounds_.Take());
  HWND absent = DeviceList->page, present = DeviceList->next->page;
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kPeerExist) == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, "Wait for peer.\r\n") == 1; }));
  auto late = Console(lateCable);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(absent, kPeerExist) == 1; }));

  // Served, served again, a bad request (the link is reset), served: two
  // announcements.
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE));
  ASSERT_EQ(1, Tty(*console));
  ASSERT_TRUE(PumpUntil([&] { return Enabled(present, IDC_RESET); }));
  ASSERT_EQ(1, Tty(*console));
  const uint64_t resets = SimDriver::Count(Call::ResetLink);
  console->Request(0x30, {}).get();  // a tag that is no request
  ASSERT_TRUE(PumpUntil([&] { return SimDriver::Count(Call::ResetLink) == resets + 1; }));
  ASSERT_EQ(1, Tty(*console));
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, kConnected) == 2; }));

  console->Detach();
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(present, "Peer lost.\r\n") == 1; }));
  EXPECT_FALSE(Enabled(present, IDC_EXECUTE));
  EXPECT_FALSE(Enabled(present, IDC_RESET));
  EXPECT_EQ(2, CountInPage(present, kConnected));
}

// A failed status read ends the pass: the devices behind the unplugged
// cable wait until its page has gone, and the list is linked past it.
TEST_F(LinkWorkerTest, UnpluggedCableClosesItsPageAndHoldsUpTheDevicesBehindIt) {
  std::vector<DeviceRecord*> records = AddCables({"behind", "unplugged", "front"});
  ASSERT_EQ(3u, records.size());
  auto console = Console(0);
  HWND gone = records[1]->page;
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(records[2]->page, kPeerExist) == 1; }));

  SimDriver::Unplug(1);
  ASSERT_TRUE(WaitForFailedReads(1));
  SimDriver::ClearEvents();
  ASSERT_TRUE(WaitForFailedReads(20));
  EXPECT_EQ(0, StatusReads(false)) << "the device behind was polled";

  sounds_.Take();
  ASSERT_TRUE(PumpUntil([] { return DeviceCount == 2; }));
  EXPECT_EQ(std::vector<int>{kRemoved}, sounds_.Take());
  EXPECT_FALSE(IsWindow(gone));
  EXPECT_EQ((std::vector<DeviceRecord*>{records[0], records[2]}), Devices());
  EXPECT_EQ(1, Tty(*console)) << "the device behind is served again";
}

// A normal close keeps a device whose console still has a command queued,
// or whose tab is gone, and goes on with the worker; a forced one takes
// all, silently, and stops it.
TEST_F(LinkWorkerTest, CloseAllKeepsBusyDevicesAndRelinksTheRest) {
  for (int kept : {0, 1}) {
    SimDriver::Reset();  // the cables of the round before would be found again
    std::vector<DeviceRecord*> records = AddCables({"a", "b", "c"});
    ASSERT_EQ(3u, records.size());
    // The head keeps a command queued, or the middle one loses its tab.
    EXPECT_TRUE(kept ? RemovePageTab(records[1]->page)
                     : records[0]->session->Append(tavrin::kTagReset, nullptr));
    sounds_.Take();
    EXPECT_FALSE(CloseAllDevices(false));
    EXPECT_EQ((std::vector<int>{kRemoved, kRemoved}), sounds_.Take());
    EXPECT_EQ(std::vector<DeviceRecord*>{records[kept]}, Devices());
    EXPECT_NE(nullptr, WorkerThread);

    EXPECT_TRUE(CloseAllDevices(true));
    EXPECT_TRUE(sounds_.Take().empty()) << "a forced close is silent";
    EXPECT_EQ(nullptr, WorkerThread);
    EXPECT_FALSE(ScanForCables()) << "a stopped worker takes no cable";
    ASSERT_TRUE(StartWorker());
  }
}

TEST_F(LinkWorkerTest, QuitGoesOnlyToConnectedConsolesAndDrainsBeforeClose) {
  std::vector<DeviceRecord*> records = AddCables({"served", "idle"});
  ASSERT_EQ(2u, records.size());
  auto console = Console(0);
  ASSERT_EQ(1, Tty(*console));
  ASSERT_TRUE(PumpUntil([&] { return Enabled(records[1]->page, IDC_EXECUTE); }));

  ASSERT_TRUE(QueueQuitForAll());
  EXPECT_TRUE(records[0]->session->QueueEmpty()) << "no quit for an idle console";
  for (int id : {IDC_EXECUTE, IDC_RESET, IDC_SAVE_LOG, IDC_CLEAR_LOG})
    EXPECT_FALSE(Enabled(records[0]->page, id));
  EXPECT_FALSE(CloseAllDevices(false)) << "the quit is still queued";
  EXPECT_EQ(std::vector<DeviceRecord*>{records[1]}, Devices());
  SimDriver::Unplug(1);  // else the next scan would find it again
  EXPECT_EQ(3, console->Poll(0).get().code);
  ASSERT_TRUE(PumpUntil([&] { return CountInPage(records[1]->page, "Send quit command.\r\n") == 1; }));
  EXPECT_TRUE(CloseAllDevices(false)) << "drained, it closes";
}

// A console that announces a body and stops sending it leaves the worker in
// a read with no bound of its own (here a minute). A wait of the UI thread
// on the worker cancels that read; the exchange fails the ordinary way, and
// the other cable is served again.
TEST_F(LinkWorkerTest, StalledBodyIsCancelledByAWaitOnTheWorker) {
  TempFolder folder;
  SetSharedFolder(folder.Path().c_str());
  std::vector<DeviceRecord*> records = AddCables({"good", "stalled"});
  ASSERT_EQ(2u, records.size());
  auto goodConsole = Console(0), console = Console(1);
  HWND page = records[0]->page;
  ASSERT_EQ(1, Tty(*console));
  SimDriver::SetReadTimeoutMs(60000);
  HANDLE blocked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SimDriver::At(Call::Read, 2, [blocked] { SetEvent(blocked); });  // the body's first chunk
  console->StallNextSend();
  const uint8_t header[] = {0xA0, 0x86, 0x01, 0x00, 'T', 'v', 'R', 0x10};  // 100000 bytes
  console->SendRaw({header, header + sizeof header}).get();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(blocked, 10000));
  CloseHandle(blocked);

  // Save log parks the worker, and flushes the log before it writes it.
  ASSERT_TRUE(UseFileDialog([page] { SendMessageA(page, WM_COMMAND, IDC_SAVE_LOG, 0); },
                            folder.File("saved.txt").c_str(), 1));
  EXPECT_LT(0u, SimDriver::Count(Call::CancelIo));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(folder.Read("saved.txt", &bytes));
  const std::string saved(bytes.begin(), bytes.end());
  EXPECT_NE(std::string::npos, saved.find("Error recieving packet body"));
  EXPECT_EQ(1, Tty(*goodConsole)) << "the other cable is served";
  EXPECT_EQ(1, Tty(*console)) << "and this one after its reset";
}

}  // namespace
