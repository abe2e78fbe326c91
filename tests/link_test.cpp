// LinkDevice and PacketTransport against the simulated cable driver and the
// console emulator; the driver's wire values; the simulated USB 1.1 timing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "link/packet_transport.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "sim/sim_timing.h"
#include "tests/support/test_data.h"
#include "tests/support/test_page.h"
#include "log/log_queue.h"

using namespace tavrin;
using sim::Call;
using sim::SimDriver;
using Ints = std::vector<int>;
using Data = std::vector<uint8_t>;
using Script = std::function<void()>;

namespace {

const uint8_t kReplyTagBytes[4] = {'T', 'v', 'R', 0x20};
const uint8_t kOpenTagBytes[4] = {'T', 'v', 'R', 0x10};

// Written out here, not taken from the header that the simulated driver
// shares with the host: a wrong value there would fool both ends alike.
TEST(CableProtocolTest, WireValuesAreTheDrivers) {
  EXPECT_EQ((std::vector<uint32_t>{0x220000, 0x220004, 0x220008, 0x22000C, 0x220010}),
            (std::vector<uint32_t>{IOCTL_TAVRIN_GET_INFO, IOCTL_TAVRIN_RESET_LINK, IOCTL_TAVRIN_GET_STATUS,
                                   IOCTL_TAVRIN_SET_FEATURE, IOCTL_TAVRIN_CLEAR_FEATURE}));
  EXPECT_EQ((Ints{1, 2, 4, 32, 2, 4}),
            (Ints{kStatusPeerExists, kStatusTransferRequest, kStatusTransferComplete, kStatusTransmitReady,
                  kFeatureTransferRequest, kFeatureTransferComplete}));
  const GUID guid = {0x5a8e3c12, 0x7d40, 0x11d5, {0xb2, 0xc4, 0x00, 0x50, 0xda, 0x61, 0xe9, 0xf7}};
  EXPECT_EQ(0, std::memcmp(&guid, &GUID_DEVINTERFACE_TAVRIN, sizeof guid));
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { SimDriver::Reset(); }
  void TearDown() override {
    console_.reset();
    EXPECT_EQ(held_, PacketBodiesHeld()) << "a packet body leaked";
    link_.Close();
    SimDriver::Reset();
  }
  // A cable opened by path, with a console on it.
  void Connect() {
    cable_ = SimDriver::Plug("cable");
    ASSERT_TRUE(link_.Open(SimDriver::DevicePath(cable_).c_str()));
    FreshConsole();
  }
  // A new console on a reset link, as the worker leaves it after a failed
  // exchange; nothing in the log, nothing recorded.
  void FreshConsole() {
    console_.reset();
    link_.ResetLink();
    console_ = std::make_unique<sim::ConsoleEmulator>([this] { return SimDriver::AttachConsole(cable_); });
    page_.TakeQueued();
    SimDriver::ClearEvents();
  }
  // What the host asked for in its calls of these kinds, in order: the byte
  // counts of reads and writes; the bits set (+) and cleared (-).
  static Ints Calls(std::initializer_list<Call> kinds) {
    Ints out;
    for (auto& e : SimDriver::Events())
      for (Call k : kinds)
        if (e.call == k) out.push_back(k == Call::ClearFeature ? -int(e.value) : int(e.value));
    return out;
  }
  static Ints Handshake() { return Calls({Call::SetFeature, Call::ClearFeature}); }
  // Receives one packet: whether one came, checking that its body is this
  // one (no body at all when it failed).
  bool Receive(const Data& body) {
    PacketHeader header = {};
    uint8_t* got = nullptr;
    const bool ok = transport_.ReceivePacket(&header, &got);
    EXPECT_EQ(ok ? body : Data{}, got ? Data(got, got + header.bodySize) : Data{});
    EXPECT_TRUE(ok || !got);
    FreePacketBody(got);
    return ok;
  }
  int cable_ = 0;
  LinkDevice link_;
  TestPage page_;
  PacketTransport transport_{page_.page(), &link_};
  std::unique_ptr<sim::ConsoleEmulator> console_;
  const long held_ = PacketBodiesHeld();
};

// Without a handle a call fails with error 0 and reaches no driver; with one,
// a failed call leaves the caller the driver's error code (0 when it gave
// none) and a count of 0, whatever the lock does to the last error.
TEST_F(LinkTest, FailedCallsReportTheDriversErrorAndNoCount) {
  char buffer[8] = {};
  DWORD count;
  struct Row { Call kind; DWORD error; std::function<bool()> call; } rows[] = {
      {Call::GetInfo, ERROR_INSUFFICIENT_BUFFER,  // no fault: 4 bytes are too few
       [&] { return link_.Control(IOCTL_TAVRIN_GET_INFO, nullptr, 0, buffer, 4, &count); }},
      {Call::Read, ERROR_SEM_TIMEOUT, [&] { return link_.Read(buffer, 8, &count); }},
      {Call::Write, ERROR_DEVICE_NOT_CONNECTED, [&] { return link_.Write(buffer, 8, &count); }},
      {Call::Read, 0, [&] { return link_.Read(buffer, 8, &count); }},  // failed, no code
  };
  for (bool open : {false, true}) {
    for (auto& row : rows) {
      if (open && row.kind != Call::GetInfo) SimDriver::FailNext(row.kind, 1, row.error);
      SetLastError(1234);
      count = 99;
      EXPECT_FALSE(row.call()) << open << int(row.kind);
      EXPECT_EQ(open ? row.error : 0u, GetLastError()) << open << int(row.kind);
      EXPECT_EQ(0u, count) << open << int(row.kind);
    }
    for (int c = 0; !open && c < int(Call::kCount); ++c) EXPECT_EQ(0u, SimDriver::Count(Call(c)));
    ASSERT_TRUE(open || link_.Open(SimDriver::DevicePath(SimDriver::Plug("a")).c_str()));
  }
}

TEST_F(LinkTest, OpenStatusTimingFeaturesScanLockAndClose) {
  const int cable = SimDriver::Plug("PL-2301 cable");
  const std::string path = SimDriver::DevicePath(cable);
  auto console = SimDriver::AttachConsole(cable);
  SimDriver::SetInfoBytes(139);  // a short get info fails the open but keeps the handle
  EXPECT_FALSE(link_.Open(path.c_str()));
  EXPECT_TRUE(link_.HasHandle());
  // The cable opens only once: the next Open must close the held handle first.
  SimDriver::SetInfoBytes(140);
  ASSERT_TRUE(link_.Open(path.c_str()));
  const sim::OpenArgs open = SimDriver::LastOpen();  // no flags: synchronous I/O
  EXPECT_EQ((std::vector<DWORD>{GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                OPEN_EXISTING, 0}),
            (std::vector<DWORD>{open.access, open.share, open.disposition, open.flags}));
  BYTE status = 0;
  ASSERT_TRUE(link_.GetStatus(&status));
  EXPECT_EQ(kStatusPeerExists | kStatusTransmitReady, status);
  SimDriver::StatusReportsNothing(1);  // succeeds, but with 0 bytes
  EXPECT_FALSE(link_.GetStatus(&status));
  // Under USB 1.1 timing a bulk transfer takes a frame for each 19 packets
  // of 64 bytes, and every host call ends in a later frame than it began in
  // (a slow machine only adds frames). Frames are compared, never durations.
  const uint64_t frames[][2] = {{0, 1}, {64 * 19, 1}, {64 * 19 + 1, 2}, {1216000, 1000}};
  for (auto& row : frames) EXPECT_EQ(row[1], sim::BulkFrames(row[0])) << row[0];
  Data bulk(64 * 19 * 3 + 1);  // 4 frames
  ASSERT_TRUE(console->Write(bulk.data(), uint32_t(bulk.size())));
  sim::SetTiming(sim::Timing::Usb11);
  uint64_t before = sim::CurrentFrame();
  EXPECT_TRUE(link_.GetStatus(&status));
  EXPECT_GE(sim::CurrentFrame(), before + 1) << "a status read";
  before = sim::CurrentFrame();
  DWORD count = 0;
  EXPECT_TRUE(link_.Read(bulk.data(), DWORD(bulk.size()), &count));
  EXPECT_GE(sim::CurrentFrame(), before + 4) << "a bulk read";
  sim::SetTiming(sim::Timing::Zero);
  // The features move the register both ends share; a reset clears it.
  EXPECT_TRUE(link_.SetFeature(kFeatureTransferRequest) && link_.SetFeature(kFeatureTransferComplete) &&
              link_.ClearFeature(kFeatureTransferRequest));
  EXPECT_EQ(4, SimDriver::Register(cable));
  EXPECT_TRUE(link_.ResetLink());
  EXPECT_EQ(0, SimDriver::Register(cable));
  // A scan skips the cable held, which the driver refuses to open again.
  SimDriver::Plug("second");
  {
    LinkDevice second, none;
    ASSERT_TRUE(second.Open());
    EXPECT_EQ("second", second.Name());
    EXPECT_FALSE(none.Open());
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
  }
  EXPECT_EQ(1, SimDriver::OpenHandles());  // the destructor closed the second
  // The driver takes one call at a time on a handle; the simulated one
  // counts any call that begins while another is still running there.
  SimDriver::SetRecording(false);
  std::thread other([&] {
    for (int i = 0; i < 20000; ++i) link_.SetFeature(i % 2 ? 2 : 4);
  });
  for (int i = 0; i < 20000; ++i) link_.GetStatus(&status);
  other.join();
  EXPECT_EQ(0u, SimDriver::Overlaps());
  SimDriver::FailNext(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(link_.Close());
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(link_.HasHandle());
  ASSERT_TRUE(link_.Close());
  EXPECT_FALSE(link_.HasHandle() || SimDriver::IsOpen(cable));
  SimDriver::FailNext(Call::CreateFile, 1, ERROR_GEN_FAILURE);
  EXPECT_FALSE(link_.Open(path.c_str()) || link_.HasHandle());
}

TEST_F(LinkTest, ScanOpensTheFirstPresentCableThatOpensAndAlwaysDestroysTheSet) {
  // The name of the cable opened ("": the scan fails), and the enumeration calls.
  struct Row { const char* what; int cables; Script fault; const char* opens; uint64_t enums; };
  const Row rows[] = {
      {"no cable", 0, [] {}, "", 1},
      {"two cables", 2, [] {}, "0", 1},
      {"no device set", 1, [] { SimDriver::FailNext(Call::GetClassDevs, 1, ERROR_OUTOFMEMORY); }, "", 0},
      {"enumeration error at 0", 2, [] { SimDriver::FailEnumAt(0, ERROR_INVALID_DATA); }, "1", 2},
      {"enumeration that never ends", 1,
       [] { SimDriver::FailNext(Call::EnumInterfaces, 1 << 30, ERROR_INVALID_DATA); }, "", 256},
      {"unreadable detail at 0", 2,
       [] {  // the size query succeeds, the read of the detail fails
         SimDriver::At(Call::GetInterfaceDetail, 2,
                       [] { SimDriver::FailNext(Call::GetInterfaceDetail, 1, ERROR_INVALID_DATA); });
       },
       "1", 2},
      {"first cable unplugged", 2, [] { SimDriver::Unplug(0); }, "1", 1},  // present devices only
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    SimDriver::Reset();
    for (int i = 0; i < row.cables; ++i) SimDriver::Plug(std::to_string(i));
    row.fault();
    LinkDevice device;
    EXPECT_EQ(row.opens, device.Open() ? device.Name() : "");
    EXPECT_EQ(row.enums, SimDriver::Count(Call::EnumInterfaces));
    EXPECT_EQ(0, SimDriver::OpenInfoSets());
  }
}

// Both ways: the header, then the body in chunks of at most 4096, with the
// full handshake. A send ends only once the console has read it all: its
// last look at the status found transfer complete cleared. 64 MiB is the
// largest body taken; one byte more is refused (the exchanges below).
TEST_F(LinkTest, BodiesMoveInChunksOfAtMost4096WithTheFullHandshake) {
  Connect();
  // The sizes of the reads and writes, header first.
  struct Row { uint32_t size; Ints calls; } rows[] = {
      {0, {8}}, {4096, {8, 4096}}, {4097, {8, 4096, 1}}, {10000, {8, 4096, 4096, 1808}}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.size);
    const Data body = Pattern(row.size, row.size);
    SimDriver::ClearEvents();
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_.SendPacket({row.size, kTagReply}, body.data()));
    const auto events = SimDriver::Events();
    EXPECT_EQ(Call::GetStatus, events.back().call);
    EXPECT_EQ(0u, events.back().value & kStatusTransferComplete);
    EXPECT_EQ(body, received.get().body);
    EXPECT_EQ(row.calls, Calls({Call::Write}));
    EXPECT_EQ((Ints{2, 4}), Handshake());
    SimDriver::ClearEvents();
    auto sent = console_->SendPacket(kOpenTagBytes, body);
    EXPECT_TRUE(Receive(body));
    EXPECT_TRUE(sent.get());
    EXPECT_EQ(row.calls, Calls({Call::Read}));
    EXPECT_EQ((Ints{-2, -4}), Handshake());
  }
  EXPECT_TRUE(console_->Violations().empty());
  SimDriver::SetRecording(false);
  const Data body = Pattern(kMaxBodySize, 9);
  auto sent = console_->SendPacket(kOpenTagBytes, body);
  EXPECT_TRUE(Receive(body));
  EXPECT_TRUE(sent.get());
}

