// The virtual cable listener. Each connection runs on a thread of its own:
// it reads one frame, answers it, and reads the next; a frame that breaks
// the rules ends that connection alone. Waits (READ, WAIT) run in short
// slices so that a closed connection or a stopping listener ends them at
// once; nothing here blocks longer than a slice without looking up.
#include "sim/virtual_cable.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "link/cable_protocol.h"
#include "session/host_file_service.h"
#include "sim/sim_driver.h"

namespace sim {
namespace {

using namespace tavrin;
using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 50;
// How long a CLEAR of transfer complete waits for the host to see it.
constexpr int kHostSeesMs = 1000;

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Whether a request's payload length is one the op allows.
bool LengthFits(uint8_t op, uint32_t length) {
  switch (op) {
    case wire::kHello: return length >= 4 && length <= 4 + wire::kMaxName;
    case wire::kAttach:
    case wire::kSet:
    case wire::kClear: return length == 1;
    case wire::kStatus: return length == 0;
    case wire::kWrite: return length <= wire::kMaxPayload;
    case wire::kRead: return length == 8;
    case wire::kWait: return length == 6;
    default: return false;
  }
}

// One connection: one virtual cable once its HELLO is answered.
class CableConnection {
 public:
  CableConnection(SOCKET socket, const std::atomic<bool>& stopping)
      : socket_(socket), stopping_(stopping) {}

  // Serves frames until the peer closes, a frame breaks the rules or the
  // listener stops; then the cable goes and the peer sees the close.
  void Run() {
    while (!stopping_.load() && ServeOne()) {
    }
    end_.reset();
    if (cable_ >= 0) SimDriver::Unplug(cable_);
    shutdown(socket_, SD_BOTH);
  }

 private:
  // Waits in slices until the peer has sent something (or closed): a recv
  // blocked in another thread's shutdown is not woken under Wine, so the
  // stop is looked for between slices.
  bool WaitReadable() {
    for (;;) {
      if (stopping_.load()) return false;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval slice = {0, kSliceMs * 1000};
      const int ready = select(0, &readable, nullptr, nullptr, &slice);
      if (ready != 0) return ready > 0;
    }
  }

  bool ReadExact(void* buffer, size_t length) {
    auto p = static_cast<char*>(buffer);
    while (length > 0) {
      if (!WaitReadable()) return false;
      const int n = recv(socket_, p, static_cast<int>(std::min<size_t>(length, 1 << 20)), 0);
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  bool SendAll(const uint8_t* bytes, size_t length) {
    while (length > 0) {
      const int n = send(socket_, reinterpret_cast<const char*>(bytes),
                         static_cast<int>(std::min<size_t>(length, 1 << 20)), 0);
      if (n <= 0) return false;
      bytes += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  // `frame` holds the 5 header bytes' room, then the payload.
  bool Reply(uint8_t op, std::vector<uint8_t>& frame) {
    frame[0] = op | wire::kReplyBit;
    PutLe32(&frame[1], static_cast<uint32_t>(frame.size() - wire::kHeaderSize));
    return SendAll(frame.data(), frame.size());
  }

  bool Reply(uint8_t op, const void* payload = nullptr, uint32_t length = 0) {
    std::vector<uint8_t> frame(wire::kHeaderSize + length);
    if (length) std::memcpy(&frame[wire::kHeaderSize], payload, length);
    return Reply(op, frame);
  }

  // True when the peer has closed (or reset) the connection; data waiting to
  // be read is not a close.
  bool PeerGone() {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval now = {0, 0};
    if (select(0, &readable, nullptr, nullptr, &now) <= 0) return false;
    char byte;
    return recv(socket_, &byte, 1, MSG_PEEK) <= 0;
  }

  // Runs `step(sliceMs)` until it reports done, the time-out passes, the
  // peer closes or the listener stops. At least one step runs.
  template <typename Step>
  void SlicedWait(uint32_t timeoutMs, Step step) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const int slice = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count(), kSliceMs)));
      if (step(slice) || left.count() <= 0 || stopping_.load() || PeerGone()) return;
    }
  }

  // The status as the wire gives it: the handshake bits, and bit 1 while
  // the host holds the cable open.
  uint8_t WireStatus() const {
    uint8_t status = SimDriver::Register(cable_) & (kStatusTransferRequest | kStatusTransferComplete);
    if (SimDriver::IsOpen(cable_)) status |= kStatusPeerExists;
    return status;
  }

