// PacketTransport against the console emulator over the simulated cable.
#include "link/packet_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/test_data.h"
#include "tests/support/test_page.h"
#include "ui/log_queue.h"

using namespace tavrin;
using sim::Call;
using sim::SimDriver;

namespace {

const uint8_t kReplyTagBytes[4] = {'T', 'v', 'R', 0x20};
const uint8_t kOpenTagBytes[4] = {'T', 'v', 'R', 0x10};

class PacketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimDriver::Reset();
    cable_ = SimDriver::Plug("cable");
    ASSERT_TRUE(link_.Open(SimDriver::DevicePath(cable_).c_str()));
    FreshConsole();
    held_ = PacketBodiesHeld();
  }
  void TearDown() override {
    console_.reset();
    EXPECT_EQ(held_, PacketBodiesHeld()) << "a packet body leaked";
    link_.Close();
    SimDriver::Reset();
  }

  // What the host asked for in its calls of these kinds, in order: the byte
  // counts of reads and writes; the bits set (+) and cleared (-).
  static std::vector<int> Calls(std::initializer_list<Call> kinds) {
    std::vector<int> out;
    for (auto& e : SimDriver::Events())
      for (Call k : kinds)
        if (e.call == k) out.push_back(k == Call::ClearFeature ? -int(e.value) : int(e.value));
    return out;
  }
  static std::vector<int> Handshake() { return Calls({Call::SetFeature, Call::ClearFeature}); }
  // A new console on a reset link, as the worker leaves it after a failed
  // exchange; nothing in the log, nothing recorded.
  void FreshConsole() {
    console_.reset();
    link_.ResetLink();
    console_ = std::make_unique<sim::ConsoleEmulator>([this] { return SimDriver::AttachConsole(cable_); });
    page_.TakeQueued();
    SimDriver::ClearEvents();
  }
  // Receives one packet and checks its body; false, and no body, when none came.
  bool Receive(const std::vector<uint8_t>& body) {
    PacketHeader header = {};
    uint8_t* got = nullptr;
    if (!transport_.ReceivePacket(&header, &got)) {
      EXPECT_EQ(nullptr, got);
      return false;
    }
    EXPECT_EQ(body.size(), header.bodySize);
    EXPECT_EQ(body.empty(), got == nullptr);
    EXPECT_TRUE(body.empty() || std::equal(body.begin(), body.end(), got));
    FreePacketBody(got);
    return true;
  }
  bool SendReset() { return transport_.SendPacket({0, kTagReset}, nullptr); }

  int cable_ = 0;
  LinkDevice link_;
  TestPage page_;
  PacketTransport transport_{page_.page(), &link_};
  std::unique_ptr<sim::ConsoleEmulator> console_;
  long held_ = 0;
};

// Both ways: the header, then the body in chunks of at most 4096, with the
// full handshake. A send ends only once the console has read it all: its
// last look at the status found transfer complete cleared.
TEST_F(PacketTransportTest, BodiesMoveInChunksOfAtMost4096WithTheFullHandshake) {
  struct Row {
    uint32_t size;
    std::vector<int> calls;  // header first
  } rows[] = {{0, {8}}, {4096, {8, 4096}}, {4097, {8, 4096, 1}}, {10000, {8, 4096, 4096, 1808}}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.size);
    const std::vector<uint8_t> body = Pattern(row.size, row.size);
    SimDriver::ClearEvents();
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_.SendPacket({row.size, kTagReply}, body.data()));
    const auto events = SimDriver::Events();
    EXPECT_EQ(Call::GetStatus, events.back().call);
    EXPECT_EQ(0u, events.back().value & kStatusTransferComplete);
    EXPECT_EQ(body, received.get().body);
    EXPECT_EQ(row.calls, Calls({Call::Write}));
    EXPECT_EQ((std::vector<int>{2, 4}), Handshake());

    SimDriver::ClearEvents();
    auto sent = console_->SendPacket(kOpenTagBytes, body);
    EXPECT_TRUE(Receive(body));
    EXPECT_TRUE(sent.get());
    EXPECT_EQ(row.calls, Calls({Call::Read}));
    EXPECT_EQ((std::vector<int>{-2, -4}), Handshake());
  }
  EXPECT_TRUE(console_->Violations().empty());
}

// 64 MiB is the largest body taken; one byte more is refused (FailureTable).
TEST_F(PacketTransportTest, ABodyOfExactly64MiBArrivesByteExact) {
  SimDriver::SetRecording(false);
  const std::vector<uint8_t> body = Pattern(kMaxBodySize, 9);
  auto sent = console_->SendPacket(kOpenTagBytes, body);
  EXPECT_TRUE(Receive(body));
  EXPECT_TRUE(sent.get());
}

