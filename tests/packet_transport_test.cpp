// PacketTransport against the console emulator over the simulated cable.
#include "link/packet_transport.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/test_data.h"
#include "tests/support/test_page.h"
#include "config/settings.h"
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
    transport_ = std::make_unique<PacketTransport>(page_.page(), &link_);
    console_ = std::make_unique<sim::ConsoleEmulator>(
        [this] { return SimDriver::AttachConsole(cable_); });
    SimDriver::ClearEvents();
    held_ = PacketBodiesHeld();
  }
  void TearDown() override {
    console_.reset();
    EXPECT_EQ(held_, PacketBodiesHeld()) << "a packet body leaked";
    link_.Close();
    SimDriver::Reset();
  }

  // The byte counts that the host asked for in its calls of one kind, in order.
  static std::vector<uint32_t> Sizes(Call kind) {
    std::vector<uint32_t> out;
    for (auto& e : SimDriver::Events())
      if (e.call == kind) out.push_back(e.value);
    return out;
  }
  // The handshake as the host drove it: +2, +4 for set, -2, -4 for clear.
  static std::vector<int> Handshake() {
    std::vector<int> out;
    for (auto& e : SimDriver::Events()) {
      if (e.call == Call::SetFeature) out.push_back(int(e.value));
      if (e.call == Call::ClearFeature) out.push_back(-int(e.value));
    }
    return out;
  }

  // A new console on a reset link, as the worker would leave it after a
  // failed exchange; nothing queued in the log.
  void FreshConsole() {
    console_.reset();
    link_.ResetLink();
    console_ = std::make_unique<sim::ConsoleEmulator>(
        [this] { return SimDriver::AttachConsole(cable_); });
    page_.TakeQueued();
  }

  int cable_ = 0;
  LinkDevice link_;
  TestPage page_;
  std::unique_ptr<PacketTransport> transport_;
  std::unique_ptr<sim::ConsoleEmulator> console_;
  long held_ = 0;
};

TEST_F(PacketTransportTest, EmptyBodyMovesOnlyTheHeaderWithTheFullHandshake) {
  auto received = console_->ReceiveRaw();
  ASSERT_TRUE(transport_->SendPacket({0, kTagQuit}, nullptr));
  sim::RawPacket packet = received.get();
  ASSERT_TRUE(packet.ok);
  EXPECT_EQ(0u, packet.bodySize);
  EXPECT_EQ(0x03, packet.tag[3]);
  EXPECT_EQ((std::vector<uint32_t>{8}), Sizes(Call::Write));
  EXPECT_EQ((std::vector<int>{2, 4}), Handshake());
  EXPECT_TRUE(console_->Violations().empty());

  // And the other way: a body-less packet hands out no block.
  SimDriver::ClearEvents();
  auto sent = console_->SendPacket(kOpenTagBytes, {});
  PacketHeader header = {};
  uint8_t* body = nullptr;
  ASSERT_TRUE(transport_->ReceivePacket(&header, &body));
  EXPECT_TRUE(sent.get());
  EXPECT_EQ(nullptr, body);
  EXPECT_EQ(kTagOpen, header.tag);
  EXPECT_EQ((std::vector<uint32_t>{8}), Sizes(Call::Read));
  EXPECT_EQ((std::vector<int>{-2, -4}), Handshake());
}

TEST_F(PacketTransportTest, BodiesMoveInChunksOfAtMost4096BothWays) {
  struct Row {
    uint32_t size;
    std::vector<uint32_t> calls;  // header first
  } rows[] = {
      {4096, {8, 4096}},
      {4097, {8, 4096, 1}},
      {10000, {8, 4096, 4096, 1808}},
  };
  for (auto& row : rows) {
    std::vector<uint8_t> body = Pattern(row.size, row.size);

    SimDriver::ClearEvents();
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_->SendPacket({row.size, kTagReply}, body.data())) << row.size;
    sim::RawPacket packet = received.get();
    ASSERT_TRUE(packet.ok) << row.size;
    EXPECT_EQ(body, packet.body) << row.size;
    EXPECT_EQ(row.calls, Sizes(Call::Write)) << row.size;

    SimDriver::ClearEvents();
    auto sent = console_->SendPacket(kOpenTagBytes, body);
    PacketHeader header = {};
    uint8_t* got = nullptr;
    ASSERT_TRUE(transport_->ReceivePacket(&header, &got)) << row.size;
    EXPECT_TRUE(sent.get());
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(row.size, header.bodySize);
    EXPECT_EQ(body, std::vector<uint8_t>(got, got + row.size)) << row.size;
    FreePacketBody(got);
    EXPECT_EQ(row.calls, Sizes(Call::Read)) << row.size;
  }
  EXPECT_TRUE(console_->Violations().empty());
}

