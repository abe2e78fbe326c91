// The console's end of a virtual cable in C++, for the benchmarks and the
// virtual cable suite: a loopback connection that speaks the virtual cable
// wire protocol frame by frame, well-formed or not.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>
#include <vector>

class SocketConsoleEnd {
 public:
  // Connects to 127.0.0.1:port; every receive on it gives up after 10 s,
  // so no call can hang.
  explicit SocketConsoleEnd(uint16_t port);
  ~SocketConsoleEnd();

  // HELLO with the cable's name, then ATTACH 1 when asked.
  bool Hello(const std::string& name, bool attach = true);

  bool SendBytes(const std::vector<uint8_t>& bytes);
  bool SendFrame(uint8_t op, const std::vector<uint8_t>& payload);
  // The next reply frame; false when none comes whole within the bound.
  bool ReceiveFrame(uint8_t* op, std::vector<uint8_t>* payload);
  // One request and its reply, which must carry the op with 0x80.
  bool Exchange(uint8_t op, const std::vector<uint8_t>& payload, std::vector<uint8_t>* reply);
  // True when the far side closes the connection within the bound.
  bool ClosedByPeer();
  // Closes this side: that unplugs the cable.
  void Disconnect();

 private:
  bool Receive(void* buffer, size_t length);

  SOCKET socket_ = INVALID_SOCKET;
};

std::vector<uint8_t> Le32Bytes(uint32_t value);