TEST_F(PacketTransportTest, SendWaitsForTransmitReadyButTestsItBeforeThePeerBit) {
  // Held clear for 49 status reads while the console is there.
  SimDriver::SetTransmitReady(cable_, false);
  SimDriver::At(Call::GetStatus, 50, [this] { SimDriver::SetTransmitReady(cable_, true); });
  auto received = console_->ReceiveRaw();
  ASSERT_TRUE(SendReset());
  EXPECT_TRUE(received.get().ok);
  const auto events = SimDriver::Events();
  for (size_t i = 0; i < 50; ++i) EXPECT_EQ(Call::GetStatus, events[i].call) << i;

  // Ready, but no console: the condition holds, so the send goes on.
  FreshConsole();
  console_->Detach();
  EXPECT_FALSE(SendReset());
  EXPECT_EQ((std::vector<int>{2}), Handshake());
  EXPECT_EQ((std::vector<int>{8}), Calls({Call::Write}));
  EXPECT_TRUE(page_.Queued().empty());
}

// A wait ends at the first status read that fails or shows the peer gone,
// with no further request to the driver and nothing logged.
TEST_F(PacketTransportTest, AWaitEndsAtTheReadThatFailsOrLosesThePeer) {
  struct Row {
    const char* what;
    int nth;  // the status read that fails or finds the peer gone
    bool drop;
    bool send;
  } rows[] = {
      {"first read fails", 1, false, true},     {"a later read fails", 5, false, true},
      {"peer drops while sending", 50, true, true}, {"receive: first read fails", 1, false, false},
      {"peer drops while receiving", 20, true, false},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    FreshConsole();
    console_->StallNextReceive();  // the console never takes up the host's request
    console_->ReceiveRaw();
    const uint64_t before = SimDriver::Count(Call::GetStatus);
    SimDriver::At(Call::GetStatus, row.nth, [this, row] {
      if (row.drop)
        SimDriver::DetachConsole(cable_);
      else
        SimDriver::FailNext(Call::GetStatus, 1, ERROR_IO_DEVICE);
    });
    PacketHeader header;
    uint8_t* body = nullptr;
    EXPECT_FALSE(row.send ? SendReset() : transport_.ReceivePacket(&header, &body));
    EXPECT_EQ(before + row.nth, SimDriver::Count(Call::GetStatus));
    EXPECT_EQ(row.send && row.nth > 1 ? std::vector<int>{2} : std::vector<int>{}, Handshake());
    EXPECT_TRUE(page_.Queued().empty());
  }
}

// A console that stops in the middle of a transfer, its peer bit still up:
// the handshake wait gives up on its own and the exchange fails.
TEST_F(PacketTransportTest, AStalledConsoleFailsTheExchange) {
  console_->StallNextSend();  // never raises transfer complete
  auto sent = console_->SendPacket(kOpenTagBytes, Pattern(300));
  EXPECT_FALSE(Receive({}));
  EXPECT_FALSE(sent.get());
  EXPECT_TRUE(page_.Queued().empty());
}

TEST_F(PacketTransportTest, FailedFeatureRequestsAreIgnored) {
  // The host can't clear transfer request but reads on; the packet arrives.
  const std::vector<uint8_t> body = Pattern(100);
  auto sent = console_->SendPacket(kOpenTagBytes, body);
  SimDriver::FailNext(Call::ClearFeature, 1, ERROR_IO_DEVICE);
  EXPECT_TRUE(Receive(body));
  EXPECT_EQ(2u, SimDriver::Count(Call::ClearFeature));

  // The host can't raise transfer complete: it goes on and finds the bit
  // clear, so the send ends as a success without it. (Transfer request,
  // left up above, is cleared by the link reset first.)
  FreshConsole();
  auto received = console_->ReceiveRaw();
  SimDriver::At(Call::SetFeature, 2, [] { SimDriver::FailNext(Call::SetFeature, 1, ERROR_IO_DEVICE); });
  EXPECT_TRUE(SendReset());
  EXPECT_EQ(2u, SimDriver::Count(Call::SetFeature));
  EXPECT_TRUE(page_.Queued().empty());
}

