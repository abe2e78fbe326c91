// The virtual cable listener, in-process with the host's LinkDevice, which
// finds each cable by its scan: the edges of each op against what the host
// end sees, and frames that break the rules close only their own connection.
// Every op's plain use, and files served over the wire, are the e2e suite's.
#include "sim/virtual_cable.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "sim/sim_driver.h"
#include "sim/socket_console_end.h"
#include "sim/program_probe.h"
#include "tests/support/test_data.h"

using namespace tavrin;
using sim::SimDriver;
namespace wire = sim::wire;

namespace {

constexpr int kBoundMs = 10000;
using Data = std::vector<uint8_t>;

bool Within(const std::function<bool()>& done) { return probe::WaitFor(done, kBoundMs); }

Data Cat(Data head, const Data& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
// A frame whose length field says `length` (by default the payload's).
Data Frame(uint8_t op, const Data& payload, int64_t length = -1) {
  return Cat(Cat({op}, Le32Bytes(uint32_t(length < 0 ? payload.size() : length))), payload);
}
// WAIT is {mask, value} and READ a count, each followed by a time-out in ms.
Data WaitArgs(uint8_t mask, uint8_t value, uint32_t ms) { return Cat({mask, value}, Le32Bytes(ms)); }
Data ReadArgs(uint32_t count, uint32_t ms) { return Cat(Le32Bytes(count), Le32Bytes(ms)); }

// The console's end, with the replies a test insists on.
struct WireClient : SocketConsoleEnd {
  using SocketConsoleEnd::SocketConsoleEnd;
  Data Ask(uint8_t op, const Data& payload = {}) {
    Data reply;
    EXPECT_TRUE(Exchange(op, payload, &reply)) << int(op);
    return reply;
  }
};

// The host's side of one cable, found by the scan.
struct Host {
  LinkDevice link;
  bool opened = link.Open();
  int Status() {  // 0: the read failed
    BYTE status = 0;
    return link.GetStatus(&status) ? 0x100 | status : 0;  // 0x100: the read worked
  }
};

// One walk over a listener: cables come with HELLO, in order, named and
// attached as said; the edges of each op; frames that break the rules; more
// cables than the driver has slots; long waits broken off.
TEST(VirtualCableTest, ConnectionsAreCablesThatServeTheirOpsAndEndAlone) {
  SimDriver::Reset();
  WSADATA data;  // the listener's own start and stop leave Winsock to the test
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
  sim::VirtualCableListener listener;
  std::string error;
  ASSERT_TRUE(listener.Start(0, &error)) << error;
  // A connection that has said HELLO (and attached).
  const auto connect = [&](const std::string& name, bool attach = true) {
    auto end = std::make_unique<WireClient>(listener.Port());
    EXPECT_TRUE(end->Hello(name, attach)) << name;
    return end;
  };
  auto first = connect("");
  auto second = connect(std::string(131, 's'));  // its NUL the block's last byte
  auto end = connect(std::string(wire::kMaxName, 'n'), false);
  EXPECT_EQ(Data{0}, end->Ask(wire::kStatus));  // the host has not opened it
  auto a = std::make_unique<Host>(), b = std::make_unique<Host>();
  Host host;
  ASSERT_TRUE(a->opened && b->opened && host.opened);
  EXPECT_EQ(sim::kDefaultVirtualCableName, a->link.Name());
  EXPECT_EQ(std::string(131, 's'), b->link.Name());
  EXPECT_EQ(std::string(132, 'n'), host.link.Name());  // the info block holds 132
  EXPECT_EQ(0x100 | kStatusPeerExists | kStatusTransmitReady, a->Status());
  EXPECT_EQ(0x100 | kStatusTransmitReady, host.Status());  // no ATTACH yet
  EXPECT_EQ(Data{kStatusPeerExists}, end->Ask(wire::kStatus));
  // Not attached: the handshake can't be touched and nothing is taken.
  end->Ask(wire::kSet, {kFeatureTransferRequest});
  EXPECT_EQ(0, SimDriver::Register(2));
  EXPECT_EQ(Le32Bytes(0), end->Ask(wire::kWrite, {1, 2, 3}));

  EXPECT_TRUE(end->Ask(wire::kAttach, {1}).empty());
  end->Ask(wire::kSet, {kFeatureTransferComplete});
  EXPECT_EQ(0x100 | kStatusPeerExists | kStatusTransferComplete | kStatusTransmitReady, host.Status());
  ASSERT_TRUE(host.link.SetFeature(kFeatureTransferRequest));
  EXPECT_EQ(Data{7}, end->Ask(wire::kWait, WaitArgs(6, 6, kBoundMs)));
  // A wait that can't be met answers at its time-out with the status.
  EXPECT_EQ(Data{7}, end->Ask(wire::kWait, WaitArgs(2, 0, 30)));
  end->Ask(wire::kClear, {kFeatureTransferComplete});
  ASSERT_TRUE(host.link.ClearFeature(kFeatureTransferRequest));
  EXPECT_EQ(Data{kStatusPeerExists}, end->Ask(wire::kStatus));

  // READ takes the host's bytes, or what has come when its time-out
  // passes; once the host closes, at once what is left.
  DWORD moved = 0;
  ASSERT_TRUE(host.link.Write("abc", 3, &moved));
  EXPECT_EQ(Bytes("ab"), end->Ask(wire::kRead, ReadArgs(2, kBoundMs)));
  EXPECT_EQ(Bytes("c"), end->Ask(wire::kRead, ReadArgs(10, 30)));
  ASSERT_TRUE(host.link.Write("de", 2, &moved) && host.link.Close());
  EXPECT_EQ(Bytes("de"), end->Ask(wire::kRead, ReadArgs(10, 600000)));

  end->Ask(wire::kAttach, {0});
  ASSERT_TRUE(host.link.Open());
  EXPECT_EQ(0x100 | kStatusTransmitReady, host.Status());

  // Frames that break the rules: each closes its own connection and unplugs
  // its cable; the last connection, the bystander, is served on as before.
  a.reset(), b.reset(), first.reset(), second.reset();
  Data longName(wire::kMagic, wire::kMagic + 4);
  longName.resize(4 + wire::kMaxName + 1, 'x');
  // Whether the row starts after a valid HELLO; the bytes sent; whether the
  // client then closes (mid-frame).
  struct Row { const char* what; bool hello; Data bytes; bool closeAfter = false; } rows[] = {
      {"status before hello", false, Frame(wire::kStatus, {})},
      {"hello with the wrong magic", false, Frame(wire::kHello, {'T', 'V', 'C', '2'})},
      {"hello too short", false, Frame(wire::kHello, {'T', 'V', 'C'})},
      {"hello name too long", false, Frame(wire::kHello, longName)},
      {"hello repeated", true, Frame(wire::kHello, {'T', 'V', 'C', '1'})},
      {"unknown op", true, Frame(0x09, {})},
      {"a reply op as request", true, Frame(wire::kStatus | 0x80, {})},
      {"status with a payload", true, Frame(wire::kStatus, {0})},
      {"attach of two bytes", true, Frame(wire::kAttach, {1, 1})},
      {"attach neither 0 nor 1", true, Frame(wire::kAttach, {2})},
      {"set of bit 1", true, Frame(wire::kSet, {1})},
      {"clear of bits 2 and 4", true, Frame(wire::kClear, {6})},
      {"set without its byte", true, Frame(wire::kSet, {})},
      {"write over 16 MiB", true, Frame(wire::kWrite, {}, wire::kMaxPayload + 1)},
      {"read of 7 bytes", true, Frame(wire::kRead, Data(7))},
      {"read of 9 bytes", true, Frame(wire::kRead, Data(9))},
      {"read over 16 MiB", true, Frame(wire::kRead, ReadArgs(wire::kMaxPayload + 1, 0))},
      {"wait of 5 bytes", true, Frame(wire::kWait, Data(5))},
      {"wait of 7 bytes", true, Frame(wire::kWait, Data(7))},
      {"closed mid-header", true, {wire::kWrite, 100, 0}, true},
      {"closed mid-payload", true, Frame(wire::kWrite, Data(10), 100), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WireClient client(listener.Port());
    std::unique_ptr<Host> rowHost;
    if (row.hello) {
      ASSERT_TRUE(client.Hello(row.what));
      rowHost = std::make_unique<Host>();
      EXPECT_EQ(row.what, rowHost->link.Name());
    }
    ASSERT_TRUE(client.SendBytes(row.bytes));
    if (row.closeAfter) client.Disconnect();
    EXPECT_TRUE(row.closeAfter || client.ClosedByPeer());
    EXPECT_TRUE(!rowHost || Within([&] { return rowHost->Status() == 0; }));
    EXPECT_TRUE(Within([&] { return listener.Connections() == 1; }));
    EXPECT_EQ(Data{kStatusPeerExists}, end->Ask(wire::kStatus));
  }
  // A long-running program sees more cables come and go than the driver
  // has slots: a slot whose cable is unplugged and closed is taken again.
  for (int i = 0; i < 70; ++i) {
    auto cable = connect("cable " + std::to_string(i));
    Host slot;
    EXPECT_EQ("cable " + std::to_string(i), slot.link.Name());
    cable->Disconnect();
    ASSERT_TRUE(Within([&] { return slot.Status() == 0; })) << i;
  }

  // A connection that goes away in the middle of a long wait is unplugged
  // at once, and stopping the listener ends a wait that nobody breaks off,
  // and a connection that waits for its next frame.
  auto leaving = connect("leaving");
  auto staying = connect("staying");
  Host leavingHost, stayingHost;
  ASSERT_TRUE(leavingHost.opened && stayingHost.opened);
  ASSERT_TRUE(leaving->SendBytes(Frame(wire::kWait, WaitArgs(2, 2, 600000))));
  ASSERT_TRUE(staying->SendBytes(Frame(wire::kRead, ReadArgs(1, 600000))));
  leaving->Disconnect();
  EXPECT_TRUE(Within([&] { return leavingHost.Status() == 0; }));
  EXPECT_NE(0, stayingHost.Status());

  auto stopped = std::async(std::launch::async, [&] { listener.Stop(); });
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::milliseconds(kBoundMs)));
  EXPECT_TRUE(stayingHost.Status() == 0 && host.Status() == 0);
  EXPECT_TRUE(end->ClosedByPeer());
}

}  // namespace
