// The console's server at the far end of a simulated cable, written from the
// protocol with the roles swapped and sharing no code with the host's
// transport, so that each side checks the other. It runs on a thread of its
// own; every operation is queued to that thread and returns a future, so a
// test can serve the host side on its own thread meanwhile. Every wait of the
// emulator is bounded: a future never hangs. It is also a conformance
// checker: a host that breaks the handshake order or the framing is reported
// in Violations() (and on stderr at once).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/console_end.h"

namespace sim {

// A packet as it travelled, header fields decoded.
struct RawPacket {
  bool ok = false;  // received with the full handshake
  uint32_t bodySize = 0;
  uint8_t tag[4] = {};
  std::vector<uint8_t> body;
};

// What the host answered a request with.
struct HostReply {
  bool ok = false;  // a ReplyPacket arrived with the full handshake
  int32_t result = -1;
  std::vector<uint8_t> data;  // bytes behind the result word
};

// What a poll brought.
struct PollOutcome {
  bool ok = false;       // the exchange completed
  bool command = false;  // the host sent a command instead of a reply
  uint8_t code = 0;      // the command's code (reset 0, ELF 1, IOP 2, quit 3)
  std::vector<uint8_t> body;
  int32_t result = -1;  // the plain reply's result, when no command came
  // After a command answered with -1, the host follows with a reply 0.
  bool followUp = false;
  int32_t followUpResult = -1;
};

class ConsoleEmulator {
 public:
  using EndFactory = std::function<std::unique_ptr<ConsoleEnd>()>;

  // Attaches at once through the factory (the host sees the peer bit).
  explicit ConsoleEmulator(EndFactory attach);
  ~ConsoleEmulator();
  ConsoleEmulator(const ConsoleEmulator&) = delete;
  ConsoleEmulator& operator=(const ConsoleEmulator&) = delete;

  // Host file requests; each sends its request and takes the host's reply.
  std::future<HostReply> Open(uint32_t flags, const std::string& path);
  std::future<HostReply> Close(int32_t handle);
  std::future<HostReply> Read(int32_t handle, uint32_t count);
  std::future<HostReply> Write(int32_t handle, std::vector<uint8_t> data);
  std::future<HostReply> Lseek(int32_t handle, int32_t offset, int32_t whence);
  // The same request `times` over in one job, as a console program's loop
  // would make them; the count of replies whose result was the full count.
  std::future<int> ReadRepeatedly(int32_t handle, uint32_t count, int times);
  std::future<int> WriteRepeatedly(int32_t handle, std::vector<uint8_t> data, int times);
  // A poll; a command that comes instead of a reply is answered with `answer`.
  std::future<PollOutcome> Poll(int32_t answer = 0);
  // Any request body under any code, for malformed input; takes the reply.
  std::future<HostReply> Request(uint8_t code, std::vector<uint8_t> body);

  // Raw packets: `bytes` are sent as they are (header included), so a test
  // can send a header whose size lies or whose tag is foreign.
  std::future<bool> SendRaw(std::vector<uint8_t> bytes);
  std::future<RawPacket> ReceiveRaw();
  // A packet with a well-formed header around `body`, under any tag.
  std::future<bool> SendPacket(const uint8_t tag[4], std::vector<uint8_t> body);

  // The peer bit.
  void Attach();
  void Detach();

  // Faults for the next transfer: a console that stops in the middle of it.
  // StallNextSend: raises transfer request and writes the packet but never
  // raises transfer complete. StallNextReceive: never takes up the host's
  // transfer request.
  void StallNextSend();
  void StallNextReceive();

  std::vector<std::string> Violations() const;

  // How long each wait of the emulator lasts before it gives up.
  static constexpr int kWaitMs = 8000;

 private:
  template <typename T>
  std::future<T> Submit(std::function<T()> job);
  void Run();
  void Violation(const std::string& what);

  // Protocol steps, on the emulator's thread.
  bool SendBytes(const std::vector<uint8_t>& packet);
  bool Receive(RawPacket* packet);
  HostReply Exchange(uint8_t code, const std::vector<uint8_t>& body);
  PollOutcome DoPoll(int32_t answer);

  EndFactory attach_;
  std::unique_ptr<ConsoleEnd> end_;  // emulator thread only, but for Attach/Detach

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  bool stallSend_ = false;
  bool stallReceive_ = false;
  std::vector<std::string> violations_;
  std::thread thread_;
};

}  // namespace sim
