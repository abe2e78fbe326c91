// SocketConsoleEnd: the wire protocol's client side, frame by frame.
#include "sim/socket_console_end.h"

#include <ws2tcpip.h>

#include "sim/virtual_cable.h"

namespace wire = sim::wire;

std::vector<uint8_t> Le32Bytes(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

SocketConsoleEnd::SocketConsoleEnd(uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) return;
  DWORD bound = 10000;
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&bound), sizeof bound);
  BOOL noDelay = TRUE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Disconnect();
}

SocketConsoleEnd::~SocketConsoleEnd() {
  Disconnect();
  WSACleanup();
}

void SocketConsoleEnd::Disconnect() {
  if (socket_ == INVALID_SOCKET) return;
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

bool SocketConsoleEnd::Hello(const std::string& name, bool attach) {
  std::vector<uint8_t> payload(wire::kMagic, wire::kMagic + 4), reply;
  payload.insert(payload.end(), name.begin(), name.end());
  if (!Exchange(wire::kHello, payload, &reply) || reply != Le32Bytes(wire::kVersion)) return false;
  return !attach || Exchange(wire::kAttach, {1}, &reply);
}

bool SocketConsoleEnd::SendBytes(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int n = send(socket_, reinterpret_cast<const char*>(bytes.data() + done),
                       static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SocketConsoleEnd::SendFrame(uint8_t op, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame = Le32Bytes(static_cast<uint32_t>(payload.size()));
  frame.insert(frame.begin(), op);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return SendBytes(frame);
}

bool SocketConsoleEnd::Receive(void* buffer, size_t length) {
  auto p = static_cast<char*>(buffer);
  while (length > 0) {
    const int n = recv(socket_, p, static_cast<int>(length), 0);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool SocketConsoleEnd::ReceiveFrame(uint8_t* op, std::vector<uint8_t>* payload) {
  uint8_t header[wire::kHeaderSize];
  if (!Receive(header, sizeof header)) return false;
  *op = header[0];
  const uint32_t length = Le32(header + 1);
  if (length > wire::kMaxPayload) return false;
  payload->resize(length);
  return length == 0 || Receive(payload->data(), length);
}

bool SocketConsoleEnd::Exchange(uint8_t op, const std::vector<uint8_t>& payload,
                                std::vector<uint8_t>* reply) {
  uint8_t answered = 0;
  return SendFrame(op, payload) && ReceiveFrame(&answered, reply) &&
         answered == (op | wire::kReplyBit);
}

bool SocketConsoleEnd::ClosedByPeer() {
  char byte;
  // A close shows as end of stream; a bound that passes as an error with
  // WSAETIMEDOUT, which is no close.
  const int n = recv(socket_, &byte, 1, 0);
  return n == 0 || (n < 0 && WSAGetLastError() != WSAETIMEDOUT);
}
