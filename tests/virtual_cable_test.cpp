// The virtual cable listener, in-process with the host's LinkDevice, which
// finds each cable by its scan: every op against what the host end sees, and
// frames that break the rules close only their own connection. Files served
// over the wire end to end are the e2e suite's (two consoles, byte-exact).
#include "sim/virtual_cable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "sim/sim_driver.h"
#include "tests/support/socket_console_end.h"
#include "tests/support/test_data.h"

using namespace tavrin;
using sim::SimDriver;
namespace wire = sim::wire;

namespace {

constexpr int kBoundMs = 10000;

// Polls `done` until it holds or the bound passes.
template <typename Done>
bool Within(int ms, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(1);
  }
  return true;
}

// `head` followed by `tail`: WAIT is {mask, value} and READ a count, each
// followed by a time-out in milliseconds.
std::vector<uint8_t> Cat(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
std::vector<uint8_t> WaitPayload(uint8_t mask, uint8_t value, uint32_t ms) {
  return Cat({mask, value}, Le32Bytes(ms));
}
std::vector<uint8_t> ReadPayload(uint32_t count, uint32_t ms) {
  return Cat(Le32Bytes(count), Le32Bytes(ms));
}

class VirtualCableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimDriver::Reset();
    std::string error;
    ASSERT_TRUE(listener_.Start(0, &error)) << error;
    ASSERT_NE(0, listener_.Port());
  }
  void TearDown() override {
    listener_.Stop();
    SimDriver::Reset();
  }

  // A connection that has said HELLO (and attached).
  std::unique_ptr<SocketConsoleEnd> Connect(const std::string& name, bool attach = true) {
    auto end = std::make_unique<SocketConsoleEnd>(listener_.Port());
    EXPECT_TRUE(end->Hello(name, attach));
    return end;
  }

  sim::VirtualCableListener listener_;
};

// The host's side of one cable, found by the scan.
struct Host {
  Host() { opened = link.Open(); }
  ~Host() { link.Close(); }
  bool StatusFails() {
    BYTE status;
    return !link.GetStatus(&status);
  }

  LinkDevice link;
  bool opened;
};

// A cable's going with its connection is shown by the bad-frame table.
TEST_F(VirtualCableTest, CablesComeWithHelloInOrderNamedAndAttachedAsSaid) {
  auto first = Connect("");
  auto second = Connect("Second");
  auto third = Connect(std::string(wire::kMaxName, 'n'), false);
  Host a, b, c, none;
  ASSERT_TRUE(a.opened && b.opened && c.opened);
  EXPECT_FALSE(none.opened);
  EXPECT_EQ(sim::kDefaultVirtualCableName, a.link.Name());
  EXPECT_EQ("Second", b.link.Name());
  EXPECT_EQ(std::string(132, 'n'), c.link.Name());  // the info block holds 132

  BYTE status = 0;
  ASSERT_TRUE(a.link.GetStatus(&status));
  EXPECT_EQ(kStatusPeerExists | kStatusTransmitReady, status);
  ASSERT_TRUE(c.link.GetStatus(&status));
  EXPECT_EQ(kStatusTransmitReady, status);  // no ATTACH yet
}

