// The console side of the protocol: as the console's server does it, the
// console sends a request (transfer request up, header and body, transfer
// complete up, then waits for the host to clear both) and receives the
// host's answer (waits for transfer request, clears it, reads header and
// body, waits for transfer complete, clears it). The framing is spelled out
// here on its own; nothing is shared with the host's transport.
#include "sim/console_emulator.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

// The console's view of the handshake bits (the driver's LinkStatus bits).
constexpr uint8_t kRequest = 2;   // transfer request
constexpr uint8_t kComplete = 4;  // transfer complete

constexpr uint8_t kOpen = 0x10, kClose = 0x11, kRead = 0x12, kWrite = 0x13, kLseek = 0x14,
                  kPoll = 0x15, kReply = 0x20;
constexpr uint8_t kReset = 0x00, kExecElf = 0x01, kExecIop = 0x02, kQuit = 0x03;
// How long the console gives a host to look at the status once more.
constexpr int kHostSeesMs = 1000;
// A host packet bigger than this can't be genuine (the console has 32 MiB).
constexpr uint32_t kLargestHostPacket = 80u << 20;

void Le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<uint8_t> Frame(const uint8_t tag[4], const std::vector<uint8_t>& body) {
  std::vector<uint8_t> packet;
  Le32(packet, static_cast<uint32_t>(body.size()));
  packet.insert(packet.end(), tag, tag + 4);
  packet.insert(packet.end(), body.begin(), body.end());
  return packet;
}

std::vector<uint8_t> Frame(uint8_t code, const std::vector<uint8_t>& body) {
  const uint8_t tag[4] = {'T', 'v', 'R', code};
  return Frame(tag, body);
}

std::vector<uint8_t> ReadBody(int32_t handle, uint32_t count) {
  std::vector<uint8_t> body;
  Le32(body, static_cast<uint32_t>(handle));
  Le32(body, count);
  return body;
}

std::vector<uint8_t> WriteBody(int32_t handle, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body;
  Le32(body, static_cast<uint32_t>(handle));
  Le32(body, static_cast<uint32_t>(data.size()));
  body.insert(body.end(), data.begin(), data.end());
  return body;
}

bool IsTvR(const uint8_t tag[4]) { return tag[0] == 'T' && tag[1] == 'v' && tag[2] == 'R'; }

}  // namespace

ConsoleEmulator::ConsoleEmulator(EndFactory attach) : attach_(std::move(attach)) {
  end_ = attach_();
  thread_ = std::thread([this] { Run(); });
}

ConsoleEmulator::~ConsoleEmulator() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Detaching makes every wait of a running job fail at once.
    if (end_) end_->Detach();
  }
  wake_.notify_all();
  thread_.join();
}

void ConsoleEmulator::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

template <typename T>
std::future<T> ConsoleEmulator::Submit(std::function<T()> job) {
  auto task = std::make_shared<std::packaged_task<T()>>(std::move(job));
  std::future<T> result = task->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back([task] { (*task)(); });
  }
  wake_.notify_all();
  return result;
}

void ConsoleEmulator::Violation(const std::string& what) {
  std::fprintf(stderr, "console emulator: host broke the protocol: %s\n", what.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  violations_.push_back(what);
}

std::vector<std::string> ConsoleEmulator::Violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
}

void ConsoleEmulator::StallNextSend() {
  std::lock_guard<std::mutex> lock(mutex_);
  stallSend_ = true;
}

void ConsoleEmulator::StallNextReceive() {
  std::lock_guard<std::mutex> lock(mutex_);
  stallReceive_ = true;
}

void ConsoleEmulator::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end_) end_->Detach();
}

void ConsoleEmulator::Attach() {
  Submit<bool>([this] {
    auto fresh = attach_();
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = std::move(fresh);
    return true;
  }).wait();
}

// ---- Protocol steps, on the emulator's thread. ----

