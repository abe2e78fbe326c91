// The console's end of a cable: what the console emulator needs from the
// wire. The simulated driver gives one in-process; a loopback socket can give
// another. Platform-free.
#pragma once

#include <cstdint>

namespace sim {

class ConsoleEnd {
 public:
  virtual ~ConsoleEnd() = default;

  // The LinkStatus as the console sees it: the handshake bits, bit 1 while
  // the host holds the cable open, and transmit ready.
  virtual bool GetStatus(uint8_t* status) = 0;
  // Blocks until (status & mask) == want; false when the bound passes or the
  // cable goes away, so that no caller can hang.
  virtual bool WaitStatus(uint8_t mask, uint8_t want, int timeoutMs) = 0;
  virtual bool SetFeature(uint8_t bit) = 0;
  virtual bool ClearFeature(uint8_t bit) = 0;
  // Reads exactly `length` bytes the host wrote; false when they don't come
  // within the bound or the cable goes away.
  virtual bool Read(void* buffer, uint32_t length, int timeoutMs) = 0;
  virtual bool Write(const void* buffer, uint32_t length) = 0;
  // Takes up to `length` bytes the host wrote: returns once all of them
  // have come, the bound has passed, or the host does not hold the cable
  // open; the count taken. A virtual cable's READ is this.
  virtual uint32_t ReadSome(void* buffer, uint32_t length, int timeoutMs) = 0;
  // A real cable's latency gives the host time to see a bit cleared before
  // the console raises it again; in-process the console would be faster
  // than any host. So the console can take a mark of the host's status
  // reads, change a bit, and wait until a host read made after the mark
  // has shown (status & mask) == want. False on the bound.
  virtual uint64_t HostStatusMark() = 0;
  virtual bool WaitHostSaw(uint64_t mark, uint8_t mask, uint8_t want, int timeoutMs) = 0;
  // Drops the peer bit; every later call fails.
  virtual void Detach() = 0;
};

}  // namespace sim