  bool ServeOne() {
    uint8_t header[wire::kHeaderSize];
    if (!ReadExact(header, sizeof header)) return false;
    const uint8_t op = header[0];
    const uint32_t length = GetLe32(header + 1);
    if (!LengthFits(op, length)) return false;
    if ((op == wire::kHello) == (cable_ >= 0)) return false;  // HELLO first, and once
    std::vector<uint8_t> payload(length);
    if (length && !ReadExact(payload.data(), length)) return false;
    switch (op) {
      case wire::kHello: return Hello(payload);
      case wire::kAttach: return Attach(payload[0]);
      case wire::kStatus: {
        const uint8_t status = WireStatus();
        return Reply(op, &status, 1);
      }
      case wire::kSet:
      case wire::kClear: return Feature(op, payload[0]);
      case wire::kWrite: return Write(payload);
      case wire::kRead: return Read(GetLe32(&payload[0]), GetLe32(&payload[4]));
      case wire::kWait: return Wait(payload[0], payload[1], GetLe32(&payload[2]));
      default: return false;
    }
  }

  bool Hello(const std::vector<uint8_t>& payload) {
    if (std::memcmp(payload.data(), wire::kMagic, 4) != 0) return false;
    std::string name(payload.begin() + 4, payload.end());
    cable_ = SimDriver::Plug(name.empty() ? kDefaultVirtualCableName : name);
    if (cable_ < 0) return false;  // every cable slot is in use
    uint8_t version[4];
    PutLe32(version, wire::kVersion);
    return Reply(wire::kHello, version, 4);
  }

  bool Attach(uint8_t present) {
    if (present > 1) return false;
    if (!present)
      end_.reset();  // detaches
    else if (!end_)
      end_ = SimDriver::AttachConsole(cable_);
    return Reply(wire::kAttach);
  }

  // A console that is not attached can't touch the handshake: SET and CLEAR
  // then change nothing.
  bool Feature(uint8_t op, uint8_t bit) {
    if (bit != kFeatureTransferRequest && bit != kFeatureTransferComplete) return false;
    if (end_ && op == wire::kSet) {
      end_->SetFeature(bit);
    } else if (end_) {
      // Once the console clears transfer complete it may raise the bits
      // again for its next packet at once; a real cable's latency lets the
      // host see the cleared bit first, and so must this one, or the host
      // would wait for a clear it never saw.
      const uint64_t mark = end_->HostStatusMark();
      end_->ClearFeature(bit);
      if (bit == kFeatureTransferComplete && SimDriver::IsOpen(cable_))
        end_->WaitHostSaw(mark, kStatusTransferComplete, 0, kHostSeesMs);
    }
    return Reply(op);
  }

  bool Write(const std::vector<uint8_t>& data) {
    uint8_t taken[4];
    const bool ok = end_ && end_->Write(data.data(), static_cast<uint32_t>(data.size()));
    PutLe32(taken, ok ? static_cast<uint32_t>(data.size()) : 0);
    return Reply(wire::kWrite, taken, 4);
  }

  bool Read(uint32_t count, uint32_t timeoutMs) {
    if (count > wire::kMaxPayload) return false;  // its reply could not be framed
    std::vector<uint8_t> frame(wire::kHeaderSize + count);
    uint32_t got = 0;
    SlicedWait(timeoutMs, [&](int slice) {
      if (!end_) return true;
      got += end_->ReadSome(&frame[wire::kHeaderSize + got], count - got, slice);
      return got == count || !SimDriver::IsOpen(cable_);
    });
    frame.resize(wire::kHeaderSize + got);
    return Reply(wire::kRead, frame);
  }

  bool Wait(uint8_t mask, uint8_t value, uint32_t timeoutMs) {
    // The wire status has bits 1, 2 and 4 only; a value outside the mask or
    // those bits can never be met, and the wait runs to its time-out.
    const uint8_t bits = mask & (kStatusPeerExists | kStatusTransferRequest | kStatusTransferComplete);
    const bool possible = (value & ~bits) == 0;
    SlicedWait(timeoutMs, [&](int slice) {
      if (possible && (WireStatus() & mask) == value) return true;
      if (!possible || !end_ || !end_->WaitStatus(bits, value, slice)) Sleep(std::min(slice, 1));
      return possible && (WireStatus() & mask) == value;
    });
    const uint8_t status = WireStatus();
    return Reply(wire::kWait, &status, 1);
  }

