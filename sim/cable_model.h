// The simulated cable's model, for sim/ only (tests use sim_driver.h): the
// cables with their byte pipes and handshake register, and the faults, hooks,
// counters and call record of the test surface. sim_driver.cpp binds the
// driver port to it.
//
// Two locks: `mutex` guards the cables' pipes and wakes whoever waits for
// bytes or handshake bits (console and host alike); `control` guards the
// test surface (faults, hooks, counters, the call record), which only the
// host's calls and the tests touch. The host's handshake waits read the
// status back to back without pause, so the status path takes neither the
// state lock nor any lock the console needs: the status bits are atomics
// and cables are found through a fixed table. Otherwise a spinning host
// would starve the console thread of the lock it needs to answer.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/device_info.h"
#include "sim/sim_driver.h"

namespace sim {
namespace model {

// A byte pipe that appends at the back and takes from the front.
class Pipe {
 public:
  size_t Size() const { return data_.size() - head_; }
  void Append(const void* bytes, size_t n) {
    auto p = static_cast<const uint8_t*>(bytes);
    data_.insert(data_.end(), p, p + n);
  }
  void Take(void* out, size_t n) {
    std::memcpy(out, data_.data() + head_, n);
    head_ += n;
    if (head_ == data_.size()) {
      data_.clear();
      head_ = 0;
    } else if (head_ > (1u << 20) && head_ * 2 > data_.size()) {
      data_.erase(data_.begin(), data_.begin() + head_);
      head_ = 0;
    }
  }
  void Clear() {
    data_.clear();
    head_ = 0;
  }
  void Release() {
    std::vector<uint8_t>().swap(data_);
    head_ = 0;
  }

 private:
  std::vector<uint8_t> data_;
  size_t head_ = 0;
};

// The atomics are written under the state lock (so waiters on the condition
// variable see every change) and read anywhere.
struct Cable {
  int id = 0;
  std::string name;
  std::string path;
  std::atomic<bool> plugged{true};
  std::atomic<uintptr_t> handle{0};      // 0 while not open
  std::atomic<uint64_t> consoleTag{0};   // which ConsoleEnd is attached; 0 for none
  std::atomic<bool> transmitReady{true};
  std::atomic<uint8_t> reg{0};           // handshake bits 2 and 4
  // Host status reads, numbered once the status is read: a read numbered
  // above a mark read the status after the mark was taken. The last one as
  // its number (high bits) and the status it read (low byte).
  std::atomic<uint64_t> statusReads{0};
  std::atomic<uint64_t> lastStatusRead{0};
  std::atomic<int> hostCalls{0};         // host calls running on the handle now
  Pipe toConsole;                        // state lock
  Pipe toHost;                           // state lock
};

constexpr int kMaxCables = 64;

struct Fault {
  int count = 0;
  DWORD error = 0;
};

struct Hook {
  Call call;
  int remaining;
  std::function<void()> action;
};

struct State {
  // ---- state lock ----
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::shared_ptr<Cable>> cables;      // plugged since the last Reset
  std::vector<std::shared_ptr<Cable>> retired;     // kept alive for stale handles
  std::map<uintptr_t, std::vector<int>> infoSets;  // set -> cable ids at creation
  std::atomic<Cable*> slots[kMaxCables] = {};      // by id, read without the lock
  std::atomic<uintptr_t> nextHandle{0x7A000};
  uint64_t nextConsoleTag = 1;
  std::atomic<uint64_t> generation{1};  // bumped by Reset so stale console ends fail
  std::atomic<int> readTimeoutMs{10000};
  // Benchmarks: the host's status polls and both ends' waits sleep rather
  // than spin (see SimDriver::SetStatusWaits).
  std::atomic<bool> statusWaits{false};
  // Threads blocked in a read, and those of them whose read was cancelled.
  std::map<DWORD, bool> pendingReads;
  std::atomic<uint64_t> overlaps{0};

  // ---- control lock ----
  std::mutex control;
  Fault faults[static_cast<int>(Call::kCount)];
  uint32_t shortRead = UINT32_MAX;
  uint32_t shortWrite = UINT32_MAX;
  DWORD infoBytes = tavrin::kDeviceInfoSize;
  int statusNothing = 0;
  std::map<DWORD, DWORD> enumErrors;
  std::vector<Hook> hooks;
  uint64_t counts[static_cast<int>(Call::kCount)] = {};
  std::vector<CallEvent> events;
  bool recording = true;
  OpenArgs lastOpen = {};
};

State& S();

// Waits with the state lock for `ready`, and returns with the lock held.
// It spins for a moment first: a condition variable wake-up costs tens of
// microseconds under Wine, far more than a handshake step of a fast peer.
template <typename Ready>
bool WaitState(std::unique_lock<std::mutex>& lock, int timeoutMs, Ready ready) {
  constexpr auto kSpin = std::chrono::microseconds(2000);
  if (S().statusWaits.load())
    return S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  const auto spinEnd = std::chrono::steady_clock::now() + kSpin;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > spinEnd)
      return S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
  }
  return true;
}

// Adds the call to the record (when recording and not full); the second
// takes the control lock itself.
void RecordLocked(State& s, Call call, uint32_t value, uint32_t bytes, bool ok);
void Record(Call call, uint32_t value, uint32_t bytes, bool ok);

// Counts the call, runs the hooks that fall due (outside every lock), and
// reports an injected failure for it, with its error set, when one is due.
bool Enter(Call call);

// Lock-free: the slots table and the cables' atomics.
Cable* ByHandle(HANDLE h);
Cable* ById(int id);

// Marks a host call on a handle for its whole length and counts one that
// begins while another is still running there.
class HostCall {
 public:
  explicit HostCall(HANDLE h);
  ~HostCall();

 private:
  Cable* cable_;
};

// The status byte the host reads: the shared handshake bits, the peer bit
// while a console is attached, and the transmit-ready bit.
uint8_t HostStatus(const Cable& c);

// A status read in the waiting mode: a poll (a read right after a read)
// waits up to 1 ms for the status to differ from what the last read saw.
// The read is published under the state lock, so a console waiting to see
// it is woken rather than spinning.
uint8_t WaitingStatus(Cable& c);

// The bytes a read or write moves: all it asked for, or fewer when a short
// transfer was injected for it (once).
uint32_t TakeShort(uint32_t* injected, uint32_t length);

}  // namespace model
}  // namespace sim