bool ConsoleEmulator::SendBytes(const std::vector<uint8_t>& packet) {
  if (!end_) return false;
  ConsoleEnd& end = *end_;
  // Start only on a quiet line: the host never starts an exchange.
  if (!end.WaitStatus(kRequest | kComplete, 0, kWaitMs)) {
    uint8_t status = 0;
    if (end.GetStatus(&status)) Violation("handshake bits were up before the console's request");
    return false;
  }
  if (!end.SetFeature(kRequest) || !end.Write(packet.data(), static_cast<uint32_t>(packet.size())))
    return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stallSend_) {
      stallSend_ = false;
      return false;
    }
  }
  if (!end.SetFeature(kComplete)) return false;
  // The host clears transfer request before it reads and transfer complete
  // once it has read the whole packet. Only the second is waited for: a
  // quick host may already have raised transfer request again for its
  // answer, so a cleared request is not a state that lasts.
  return end.WaitStatus(kComplete, 0, kWaitMs);
}

bool ConsoleEmulator::Receive(RawPacket* packet) {
  if (!end_) return false;
  ConsoleEnd& end = *end_;
  if (!end.WaitStatus(kRequest, kRequest, kWaitMs)) return false;
  uint8_t status = 0;
  if (end.GetStatus(&status) && (status & kComplete))
    Violation("transfer complete was raised before the console took up the request");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stallReceive_) {
      stallReceive_ = false;
      return false;
    }
  }
  if (!end.ClearFeature(kRequest)) return false;

  uint8_t header[8];
  if (!end.Read(header, 8, kWaitMs)) return false;
  packet->bodySize = GetLe32(header);
  std::memcpy(packet->tag, header + 4, 4);
  if (!IsTvR(packet->tag)) Violation("a host packet without the TvR tag");
  if (packet->bodySize > kLargestHostPacket) {
    Violation("a host packet of " + std::to_string(packet->bodySize) + " bytes");
    return false;
  }
  packet->body.resize(packet->bodySize);
  if (packet->bodySize && !end.Read(packet->body.data(), packet->bodySize, kWaitMs)) {
    Violation("the host sent less body than its header announced");
    return false;
  }
  if (!end.WaitStatus(kComplete, kComplete, kWaitMs)) {
    if (end.GetStatus(&status)) Violation("the host never raised transfer complete");
    return false;
  }
  // Every host read after this mark began with transfer complete up; the
  // host waits to see it cleared, so let it see that before this side may
  // raise the bit again for a packet of its own.
  const uint64_t mark = end.HostStatusMark();
  packet->ok = end.ClearFeature(kComplete);
  if (packet->ok) end.WaitHostSaw(mark, kComplete, 0, kHostSeesMs);
  return packet->ok;
}

HostReply ConsoleEmulator::Exchange(uint8_t code, const std::vector<uint8_t>& body) {
  HostReply reply;
  RawPacket answer;
  if (!SendBytes(Frame(code, body)) || !Receive(&answer)) return reply;
  if (answer.tag[3] != kReply || !IsTvR(answer.tag)) {
    Violation("request " + std::to_string(code) + " answered with code " +
              std::to_string(answer.tag[3]));
    return reply;
  }
  if (answer.body.size() < 4) {
    Violation("a reply without its result word");
    return reply;
  }
  reply.ok = true;
  reply.result = static_cast<int32_t>(GetLe32(answer.body.data()));
  reply.data.assign(answer.body.begin() + 4, answer.body.end());
  return reply;
}