// One exchange a row, the host sending or receiving 10000 bytes, against a
// scripted driver and console. A wait for a status ends at the first read that
// shows what it waits for (tested before the peer bit), fails, or finds the
// peer gone: the status reads are counted, so a wait that runs on to its time
// bound is caught. Failed feature requests are ignored; a console that stalls
// with its peer bit up fails the exchange once the wait gives up on its own.
// A failure the transport reports logs its one line in the error colour.
TEST_F(LinkTest, ExchangesUnderDriverAndConsoleFaults) {
  Connect();
  const Data body = Pattern(10000);
  Data packet = {0x10, 0x27, 0, 0, 'T', 'v', 'R', 0x13};
  packet.insert(packet.end(), body.begin(), body.end());
  // The nth write or read fails, or moves only `shortTo` bytes; before a
  // read the console sends the packet.
  auto fail = [&](Call call, int nth, uint32_t shortTo = ~0u) {
    return [&, call, nth, shortTo] {
      if (call == Call::Read) console_->SendRaw(packet);
      SimDriver::At(call, nth, [=] {
        if (shortTo == ~0u) SimDriver::FailNext(call, 1, ERROR_GEN_FAILURE);
        else SimDriver::ShortNext(call, shortTo);
      });
    };
  };
  // The console never takes up the host's request; the nth status read fails
  // or finds the peer gone.
  auto stallThenAt = [this](int nth, bool drop) {
    return [this, nth, drop] {
      console_->StallNextReceive();
      console_->ReceiveRaw();
      SimDriver::At(Call::GetStatus, nth, [this, drop] {
        if (drop) SimDriver::DetachConsole(cable_);
        else SimDriver::FailNext(Call::GetStatus, 1, ERROR_IO_DEVICE);
      });
    };
  };
  const char *headerOut = "Error sending packet header.\r\n", *bodyOut = "Error sending packet body.\r\n",
             *headerIn = "Error getting packet header.\r\n", *bodyIn = "Error recieving packet body.\r\n";
  // The bits set (+) and cleared (-), where a failed call records 0 (a
  // failed send withdraws its transfer request); the
  // status reads (0: not a fixed number); the one line logged.
  struct Row { const char* what; bool send; Script script; bool ok; Ints handshake; uint64_t statusReads;
               const char* line = nullptr; } rows[] = {
      {"transmit ready held clear for 49 reads", true, [this] {
         SimDriver::SetTransmitReady(cable_, false);
         SimDriver::At(Call::GetStatus, 50, [this] { SimDriver::SetTransmitReady(cable_, true); });
         SimDriver::At(Call::SetFeature, 1, [] { EXPECT_EQ(50u, SimDriver::Events().size()); });
         console_->ReceiveRaw();
       }, true, {2, 4}, 0},
      {"ready, no peer", true, [this] { console_->Detach(); }, false, {2, -2}, 2},
      {"first read fails", true, stallThenAt(1, false), false, {}, 1},
      {"a later read fails", true, stallThenAt(5, false), false, {2, -2}, 5},
      {"peer drops while sending", true, stallThenAt(50, true), false, {2, -2}, 50},
      {"peer drops while receiving", false, stallThenAt(20, true), false, {}, 20},
      {"console stalls before transfer complete", false,
       [&] { console_->StallNextSend(); console_->SendRaw(packet); }, false, {-2}, 0},
      {"clearing transfer request fails", false,
       [&] { console_->SendRaw(packet); SimDriver::FailNext(Call::ClearFeature, 1, ERROR_IO_DEVICE); },
       true, {0, -4}, 0},
      // The host goes on and finds transfer complete clear all the same.
      {"raising transfer complete fails", true, [this] {
         console_->ReceiveRaw();
         SimDriver::At(Call::SetFeature, 2,
                       [] { SimDriver::FailNext(Call::SetFeature, 1, ERROR_IO_DEVICE); });
       }, true, {2, 0}, 0},
      {"header write fails", true, fail(Call::Write, 1), false, {2, -2}, 1, headerOut},
      {"header write short", true, fail(Call::Write, 1, 7), false, {2, -2}, 1, headerOut},
      {"second chunk write fails", true, fail(Call::Write, 3), false, {2, -2}, 1, bodyOut},
      {"first chunk write short", true, fail(Call::Write, 2, 4000), false, {2, -2}, 1, bodyOut},
      {"header read fails", false, fail(Call::Read, 1), false, {-2}, 0, headerIn},
      {"header read short", false, fail(Call::Read, 1, 4), false, {-2}, 0, headerIn},
      {"body of 64 MiB and 1 byte", false, [this] { console_->SendRaw({1, 0, 0, 4, 'T', 'v', 'R', 0x13}); },
       false, {-2}, 0, "Unable to allocate memory for packet body.\r\n"},
      {"second chunk read fails", false, fail(Call::Read, 3), false, {-2}, 0, bodyIn},
      {"last chunk read short", false, fail(Call::Read, 4, 1000), false, {-2}, 0, bodyIn},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    FreshConsole();
    const uint64_t before = SimDriver::Count(Call::GetStatus);
    row.script();
    EXPECT_EQ(row.ok, row.send ? transport_.SendPacket({10000, kTagReply}, body.data())
                               : Receive(row.ok ? body : Data{}));
    const uint64_t reads = SimDriver::Count(Call::GetStatus) - before;
    EXPECT_EQ(row.statusReads ? row.statusReads : reads, reads);
    EXPECT_EQ(row.handshake, Handshake());
    const auto lines = page_.Queued();
    ASSERT_EQ(row.line ? 1u : 0u, lines.size());
    for (auto& line : lines) {
      EXPECT_EQ(row.line, line.text);
      EXPECT_EQ(Settings.colours[LogError], line.colour);
    }
  }
}

