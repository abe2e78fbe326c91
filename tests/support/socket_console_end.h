// The console's end of a virtual cable, in C++ for the Windows tests: a
// loopback connection that speaks the virtual cable wire protocol, both as
// raw frames (for malformed input) and as a ConsoleEnd, so that the console
// emulator runs over it against the real host code.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/console_end.h"

class SocketConsoleEnd : public sim::ConsoleEnd {
 public:
  // Connects to 127.0.0.1:port; every receive on it gives up after 10 s,
  // so no call can hang.
  explicit SocketConsoleEnd(uint16_t port);
  ~SocketConsoleEnd() override;

  // HELLO with the cable's name, then ATTACH 1 when asked.
  bool Hello(const std::string& name, bool attach = true);

  // Raw frames.
  bool SendBytes(const std::vector<uint8_t>& bytes);
  bool SendFrame(uint8_t op, const std::vector<uint8_t>& payload);
  // The next reply frame; false when none comes whole within the bound.
  bool ReceiveFrame(uint8_t* op, std::vector<uint8_t>* payload);
  // One request and its reply, which must carry the op with 0x80.
  bool Exchange(uint8_t op, const std::vector<uint8_t>& payload, std::vector<uint8_t>* reply);
  // True when the far side closes the connection within the bound.
  bool ClosedByPeer();
  // Closes this side.
  void Disconnect();

  // ConsoleEnd over the wire.
  bool GetStatus(uint8_t* status) override;
  bool WaitStatus(uint8_t mask, uint8_t want, int timeoutMs) override;
  bool SetFeature(uint8_t bit) override;
  bool ClearFeature(uint8_t bit) override;
  bool Read(void* buffer, uint32_t length, int timeoutMs) override {
    return ReadSome(buffer, length, timeoutMs) == length;
  }
  uint32_t ReadSome(void* buffer, uint32_t length, int timeoutMs) override;
  bool Write(const void* buffer, uint32_t length) override;
  // The listener's CLEAR already waits until the host has seen the change.
  uint64_t HostStatusMark() override { return 0; }
  bool WaitHostSaw(uint64_t, uint8_t, uint8_t, int) override { return true; }
  // Closes the connection: that unplugs the cable, and every later call fails.
  void Detach() override;

 private:
  bool Receive(void* buffer, size_t length);

  SOCKET socket_ = INVALID_SOCKET;
};

std::vector<uint8_t> Le32Bytes(uint32_t value);