// Replies both ways: the body SendReply builds, and the result ReceiveReply
// takes from what arrives.
TEST_F(PacketTransportTest, ReplyPackets) {
  struct Sent {
    int32_t result;
    const uint8_t* data;
    int32_t length;
    std::vector<uint8_t> body;
  } sent[] = {
      {7, nullptr, -5, {7, 0, 0, 0}},
      {0x01020304, nullptr, 12, {4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {-1, kOpenTagBytes, 2, {0xFF, 0xFF, 0xFF, 0xFF, 'T', 'v'}},
      {5, kOpenTagBytes, 0, {5, 0, 0, 0}},
  };
  for (auto& row : sent) {
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_.SendReply(row.result, row.data, row.length));
    sim::RawPacket packet = received.get();
    EXPECT_EQ(0x20, packet.tag[3]);
    EXPECT_EQ(row.body, packet.body) << row.result;
  }
  const uint8_t foreign[4] = {'T', 'v', 'r', 0x20};
  struct Received {
    const uint8_t* tag;
    std::vector<uint8_t> body;
    int32_t result;
  } received[] = {
      {kOpenTagBytes, {1, 0, 0, 0, '/', 'a', 0}, -1},       {foreign, {1, 0, 0, 0}, -1},
      {kReplyTagBytes, {0xFF, 0xFF, 0xFF, 0xFF}, -1},       {kReplyTagBytes, {9, 0, 0}, -1},
      {kReplyTagBytes, {42, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 42}, {kReplyTagBytes, {}, -1},
  };
  for (auto& row : received) {
    auto pending = console_->SendPacket(row.tag, row.body);
    EXPECT_EQ(row.result, transport_.ReceiveReply()) << row.body.size();
    EXPECT_TRUE(pending.get());
  }
  EXPECT_TRUE(page_.Queued().empty());
  EXPECT_TRUE(console_->Violations().empty());
}

// Every row of the transport's failure table, by fault injection: the exact
// line in the error colour, the failed outcome, no block left behind.
TEST_F(PacketTransportTest, FailureTable) {
  const std::vector<uint8_t> body = Pattern(10000);
  std::vector<uint8_t> goodPacket = {0x10, 0x27, 0, 0, 'T', 'v', 'R', 0x13};  // 10000 bytes
  goodPacket.insert(goodPacket.end(), body.begin(), body.end());
  auto fail = [](Call call, int nth, uint32_t shortTo = ~0u) {
    return [=] {
      SimDriver::At(call, nth, [=] {
        if (shortTo == ~0u) SimDriver::FailNext(call, 1, ERROR_GEN_FAILURE);
        else SimDriver::ShortNext(call, shortTo);
      });
    };
  };
  struct Row {
    const char* what;
    std::function<void()> fault;
    std::vector<uint8_t> consolePacket;  // none: the host sends
    const char* line;
    size_t writes;  // write calls made when the host sends
  } rows[] = {
      {"header write fails", fail(Call::Write, 1), {}, "Error sending packet header.\r\n", 1},
      {"header write short", fail(Call::Write, 1, 7), {}, "Error sending packet header.\r\n", 1},
      {"second chunk write fails", fail(Call::Write, 3), {}, "Error sending packet body.\r\n", 3},
      {"first chunk write short", fail(Call::Write, 2, 4000), {}, "Error sending packet body.\r\n", 2},
      {"header read fails", fail(Call::Read, 1), goodPacket, "Error getting packet header.\r\n", 0},
      {"header read short", fail(Call::Read, 1, 4), goodPacket, "Error getting packet header.\r\n", 0},
      {"body of 64 MiB and 1 byte", [] {}, {0x01, 0, 0, 0x04, 'T', 'v', 'R', 0x13},
       "Unable to allocate memory for packet body.\r\n", 0},
      {"second chunk read fails", fail(Call::Read, 3), goodPacket, "Error recieving packet body.\r\n", 0},
      {"last chunk read short", fail(Call::Read, 4, 1000), goodPacket, "Error recieving packet body.\r\n", 0},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    FreshConsole();
    row.fault();
    if (row.consolePacket.empty()) {
      EXPECT_FALSE(transport_.SendPacket({uint32_t(body.size()), kTagReply}, body.data()));
      EXPECT_EQ(row.writes, Calls({Call::Write}).size());
    } else {
      auto sent = console_->SendRaw(row.consolePacket);
      EXPECT_FALSE(Receive({}));
    }
    auto lines = page_.Queued();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(row.line, lines[0].text);
    EXPECT_EQ(Settings.colours[LogError], lines[0].colour);
    EXPECT_EQ(held_, PacketBodiesHeld());
  }
}

}  // namespace