  SOCKET socket_;
  const std::atomic<bool>& stopping_;
  int cable_ = -1;
  std::unique_ptr<ConsoleEnd> end_;
};

// The system's words for a socket error, not its number: the line is for
// whoever started the program. Wine has no text for the Winsock codes, so
// those a bind or listen gives have words of their own here.
std::string SocketErrorText(int error) {
  const std::string text = SystemText(static_cast<DWORD>(error));
  if (!text.empty()) return text;
  switch (error) {
    case WSAEADDRINUSE: return "the port is in use";
    case WSAEACCES: return "access to the port is denied";
    case WSAEADDRNOTAVAIL: return "the address is not available";
    case WSAENOBUFS: return "no buffer space is available";
    default: return "socket error " + std::to_string(error);
  }
}

}  // namespace

struct VirtualCableListener::Connection {
  SOCKET socket = INVALID_SOCKET;
  std::thread thread;
  std::atomic<bool> done{false};
};

VirtualCableListener::VirtualCableListener() : listenSocket_(INVALID_SOCKET) {}

VirtualCableListener::~VirtualCableListener() { Stop(); }

bool VirtualCableListener::Start(uint16_t port, std::string* error) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    *error = "Winsock can't be started";
    return false;
  }
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int length = sizeof address;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, SOMAXCONN) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = "can't listen on 127.0.0.1:" + std::to_string(port) + ": " +
             SocketErrorText(WSAGetLastError());
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return false;
  }
  listenSocket_ = s;
  port_ = ntohs(address.sin_port);
  stopping_.store(false);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void VirtualCableListener::AcceptLoop() {
  const SOCKET listener = static_cast<SOCKET>(listenSocket_);
  while (!stopping_.load()) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval slice = {0, kSliceMs * 1000};
    if (select(0, &readable, nullptr, nullptr, &slice) <= 0) continue;
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;
    // Every reply is small or whole; waiting to fill a segment only adds
    // the peer's delayed acknowledgement to each exchange.
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    Reap(false);
    auto connection = std::make_unique<Connection>();
    Connection* c = connection.get();
    c->socket = s;
    std::lock_guard<std::mutex> lock(mutex_);
    c->thread = std::thread([this, c] {
      CableConnection(c->socket, stopping_).Run();
      c->done.store(true);
    });
    connections_.push_back(std::move(connection));
  }
}

// Joins and closes finished connections, or all of them.
void VirtualCableListener::Reap(bool all) {
  std::vector<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto split = std::stable_partition(connections_.begin(), connections_.end(),
                                       [all](const auto& c) { return !all && !c->done.load(); });
    for (auto it = split; it != connections_.end(); ++it) finished.push_back(std::move(*it));
    connections_.erase(split, connections_.end());
  }
  for (auto& c : finished) {
    c->thread.join();
    closesocket(c->socket);
  }
}

int VirtualCableListener::Connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                        [](const auto& c) { return !c->done.load(); }));
}

void VirtualCableListener::Stop() {
  if (listenSocket_ == INVALID_SOCKET) return;
  stopping_.store(true);
  acceptThread_.join();
  closesocket(static_cast<SOCKET>(listenSocket_));
  listenSocket_ = INVALID_SOCKET;
  Reap(true);
  WSACleanup();
}

std::unique_ptr<VirtualCableListener> StartListenerFromEnvironment(std::string* error) {
  char text[32];
  const DWORD length = GetEnvironmentVariableA("TAVDESK_SIM_LISTEN", text, sizeof text);
  if (length == 0) return nullptr;
  const bool digits = length < sizeof text && std::all_of(text, text + length, [](char c) {
    return c >= '0' && c <= '9';
  });
  const unsigned long port = digits && length <= 5 ? std::strtoul(text, nullptr, 10) : 70000;
  if (port > 65535) {
    *error = "TAVDESK_SIM_LISTEN is not a port number (0 to 65535)";
    return nullptr;
  }
  auto listener = std::make_unique<VirtualCableListener>();
  if (!listener->Start(static_cast<uint16_t>(port), error)) return nullptr;
  return listener;
}

}  // namespace sim