TEST_F(PacketTransportTest, LargeBodiesArriveByteExact) {
  const std::vector<uint8_t> out = Pattern(5 << 20, 7);
  auto received = console_->ReceiveRaw();
  ASSERT_TRUE(transport_->SendPacket({uint32_t(out.size()), kTagReply}, out.data()));
  sim::RawPacket packet = received.get();
  ASSERT_TRUE(packet.ok);
  EXPECT_TRUE(out == packet.body);

  const std::vector<uint8_t> in = Pattern(6 << 20, 9);
  auto sent = console_->SendPacket(kOpenTagBytes, in);
  PacketHeader header = {};
  uint8_t* body = nullptr;
  ASSERT_TRUE(transport_->ReceivePacket(&header, &body));
  EXPECT_TRUE(sent.get());
  ASSERT_EQ(in.size(), header.bodySize);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), body));
  FreePacketBody(body);
}

TEST_F(PacketTransportTest, TransmitReadyIsTestedBeforeThePeerBit) {
  console_->Detach();  // peer bit clear, transmit ready set
  EXPECT_FALSE(transport_->SendPacket({0, kTagReset}, nullptr));
  // It went on past the first wait: the request was raised and the header sent.
  EXPECT_EQ((std::vector<int>{2}), Handshake());
  EXPECT_EQ((std::vector<uint32_t>{8}), Sizes(Call::Write));
  EXPECT_TRUE(page_.Queued().empty());
}

TEST_F(PacketTransportTest, PeerDroppingDuringAWaitFailsSilently) {
  console_->StallNextReceive();  // never takes up the request
  auto received = console_->ReceiveRaw();
  SimDriver::At(Call::GetStatus, 50, [this] { SimDriver::DetachConsole(cable_); });
  EXPECT_FALSE(transport_->SendPacket({0, kTagReset}, nullptr));
  EXPECT_FALSE(received.get().ok);
  EXPECT_TRUE(page_.Queued().empty());
  EXPECT_EQ((std::vector<int>{2}), Handshake());  // transfer complete never raised
}

TEST_F(PacketTransportTest, AFailedStatusReadEndsTheWaitWithNoFurtherRequest) {
  SimDriver::FailNext(Call::GetStatus, 1, ERROR_IO_DEVICE);
  EXPECT_FALSE(transport_->SendPacket({0, kTagReset}, nullptr));
  EXPECT_EQ(1u, SimDriver::Count(Call::GetStatus));
  EXPECT_EQ(0u, SimDriver::Count(Call::SetFeature));
  EXPECT_EQ(0u, SimDriver::Count(Call::Write));

  PacketHeader header;
  uint8_t* body = nullptr;
  SimDriver::FailNext(Call::GetStatus, 1, ERROR_IO_DEVICE);
  EXPECT_FALSE(transport_->ReceivePacket(&header, &body));
  EXPECT_EQ(0u, SimDriver::Count(Call::ClearFeature));
  EXPECT_TRUE(page_.Queued().empty());
}

TEST_F(PacketTransportTest, FailedFeatureRequestsAreIgnored) {
  // The console offers a packet; the host can't clear transfer request but
  // reads on, and the packet still arrives.
  const std::vector<uint8_t> body = Pattern(100);
  auto sent = console_->SendPacket(kOpenTagBytes, body);
  SimDriver::FailNext(Call::ClearFeature, 1, ERROR_IO_DEVICE);
  PacketHeader header = {};
  uint8_t* got = nullptr;
  ASSERT_TRUE(transport_->ReceivePacket(&header, &got));
  EXPECT_EQ(body, std::vector<uint8_t>(got, got + header.bodySize));
  FreePacketBody(got);
  EXPECT_EQ(2u, SimDriver::Count(Call::ClearFeature));

  // The host can't raise transfer complete: it goes on and finds the bit
  // clear, so the send ends as a success without it.
  auto received = console_->ReceiveRaw();
  SimDriver::At(Call::SetFeature, 2, [] { SimDriver::FailNext(Call::SetFeature, 1, ERROR_IO_DEVICE); });
  EXPECT_TRUE(transport_->SendPacket({0, kTagReset}, nullptr));
  EXPECT_EQ(2u, SimDriver::Count(Call::SetFeature));
  EXPECT_EQ(0, SimDriver::Register(cable_) & kStatusTransferComplete);
  EXPECT_TRUE(page_.Queued().empty());
}