// Replies both ways: the body SendReply builds, and the result ReceiveReply
// takes from what arrives.
TEST_F(LinkTest, ReplyPackets) {
  Connect();
  struct Sent { int32_t result; const uint8_t* data; int32_t length; Data body; } sent[] = {
      {7, nullptr, -5, {7, 0, 0, 0}}, {0x01020304, nullptr, 12, {4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {-1, kOpenTagBytes, 2, {0xFF, 0xFF, 0xFF, 0xFF, 'T', 'v'}}, {5, kOpenTagBytes, 0, {5, 0, 0, 0}}};
  for (auto& row : sent) {
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_.SendReply(row.result, row.data, row.length));
    sim::RawPacket packet = received.get();
    EXPECT_EQ(0x20, packet.tag[3]);
    EXPECT_EQ(row.body, packet.body) << row.result;
  }
  const uint8_t foreign[4] = {'T', 'v', 'r', 0x20};
  struct Received { const uint8_t* tag; Data body; int32_t result; } received[] = {
      {kOpenTagBytes, {1, 0, 0, 0, '/', 'a', 0}, -1},       {foreign, {1, 0, 0, 0}, -1},
      {kReplyTagBytes, {0xFF, 0xFF, 0xFF, 0xFF}, -1},       {kReplyTagBytes, {9, 0, 0}, -1},
      {kReplyTagBytes, {42, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 42}, {kReplyTagBytes, {}, -1},
  };
  for (auto& row : received) {
    auto pending = console_->SendPacket(row.tag, row.body);
    EXPECT_EQ(row.result, transport_.ReceiveReply()) << row.body.size();
    EXPECT_TRUE(pending.get());
  }
}

}  // namespace