PollOutcome ConsoleEmulator::DoPoll(int32_t answer) {
  PollOutcome outcome;
  RawPacket packet;
  if (!SendBytes(Frame(kPoll, {})) || !Receive(&packet)) return outcome;
  const uint8_t code = packet.tag[3];
  if (code == kReply) {
    if (packet.body.size() < 4) {
      Violation("a poll reply without its result word");
      return outcome;
    }
    outcome.ok = true;
    outcome.result = static_cast<int32_t>(GetLe32(packet.body.data()));
    return outcome;
  }
  outcome.command = true;
  outcome.code = code;
  outcome.body = packet.body;
  static const char kElf[] = "host:/exec/elf";
  static const char kIop[] = "host:/exec/iop";
  auto bodyIs = [&](const char* text) {
    return packet.body.size() == 15 && std::memcmp(packet.body.data(), text, 15) == 0;
  };
  bool wellFormed = (code == kReset || code == kQuit)
                        ? packet.body.empty()
                        : code == kExecElf ? bodyIs(kElf) : code == kExecIop ? bodyIs(kIop) : false;
  if (!wellFormed) Violation("a malformed command with code " + std::to_string(code));

  std::vector<uint8_t> body;
  Le32(body, static_cast<uint32_t>(answer));
  if (!SendBytes(Frame(kReply, body))) return outcome;
  outcome.ok = true;
  if (answer == -1) {
    // The host follows a command that failed with a plain reply 0.
    RawPacket follow;
    if (!Receive(&follow) || follow.tag[3] != kReply || follow.body.size() < 4) {
      Violation("no reply after a command answered with -1");
      outcome.ok = false;
      return outcome;
    }
    outcome.followUp = true;
    outcome.followUpResult = static_cast<int32_t>(GetLe32(follow.body.data()));
  }
  return outcome;
}

// ---- The test-facing operations. ----

std::future<HostReply> ConsoleEmulator::Open(uint32_t flags, const std::string& path) {
  std::vector<uint8_t> body;
  Le32(body, flags);
  body.insert(body.end(), path.begin(), path.end());
  body.push_back(0);
  return Request(kOpen, std::move(body));
}

std::future<HostReply> ConsoleEmulator::Close(int32_t handle) {
  std::vector<uint8_t> body;
  Le32(body, static_cast<uint32_t>(handle));
  return Request(kClose, std::move(body));
}

std::future<HostReply> ConsoleEmulator::Read(int32_t handle, uint32_t count) {
  return Request(kRead, ReadBody(handle, count));
}

std::future<HostReply> ConsoleEmulator::Write(int32_t handle, std::vector<uint8_t> data) {
  return Request(kWrite, WriteBody(handle, data));
}

std::future<HostReply> ConsoleEmulator::Lseek(int32_t handle, int32_t offset, int32_t whence) {
  std::vector<uint8_t> body;
  Le32(body, static_cast<uint32_t>(handle));
  Le32(body, static_cast<uint32_t>(offset));
  Le32(body, static_cast<uint32_t>(whence));
  return Request(kLseek, std::move(body));
}

std::future<int> ConsoleEmulator::ReadRepeatedly(int32_t handle, uint32_t count, int times) {
  return Submit<int>([this, body = ReadBody(handle, count), count, times] {
    int full = 0;
    for (int i = 0; i < times; ++i) full += Exchange(kRead, body).result == int32_t(count);
    return full;
  });
}

std::future<int> ConsoleEmulator::WriteRepeatedly(int32_t handle, std::vector<uint8_t> data,
                                                   int times) {
  const int32_t count = static_cast<int32_t>(data.size());
  return Submit<int>([this, body = WriteBody(handle, data), count, times] {
    int full = 0;
    for (int i = 0; i < times; ++i) full += Exchange(kWrite, body).result == count;
    return full;
  });
}

std::future<PollOutcome> ConsoleEmulator::Poll(int32_t answer) {
  return Submit<PollOutcome>([this, answer] { return DoPoll(answer); });
}

std::future<HostReply> ConsoleEmulator::Request(uint8_t code, std::vector<uint8_t> body) {
  return Submit<HostReply>([this, code, body = std::move(body)] { return Exchange(code, body); });
}

std::future<bool> ConsoleEmulator::SendRaw(std::vector<uint8_t> bytes) {
  return Submit<bool>([this, bytes = std::move(bytes)] { return SendBytes(bytes); });
}

std::future<bool> ConsoleEmulator::SendPacket(const uint8_t tag[4], std::vector<uint8_t> body) {
  return SendRaw(Frame(tag, body));
}

std::future<RawPacket> ConsoleEmulator::ReceiveRaw() {
  return Submit<RawPacket>([this] {
    RawPacket packet;
    if (!Receive(&packet)) packet.ok = false;
    return packet;
  });
}

}  // namespace sim