// Each op of the table against what the host end does and sees.
TEST_F(VirtualCableTest, EveryOpAgainstTheHostEnd) {
  auto end = Connect("ops", false);
  std::vector<uint8_t> reply;
  ASSERT_TRUE(end->Exchange(wire::kStatus, {}, &reply));
  EXPECT_EQ(std::vector<uint8_t>{0}, reply);  // the host has not opened it
  Host host;
  ASSERT_TRUE(host.opened);
  ASSERT_TRUE(end->Exchange(wire::kStatus, {}, &reply));
  EXPECT_EQ(std::vector<uint8_t>{kStatusPeerExists}, reply);

  // Not attached: the handshake can't be touched and nothing is taken.
  ASSERT_TRUE(end->Exchange(wire::kSet, {kFeatureTransferRequest}, &reply));
  EXPECT_EQ(0, SimDriver::Register(0));
  ASSERT_TRUE(end->Exchange(wire::kWrite, {1, 2, 3}, &reply));
  EXPECT_EQ(Le32Bytes(0), reply);

  ASSERT_TRUE(end->Exchange(wire::kAttach, {1}, &reply));
  EXPECT_TRUE(reply.empty());
  BYTE status = 0;
  ASSERT_TRUE(host.link.GetStatus(&status));
  EXPECT_EQ(kStatusPeerExists | kStatusTransmitReady, status);

  ASSERT_TRUE(end->Exchange(wire::kSet, {kFeatureTransferComplete}, &reply));
  ASSERT_TRUE(host.link.GetStatus(&status));
  EXPECT_EQ(kStatusPeerExists | kStatusTransferComplete | kStatusTransmitReady, status);
  ASSERT_TRUE(host.link.SetFeature(kFeatureTransferRequest));
  ASSERT_TRUE(end->Exchange(wire::kWait, WaitPayload(6, 6, kBoundMs), &reply));
  EXPECT_EQ(std::vector<uint8_t>{7}, reply);
  // A wait that can't be met answers at its time-out with the status.
  ASSERT_TRUE(end->Exchange(wire::kWait, WaitPayload(2, 0, 30), &reply));
  EXPECT_EQ(std::vector<uint8_t>{7}, reply);
  ASSERT_TRUE(end->Exchange(wire::kClear, {kFeatureTransferComplete}, &reply));
  ASSERT_TRUE(host.link.ClearFeature(kFeatureTransferRequest));
  ASSERT_TRUE(end->Exchange(wire::kStatus, {}, &reply));
  EXPECT_EQ(std::vector<uint8_t>{kStatusPeerExists}, reply);

  // WRITE gives the host bytes; READ takes the host's, or what has come
  // when its time-out passes.
  ASSERT_TRUE(end->Exchange(wire::kWrite, Bytes("to host"), &reply));
  EXPECT_EQ(Le32Bytes(7), reply);
  char got[8] = {};
  DWORD moved = 0;
  ASSERT_TRUE(host.link.Read(got, 7, &moved));
  EXPECT_STREQ("to host", got);
  ASSERT_TRUE(host.link.Write("abc", 3, &moved));
  ASSERT_TRUE(end->Exchange(wire::kRead, ReadPayload(2, kBoundMs), &reply));
  EXPECT_EQ(Bytes("ab"), reply);
  ASSERT_TRUE(end->Exchange(wire::kRead, ReadPayload(10, 30), &reply));
  EXPECT_EQ(Bytes("c"), reply);
  // Once the host closes the cable, READ answers at once with what is left.
  ASSERT_TRUE(host.link.Write("de", 2, &moved));
  ASSERT_TRUE(host.link.Close());
  ASSERT_TRUE(end->Exchange(wire::kRead, ReadPayload(10, 600000), &reply));
  EXPECT_EQ(Bytes("de"), reply);

  ASSERT_TRUE(end->Exchange(wire::kAttach, {0}, &reply));
  ASSERT_TRUE(host.link.Open());
  ASSERT_TRUE(host.link.GetStatus(&status));
  EXPECT_EQ(kStatusTransmitReady, status);
}