TEST_F(PacketTransportTest, SendReplyBodies) {
  struct Row {
    int32_t result;
    std::vector<uint8_t> data;
    bool withData;
    int32_t length;
    std::vector<uint8_t> body;
  } rows[] = {
      {7, {}, false, -5, {7, 0, 0, 0}},
      {-1, {}, false, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
      {0x01020304, {}, false, 12, {4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {2, {0xAB, 0xCD}, true, 2, {2, 0, 0, 0, 0xAB, 0xCD}},
      {5, {0xAB, 0xCD}, true, 0, {5, 0, 0, 0}},
  };
  for (auto& row : rows) {
    auto received = console_->ReceiveRaw();
    ASSERT_TRUE(transport_->SendReply(row.result, row.withData ? row.data.data() : nullptr,
                                      row.length));
    sim::RawPacket packet = received.get();
    ASSERT_TRUE(packet.ok);
    EXPECT_EQ(0x20, packet.tag[3]);
    EXPECT_EQ(row.body.size(), packet.bodySize) << row.result;
    EXPECT_EQ(row.body, packet.body) << row.result;
  }
  EXPECT_TRUE(console_->Violations().empty());
}

TEST_F(PacketTransportTest, ReceiveReplyTakesOnlyTheResultOfAReply) {
  struct Row {
    const char* what;
    const uint8_t* tag;
    std::vector<uint8_t> body;
    int32_t result;
  } rows[] = {
      {"open request", kOpenTagBytes, {1, 0, 0, 0, '/', 'a', 0}, -1},
      {"reply -1", kReplyTagBytes, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {"reply with 8 data bytes", kReplyTagBytes, {42, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 42},
      {"reply 0", kReplyTagBytes, {0, 0, 0, 0}, 0},
      {"reply of 3 bytes", kReplyTagBytes, {9, 0, 0}, -1},
      {"reply of no bytes", kReplyTagBytes, {}, -1},
  };
  for (auto& row : rows) {
    auto sent = console_->SendPacket(row.tag, row.body);
    EXPECT_EQ(row.result, transport_->ReceiveReply()) << row.what;
    EXPECT_TRUE(sent.get()) << row.what;
    EXPECT_EQ(held_, PacketBodiesHeld()) << row.what;
  }
  EXPECT_TRUE(page_.Queued().empty());
}

// Every row of the transport's failure table, by fault injection: the exact
// line in the error colour, the failed outcome, no block left behind.
TEST_F(PacketTransportTest, FailureTable) {
  const std::vector<uint8_t> body = Pattern(10000);
  auto send = [&] { return transport_->SendPacket({uint32_t(body.size()), kTagReply}, body.data()); };
  auto receive = [&] {
    PacketHeader header;
    uint8_t* got = nullptr;
    bool ok = transport_->ReceivePacket(&header, &got);
    if (got) {
      FreePacketBody(got);
      ADD_FAILURE() << "a block was handed out";
    }
    return ok;
  };
  auto consoleSends = [&](std::vector<uint8_t> raw) { return console_->SendRaw(std::move(raw)); };
  std::vector<uint8_t> goodPacket = {0x10, 0x27, 0, 0, 'T', 'v', 'R', 0x13};  // 10000 bytes
  goodPacket.insert(goodPacket.end(), body.begin(), body.end());

  struct Row {
    const char* what;
    std::function<void()> fault;
    bool hostSends;
    std::vector<uint8_t> consolePacket;
    const char* line;
    uint32_t writes;  // write calls expected when the host sends
  } rows[] = {
      {"header write fails", [] { SimDriver::FailNext(Call::Write, 1, ERROR_GEN_FAILURE); },
       true, {}, "Error sending packet header.\r\n", 1},
      {"header write short", [] { SimDriver::ShortNext(Call::Write, 7); }, true, {},
       "Error sending packet header.\r\n", 1},
      {"second chunk write fails",
       [] { SimDriver::At(Call::Write, 3, [] { SimDriver::FailNext(Call::Write, 1, ERROR_GEN_FAILURE); }); },
       true, {}, "Error sending packet body.\r\n", 3},
      {"first chunk write short",
       [] { SimDriver::At(Call::Write, 2, [] { SimDriver::ShortNext(Call::Write, 4000); }); },
       true, {}, "Error sending packet body.\r\n", 2},
      {"header read fails", [] { SimDriver::FailNext(Call::Read, 1, ERROR_GEN_FAILURE); }, false,
       goodPacket, "Error getting packet header.\r\n", 0},
      {"header read short", [] { SimDriver::ShortNext(Call::Read, 4); }, false, goodPacket,
       "Error getting packet header.\r\n", 0},
      {"body over 64 MiB", [] {}, false, {0x01, 0, 0, 0x04, 'T', 'v', 'R', 0x13},
       "Unable to allocate memory for packet body.\r\n", 0},
      {"second chunk read fails",
       [] { SimDriver::At(Call::Read, 3, [] { SimDriver::FailNext(Call::Read, 1, ERROR_GEN_FAILURE); }); },
       false, goodPacket, "Error recieving packet body.\r\n", 0},
      {"last chunk read short",
       [] { SimDriver::At(Call::Read, 4, [] { SimDriver::ShortNext(Call::Read, 1000); }); },
       false, goodPacket, "Error recieving packet body.\r\n", 0},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    FreshConsole();
    SimDriver::ClearEvents();
    row.fault();
    if (row.hostSends) {
      EXPECT_FALSE(send());
      EXPECT_EQ(row.writes, Sizes(Call::Write).size());
    } else {
      auto sent = consoleSends(row.consolePacket);
      EXPECT_FALSE(receive());
    }
    auto lines = page_.Queued();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(row.line, lines[0].text);
    EXPECT_EQ(Settings.colours[LogError], lines[0].colour);
    EXPECT_EQ(held_, PacketBodiesHeld());
  }
}

TEST_F(PacketTransportTest, ReceiveReplyOfAForeignTagLogsNothing) {
  const uint8_t foreign[4] = {'T', 'v', 'r', 0x20};
  auto sent = console_->SendPacket(foreign, {1, 0, 0, 0});
  EXPECT_EQ(-1, transport_->ReceiveReply());
  EXPECT_TRUE(page_.Queued().empty());
}

// A console that stops in the middle of a transfer: the handshake wait gives
// up on its own (the peer bit stays set), and the exchange fails.
TEST_F(PacketTransportTest, AStalledConsoleFailsTheExchange) {
  console_->StallNextSend();  // never raises transfer complete
  auto sent = console_->SendPacket(kOpenTagBytes, Pattern(300));
  PacketHeader header;
  uint8_t* body = nullptr;
  EXPECT_FALSE(transport_->ReceivePacket(&header, &body));
  EXPECT_EQ(nullptr, body);
  EXPECT_FALSE(sent.get());

  link_.ResetLink();
  console_->StallNextReceive();  // never takes up the host's request
  auto received = console_->ReceiveRaw();
  EXPECT_FALSE(transport_->SendPacket({0, kTagReset}, nullptr));
  EXPECT_FALSE(received.get().ok);
  EXPECT_TRUE(page_.Queued().empty());
}

}  // namespace

// The emulator checks the host in turn: a host that raises transfer
// complete too early, or frames a packet without "TvR", is reported.
TEST_F(PacketTransportTest, TheConsoleReportsAHostThatBreaksTheProtocol) {
  struct Row {
    const char* what;
    bool earlyComplete;
    uint8_t header[8];
    const char* violation;
  } rows[] = {
      {"transfer complete raised with the request", true, {0, 0, 0, 0, 'T', 'v', 'R', 0x20},
       "transfer complete was raised before the console took up the request"},
      {"foreign tag", false, {0, 0, 0, 0, 'T', 'v', 'X', 0x20}, "a host packet without the TvR tag"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    FreshConsole();
    auto received = console_->ReceiveRaw();
    DWORD moved = 0;
    ASSERT_TRUE(link_.Write(row.header, 8, &moved));
    if (row.earlyComplete) link_.SetFeature(kFeatureTransferComplete);
    link_.SetFeature(kFeatureTransferRequest);
    if (!row.earlyComplete) {
      // Let the console take the request, then complete the packet properly.
      BYTE status = kStatusTransferRequest;
      for (int i = 0; i < 10000000 && (status & kStatusTransferRequest); ++i)
        ASSERT_TRUE(link_.GetStatus(&status));
      link_.SetFeature(kFeatureTransferComplete);
    }
    received.get();
    auto violations = console_->Violations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ(row.violation, violations[0]);
  }
}
