// Virtual cables: a TCP listener on 127.0.0.1 through which a console program
// outside the process plays the console's end of a cable (wire protocol
// version 1, below). Every connection whose HELLO is answered is one cable
// of the simulated driver, unplugged when the connection closes; the host
// end sees it as any simulated cable. One thread per connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// The wire format: a frame is op (1 byte), payload length (4 bytes,
// little-endian), payload. A reply carries the request's op | 0x80.
namespace wire {
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kAttach = 0x02;
constexpr uint8_t kStatus = 0x03;
constexpr uint8_t kSet = 0x04;
constexpr uint8_t kClear = 0x05;
constexpr uint8_t kWrite = 0x06;
constexpr uint8_t kRead = 0x07;
constexpr uint8_t kWait = 0x08;
constexpr uint8_t kReplyBit = 0x80;
constexpr uint32_t kVersion = 1;
constexpr char kMagic[4] = {'T', 'V', 'C', '1'};
constexpr uint32_t kMaxPayload = 16u << 20;
constexpr uint32_t kMaxName = 139;
constexpr uint32_t kHeaderSize = 5;
}  // namespace wire

// The name a cable gets when HELLO names none.
constexpr const char* kDefaultVirtualCableName = "Virtual cable";

class VirtualCableListener {
 public:
  VirtualCableListener();
  ~VirtualCableListener();  // Stop
  VirtualCableListener(const VirtualCableListener&) = delete;
  VirtualCableListener& operator=(const VirtualCableListener&) = delete;

  // Binds 127.0.0.1:port (0 takes any free port) and starts accepting.
  // False with a message for the user when the port can't be had.
  bool Start(uint16_t port, std::string* error);
  // The port bound, once started.
  uint16_t Port() const { return port_; }
  // Closes the listener and every connection (their cables are unplugged)
  // and waits for their threads.
  void Stop();
  // Connections whose thread still runs.
  int Connections();

 private:
  struct Connection;
  void AcceptLoop();
  void Reap(bool all);

  uintptr_t listenSocket_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mutex_;  // guards connections_
  std::vector<std::unique_ptr<Connection>> connections_;
};

// The listener that TAVDESK_SIM_LISTEN asks for, started: none when the
// variable is unset. When it is set but no listener can be had (not a port
// number, or the bind fails), `error` says why and none is returned.
std::unique_ptr<VirtualCableListener> StartListenerFromEnvironment(std::string* error);

}  // namespace sim