// Frames that break the rules: each closes its own connection and unplugs
// its cable; a second connection is served on as before.
TEST_F(VirtualCableTest, BadFramesCloseOnlyTheirConnection) {
  auto bystander = Connect("bystander");
  Host bystanderHost;
  ASSERT_TRUE(bystanderHost.opened);

  auto frame = [](uint8_t op, uint32_t length, const std::vector<uint8_t>& payload) {
    return Cat(Cat({op}, Le32Bytes(length)), payload);
  };
  const std::vector<uint8_t> magic{'T', 'V', 'C', '1'};
  std::vector<uint8_t> longName = magic;
  longName.resize(4 + wire::kMaxName + 1, 'x');
  struct Row {
    const char* what;
    bool hello;  // the row starts after a valid HELLO
    std::vector<uint8_t> bytes;
    bool closeAfter = false;  // the client closes after sending (mid-frame)
  } rows[] = {
      {"status before hello", false, frame(wire::kStatus, 0, {})},
      {"hello with the wrong magic", false, frame(wire::kHello, 4, {'T', 'V', 'C', '2'})},
      {"hello too short", false, frame(wire::kHello, 3, {'T', 'V', 'C'})},
      {"hello name too long", false, frame(wire::kHello, uint32_t(longName.size()), longName)},
      {"hello repeated", true, frame(wire::kHello, 4, magic)},
      {"unknown op", true, frame(0x09, 0, {})},
      {"a reply op as request", true, frame(wire::kStatus | 0x80, 0, {})},
      {"status with a payload", true, frame(wire::kStatus, 1, {0})},
      {"attach of two bytes", true, frame(wire::kAttach, 2, {1, 1})},
      {"attach neither 0 nor 1", true, frame(wire::kAttach, 1, {2})},
      {"set of bit 1", true, frame(wire::kSet, 1, {1})},
      {"clear of bits 2 and 4", true, frame(wire::kClear, 1, {6})},
      {"set without its byte", true, frame(wire::kSet, 0, {})},
      {"write over 16 MiB", true, frame(wire::kWrite, wire::kMaxPayload + 1, {})},
      {"read of 7 bytes", true, frame(wire::kRead, 7, std::vector<uint8_t>(7))},
      {"read over 16 MiB", true, frame(wire::kRead, 8, ReadPayload(wire::kMaxPayload + 1, 0))},
      {"wait of 5 bytes", true, frame(wire::kWait, 5, std::vector<uint8_t>(5))},
      {"closed mid-header", true, {wire::kWrite, 100, 0}, true},
      {"closed mid-payload", true, frame(wire::kWrite, 100, std::vector<uint8_t>(10)), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto end = std::make_unique<SocketConsoleEnd>(listener_.Port());
    std::unique_ptr<Host> host;
    if (row.hello) {
      ASSERT_TRUE(end->Hello(row.what));
      host = std::make_unique<Host>();
      ASSERT_TRUE(host->opened);
      EXPECT_EQ(row.what, host->link.Name());
    }
    ASSERT_TRUE(end->SendBytes(row.bytes));
    if (row.closeAfter) {
      end->Disconnect();
    } else {
      EXPECT_TRUE(end->ClosedByPeer());
    }
    if (host) {
      EXPECT_TRUE(Within(kBoundMs, [&] { return host->StatusFails(); }));
    }
    EXPECT_TRUE(Within(kBoundMs, [&] { return listener_.Connections() == 1; }));
    EXPECT_FALSE(bystanderHost.StatusFails());
    std::vector<uint8_t> reply;
    EXPECT_TRUE(bystander->Exchange(wire::kStatus, {}, &reply));
    EXPECT_EQ(std::vector<uint8_t>{kStatusPeerExists}, reply);
  }
}

// A connection that goes away in the middle of a long wait is unplugged at
// once, and stopping the listener ends a wait that nobody breaks off, and
// a connection that waits for its next frame.
TEST_F(VirtualCableTest, LongWaitsEndWithTheConnectionOrTheListener) {
  auto leaving = Connect("leaving");
  auto staying = Connect("staying");
  auto idle = Connect("idle");
  Host leavingHost, stayingHost, idleHost;
  ASSERT_TRUE(leavingHost.opened && stayingHost.opened && idleHost.opened);
  ASSERT_TRUE(leaving->SendFrame(wire::kWait, WaitPayload(2, 2, 600000)));
  ASSERT_TRUE(staying->SendFrame(wire::kRead, ReadPayload(1, 600000)));
  leaving->Disconnect();
  EXPECT_TRUE(Within(kBoundMs, [&] { return leavingHost.StatusFails(); }));
  EXPECT_FALSE(stayingHost.StatusFails());

  auto stopped = std::async(std::launch::async, [&] { listener_.Stop(); });
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::milliseconds(kBoundMs)));
  EXPECT_TRUE(stayingHost.StatusFails());
  EXPECT_TRUE(idleHost.StatusFails());
  EXPECT_TRUE(idle->ClosedByPeer());
}

// A long-running program sees more cables come and go than the driver has
// slots: a slot whose cable is unplugged and closed is taken again.
TEST_F(VirtualCableTest, UnpluggedCablesFreeTheirSlots) {
  for (int i = 0; i < 70; ++i) {
    auto end = Connect("cable " + std::to_string(i));
    Host host;
    ASSERT_TRUE(host.opened) << i;
    EXPECT_EQ("cable " + std::to_string(i), host.link.Name());
    end->Disconnect();
    ASSERT_TRUE(Within(kBoundMs, [&] { return host.StatusFails(); })) << i;
  }
}

}  // namespace
