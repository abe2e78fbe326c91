// The simulated cable driver's state and its binding of the driver port.
//
// Two locks: `mutex` guards the cables' pipes and wakes whoever waits for
// bytes or handshake bits (console and host alike); `control` guards the
// test surface (faults, hooks, counters, the call record), which only the
// host's calls and the tests touch. The host's handshake waits read the
// status back to back without pause, so the status path takes neither the
// state lock nor any lock the console needs: the status bits are atomics
// and cables are found through a fixed table. Otherwise a spinning host
// would starve the console thread of the lock it needs to answer.
#include "sim/sim_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/device_info.h"
#include "sim/sim_timing.h"

namespace sim {
namespace {

using namespace tavrin;

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
  DWORD infoBytes = kDeviceInfoSize;
  int statusNothing = 0;
  std::map<DWORD, DWORD> enumErrors;
  std::vector<Hook> hooks;
  uint64_t counts[static_cast<int>(Call::kCount)] = {};
  std::vector<CallEvent> events;
  bool recording = true;
  OpenArgs lastOpen = {};
};

State& S() {
  static State state;
  return state;
}

constexpr size_t kMaxEvents = 1 << 20;

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

void RecordLocked(State& s, Call call, uint32_t value, uint32_t bytes, bool ok) {
  if (s.recording && s.events.size() < kMaxEvents) s.events.push_back({call, value, bytes, ok});
}

void Record(Call call, uint32_t value, uint32_t bytes, bool ok) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.control);
  RecordLocked(s, call, value, bytes, ok);
}

// Counts the call, runs the hooks that fall due (outside every lock), and
// reports an injected failure for it, with its error set, when one is due.
// The kind of the calling thread's call before this one: a status read
// that follows a status read is a poll.
thread_local Call PreviousCall = Call::kCount;
thread_local Call LastCall = Call::kCount;

bool Enter(Call call) {
  PreviousCall = LastCall;
  LastCall = call;
  State& s = S();
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(s.control);
    s.counts[static_cast<int>(call)]++;
    for (auto it = s.hooks.begin(); it != s.hooks.end();) {
      if (it->call == call && --it->remaining <= 0) {
        due.push_back(std::move(it->action));
        it = s.hooks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& action : due) action();
  std::lock_guard<std::mutex> lock(s.control);
  Fault& f = s.faults[static_cast<int>(call)];
  if (f.count == 0) return true;
  f.count--;
  RecordLocked(s, call, 0, 0, false);
  SetLastError(f.error);
  return false;
}

// Lock-free: the slots table and the cables' atomics.
Cable* ByHandle(HANDLE h) {
  const auto value = reinterpret_cast<uintptr_t>(h);
  if (value == 0) return nullptr;
  for (auto& slot : S().slots) {
    Cable* c = slot.load();
    if (c && c->handle.load() == value) return c;
  }
  return nullptr;
}

// Marks a host call on a handle for its whole length and counts one that
// begins while another is still running there.
class HostCall {
 public:
  explicit HostCall(HANDLE h) : cable_(ByHandle(h)) {
    if (cable_ && cable_->hostCalls.fetch_add(1) != 0) {
      S().overlaps++;
      std::fprintf(stderr, "simulated driver: two calls at once on one handle\n");
    }
  }
  ~HostCall() {
    if (cable_) cable_->hostCalls.fetch_sub(1);
  }

 private:
  Cable* cable_;
};

Cable* ById(int id) {
  return id >= 0 && id < kMaxCables ? S().slots[id].load() : nullptr;
}

std::shared_ptr<Cable> Shared(Cable* cable) {
  for (auto& c : S().cables)
    if (c.get() == cable) return c;
  return nullptr;
}

uint8_t HostStatus(const Cable& c) {
  uint8_t status = c.reg.load() & (kStatusTransferRequest | kStatusTransferComplete);
  if (c.consoleTag.load()) status |= kStatusPeerExists;
  if (c.transmitReady.load()) status |= kStatusTransmitReady;
  return status;
}

// A status read in the waiting mode: a poll (a read right after a read)
// waits up to 1 ms for the status to differ from what the last read saw.
// The read is published under the state lock, so a console waiting to see
// it is woken rather than spinning.
uint8_t WaitingStatus(Cable& c) {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (PreviousCall == Call::GetStatus) {
    const uint8_t before = static_cast<uint8_t>(c.lastStatusRead.load());
    s.changed.wait_for(lock, std::chrono::milliseconds(1),
                       [&] { return HostStatus(c) != before; });
  }
  const uint8_t status = HostStatus(c);
  c.lastStatusRead.store(++c.statusReads << 8 | status);
  s.changed.notify_all();
  return status;
}

bool SameGuid(const GUID* g) {
  return g && std::memcmp(g, &GUID_DEVINTERFACE_TAVRIN, sizeof(GUID)) == 0;
}

// ---- The port: the calls with their Win32 contracts. ----

HDEVINFO WINAPI SimGetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
  if (!Enter(Call::GetClassDevs)) return INVALID_HANDLE_VALUE;
  State& s = S();
  if (!(flags & DIGCF_DEVICEINTERFACE) || !guid) {
    Record(Call::GetClassDevs, flags, 0, false);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<int> members;
  uintptr_t set;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (SameGuid(guid))
      for (auto& c : s.cables)
        if (c->plugged.load() || !(flags & DIGCF_PRESENT)) members.push_back(c->id);
    set = (s.nextHandle += 4);
    s.infoSets[set] = members;
  }
  Record(Call::GetClassDevs, flags, static_cast<uint32_t>(members.size()), true);
  SetLastError(0);
  return reinterpret_cast<HDEVINFO>(set);
}

BOOL WINAPI SimEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                              PSP_DEVICE_INTERFACE_DATA data) {
  if (!Enter(Call::EnumInterfaces)) return FALSE;
  State& s = S();
  DWORD error = 0;
  int member = -1;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.infoSets.find(reinterpret_cast<uintptr_t>(set));
    if (it == s.infoSets.end())
      error = ERROR_INVALID_HANDLE;
    else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
      error = ERROR_INVALID_USER_BUFFER;
    else if (!SameGuid(guid) || index >= it->second.size())
      error = ERROR_NO_MORE_ITEMS;
    else
      member = it->second[index];
  }
  {
    std::lock_guard<std::mutex> lock(s.control);
    if (member >= 0 && s.enumErrors.count(index)) error = s.enumErrors[index];
    RecordLocked(s, Call::EnumInterfaces, index, 0, error == 0);
  }
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  data->InterfaceClassGuid = GUID_DEVINTERFACE_TAVRIN;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(member);
  SetLastError(0);
  return TRUE;
}

BOOL WINAPI SimGetInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                  PDWORD required, PSP_DEVINFO_DATA) {
  if (!Enter(Call::GetInterfaceDetail)) return FALSE;
  State& s = S();
  DWORD error = 0;
  Cable* cable = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.infoSets.count(reinterpret_cast<uintptr_t>(set)))
      error = ERROR_INVALID_HANDLE;
    else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
             !(cable = ById(static_cast<int>(data->Reserved))))
      error = ERROR_INVALID_PARAMETER;
    else if (!detail && size != 0)
      error = ERROR_INVALID_USER_BUFFER;
    else if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      error = ERROR_INVALID_USER_BUFFER;
  }
  DWORD needed = 0;
  if (!error) {
    needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                cable->path.size() + 1);
    if (required) *required = needed;
    if (!detail || size < needed) error = ERROR_INSUFFICIENT_BUFFER;
  }
  Record(Call::GetInterfaceDetail, size, needed, error == 0);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, cable->path.c_str(), cable->path.size() + 1);
  SetLastError(0);
  return TRUE;
}

BOOL WINAPI SimDestroyInfoList(HDEVINFO set) {
  if (!Enter(Call::DestroyInfoList)) return FALSE;
  State& s = S();
  bool ok;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ok = s.infoSets.erase(reinterpret_cast<uintptr_t>(set)) == 1;
  }
  Record(Call::DestroyInfoList, 0, 0, ok);
  SetLastError(ok ? 0 : ERROR_INVALID_HANDLE);
  return ok;
}

HANDLE WINAPI SimCreateFile(LPCSTR path, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                            HANDLE templ) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.control);
    s.lastOpen = {access, share, disposition, flags, security != nullptr, templ != nullptr};
  }
  if (!Enter(Call::CreateFile)) return INVALID_HANDLE_VALUE;
  DWORD error = 0;
  uintptr_t handle = 0;
  int id = -1;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    Cable* cable = nullptr;
    for (auto& c : s.cables)
      if (path && c->plugged.load() && c->path == path) cable = c.get();
    if (!cable)
      error = ERROR_FILE_NOT_FOUND;
    else if (cable->handle.load())
      error = ERROR_ACCESS_DENIED;  // the driver lets a cable be open only once
    else {
      id = cable->id;
      handle = (s.nextHandle += 4);
      cable->handle.store(handle);
      s.changed.notify_all();
    }
  }
  Record(Call::CreateFile, static_cast<uint32_t>(id), 0, error == 0);
  SetLastError(error);
  return error ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI SimCloseHandle(HANDLE h) {
  if (!Enter(Call::CloseHandle)) return FALSE;
  State& s = S();
  bool ok;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    Cable* cable = ByHandle(h);
    ok = cable != nullptr;
    if (cable) cable->handle.store(0);
    s.changed.notify_all();
  }
  Record(Call::CloseHandle, 0, 0, ok);
  SetLastError(ok ? 0 : ERROR_INVALID_HANDLE);
  return ok;
}

Call CallOfCode(DWORD code) {
  switch (code) {
    case IOCTL_TAVRIN_GET_INFO: return Call::GetInfo;
    case IOCTL_TAVRIN_RESET_LINK: return Call::ResetLink;
    case IOCTL_TAVRIN_GET_STATUS: return Call::GetStatus;
    case IOCTL_TAVRIN_SET_FEATURE: return Call::SetFeature;
    case IOCTL_TAVRIN_CLEAR_FEATURE: return Call::ClearFeature;
    default: return Call::kCount;
  }
}

// The control requests. Get status takes no state lock (see the top).
DWORD Control(Call call, Cable* cable, const uint8_t* in, DWORD inLength, void* out,
              DWORD outLength, DWORD* bytes, uint32_t* value) {
  State& s = S();
  switch (call) {
    case Call::GetInfo: {
      if (in || inLength) return ERROR_INVALID_PARAMETER;
      if (!out || outLength < kDeviceInfoSize) return ERROR_INSUFFICIENT_BUFFER;
      DeviceInfoBlock info = {};
      std::memcpy(info.driverData, "TAVRIN\x01\x00", 8);
      std::memcpy(info.name, cable->name.data(), std::min(cable->name.size(), sizeof info.name));
      std::memcpy(out, &info, sizeof info);
      std::lock_guard<std::mutex> lock(s.control);
      *bytes = s.infoBytes;
      return 0;
    }
    case Call::ResetLink: {
      if (in || inLength || out || outLength) return ERROR_INVALID_PARAMETER;
      std::lock_guard<std::mutex> lock(s.mutex);
      cable->reg.store(0);
      cable->toConsole.Clear();
      cable->toHost.Clear();
      s.changed.notify_all();
      return 0;
    }
    case Call::GetStatus: {
      if (in || inLength) return ERROR_INVALID_PARAMETER;
      if (!out || outLength < 1) return ERROR_INSUFFICIENT_BUFFER;
      if (s.statusWaits.load()) {
        *value = WaitingStatus(*cable);
      } else {
        *value = HostStatus(*cable);
        cable->lastStatusRead.store(++cable->statusReads << 8 | *value);
      }
      *static_cast<uint8_t*>(out) = static_cast<uint8_t>(*value);
      std::lock_guard<std::mutex> lock(s.control);
      if (s.statusNothing > 0)
        s.statusNothing--;
      else
        *bytes = 1;
      return 0;
    }
    case Call::SetFeature:
    case Call::ClearFeature: {
      // One byte in, nothing out, as the driver takes a feature bit.
      if (!in || inLength != 1 || out || outLength) return ERROR_INVALID_PARAMETER;
      *value = *in;
      if (*in != kFeatureTransferRequest && *in != kFeatureTransferComplete)
        return ERROR_INVALID_PARAMETER;
      std::lock_guard<std::mutex> lock(s.mutex);
      if (call == Call::SetFeature)
        cable->reg.fetch_or(*in);
      else
        cable->reg.fetch_and(static_cast<uint8_t>(~*in));
      s.changed.notify_all();
      return 0;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

BOOL WINAPI SimDeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                               DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped) {
  HostCall running(h);
  Call call = CallOfCode(code);
  if (call != Call::kCount && !Enter(call)) {
    if (returned) *returned = 0;
    return FALSE;
  }
  Cable* cable = ByHandle(h);
  DWORD error = 0, bytes = 0;
  uint32_t value = 0;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!returned && !overlapped)
    error = ERROR_INVALID_PARAMETER;  // synchronous calls must take the count
  else if (!cable->plugged.load())
    error = ERROR_DEVICE_NOT_CONNECTED;
  else
    error = Control(call, cable, static_cast<const uint8_t*>(in), inLength, out, outLength, &bytes,
                    &value);
  if (returned) *returned = bytes;
  if (call != Call::kCount) Record(call, value, bytes, error == 0);
  if (call != Call::kCount) AwaitControlRequest();
  SetLastError(error);
  return error == 0;
}

// The bytes a read or write moves: all it asked for, or fewer when a short
// transfer was injected for it (once).
uint32_t TakeShort(uint32_t* injected, uint32_t length) {
  std::lock_guard<std::mutex> lock(S().control);
  const uint32_t moved = std::min(length, *injected);
  *injected = UINT32_MAX;
  return moved;
}

BOOL WINAPI SimReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                        LPOVERLAPPED overlapped) {
  HostCall running(h);
  if (read) *read = 0;
  if (!Enter(Call::Read)) return FALSE;
  State& s = S();
  const uint32_t want = TakeShort(&s.shortRead, length);
  Cable* cable = ByHandle(h);
  DWORD error = 0;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!read && !overlapped)
    error = ERROR_INVALID_PARAMETER;
  else {
    std::unique_lock<std::mutex> lock(s.mutex);
    const uint64_t generation = s.generation.load();
    const uintptr_t handle = cable->handle.load();
    const DWORD thread = GetCurrentThreadId();
    s.pendingReads[thread] = false;
    // Bytes the console wrote before it went can still be read.
    auto gone = [&] {
      return s.generation.load() != generation || cable->handle.load() != handle ||
             !cable->plugged.load() || (!cable->consoleTag.load() && cable->toHost.Size() < want);
    };
    bool ready = WaitState(lock, s.readTimeoutMs.load(), [&] {
      return s.pendingReads[thread] || gone() || cable->toHost.Size() >= want;
    });
    const bool cancelled = s.pendingReads[thread];
    s.pendingReads.erase(thread);
    if (cancelled)
      error = ERROR_OPERATION_ABORTED;
    else if (!ready)
      error = ERROR_SEM_TIMEOUT;
    else if (gone())
      error = cable->plugged.load() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_DEVICE_REMOVED;
    else {
      cable->toHost.Take(buffer, want);
      s.changed.notify_all();
    }
  }
  if (!error && read) *read = want;
  Record(Call::Read, length, error ? 0 : want, error == 0);
  if (!error) AwaitBulk(want);
  SetLastError(error);
  return error == 0;
}

BOOL WINAPI SimWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                         LPOVERLAPPED overlapped) {
  HostCall running(h);
  if (written) *written = 0;
  if (!Enter(Call::Write)) return FALSE;
  State& s = S();
  const uint32_t moved = TakeShort(&s.shortWrite, length);
  Cable* cable = ByHandle(h);
  DWORD error = 0;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!written && !overlapped)
    error = ERROR_INVALID_PARAMETER;
  else if (!cable->plugged.load())
    error = ERROR_DEVICE_REMOVED;
  else {
    std::lock_guard<std::mutex> lock(s.mutex);
    cable->toConsole.Append(buffer, moved);
    *written = moved;
    s.changed.notify_all();
  }
  Record(Call::Write, length, error ? 0 : moved, error == 0);
  if (!error) AwaitBulk(moved);
  SetLastError(error);
  return error == 0;
}

// Only reads block here (a write appends at once), so only a read can be
// pending for another thread to cancel.
BOOL WINAPI SimCancelSynchronousIo(HANDLE thread) {
  if (!Enter(Call::CancelIo)) return FALSE;
  State& s = S();
  bool found;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.pendingReads.find(GetThreadId(thread));
    found = it != s.pendingReads.end();
    if (found) it->second = true;
    s.changed.notify_all();
  }
  Record(Call::CancelIo, 0, 0, found);
  SetLastError(found ? 0 : ERROR_NOT_FOUND);
  return found;
}

// ---- The console's end, in-process. ----

class InProcessConsoleEnd : public ConsoleEnd {
 public:
  InProcessConsoleEnd(std::shared_ptr<Cable> cable, uint64_t tag, uint64_t generation)
      : cable_(std::move(cable)), tag_(tag), generation_(generation) {}
  ~InProcessConsoleEnd() override { Detach(); }

  bool GetStatus(uint8_t* status) override {
    if (!Live()) return false;
    *status = Status();
    return true;
  }

  bool WaitStatus(uint8_t mask, uint8_t want, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(S().mutex);
    WaitState(lock, timeoutMs, [&] { return !Live() || (Status() & mask) == want; });
    return Live() && (Status() & mask) == want;
  }

  bool SetFeature(uint8_t bit) override { return ChangeRegister(bit, true); }
  bool ClearFeature(uint8_t bit) override { return ChangeRegister(bit, false); }

  bool Read(void* buffer, uint32_t length, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(S().mutex);
    WaitState(lock, timeoutMs, [&] { return !Live() || cable_->toConsole.Size() >= length; });
    if (!Live() || cable_->toConsole.Size() < length) return false;
    cable_->toConsole.Take(buffer, length);
    return true;
  }

  uint32_t ReadSome(void* buffer, uint32_t length, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(S().mutex);
    WaitState(lock, timeoutMs, [&] {
      return !Live() || !cable_->handle.load() || cable_->toConsole.Size() >= length;
    });
    if (!Live()) return 0;
    const uint32_t taken = static_cast<uint32_t>(std::min<size_t>(length, cable_->toConsole.Size()));
    cable_->toConsole.Take(buffer, taken);
    return taken;
  }

  bool Write(const void* buffer, uint32_t length) override {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!Live()) return false;
    cable_->toHost.Append(buffer, length);
    S().changed.notify_all();
    return true;
  }

  uint64_t HostStatusMark() override { return cable_->statusReads.load(); }

  bool WaitHostSaw(uint64_t mark, uint8_t mask, uint8_t want, int timeoutMs) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto saw = [&] {
      const uint64_t last = cable_->lastStatusRead.load();
      return (last >> 8) > mark && (last & mask) == want;
    };
    if (S().statusWaits.load()) {
      std::unique_lock<std::mutex> lock(S().mutex);
      return S().changed.wait_until(lock, deadline, [&] { return !Live() || saw(); }) && saw();
    }
    // The host reads the status back to back while it waits, so this ends
    // within microseconds when it is waiting at all.
    for (;;) {
      const uint64_t last = cable_->lastStatusRead.load();
      if ((last >> 8) > mark && (last & mask) == want) return true;
      if (!Live() || std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
  }

  // Also on an unplugged cable: a tag left behind would keep the cable's id
  // from being taken again.
  void Detach() override {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (S().generation.load() == generation_ && cable_->consoleTag.load() == tag_) {
      cable_->consoleTag.store(0);
      S().changed.notify_all();
    }
  }

 private:
  bool Live() const {
    return S().generation.load() == generation_ && cable_->consoleTag.load() == tag_ &&
           cable_->plugged.load();
  }
  uint8_t Status() const {
    uint8_t status = cable_->reg.load() & (kStatusTransferRequest | kStatusTransferComplete);
    if (cable_->handle.load()) status |= kStatusPeerExists;
    return status | kStatusTransmitReady;
  }
  bool ChangeRegister(uint8_t bit, bool set) {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!Live() || (bit != kFeatureTransferRequest && bit != kFeatureTransferComplete))
      return false;
    if (set)
      cable_->reg.fetch_or(bit);
    else
      cable_->reg.fetch_and(static_cast<uint8_t>(~bit));
    S().changed.notify_all();
    return true;
  }

  std::shared_ptr<Cable> cable_;
  uint64_t tag_;
  uint64_t generation_;
};

}  // namespace

// ---- The control surface for tests. ----

void SimDriver::Reset() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& c : s.cables) {
      c->plugged.store(false);
      c->consoleTag.store(0);
      c->handle.store(0);
      s.retired.push_back(c);
    }
    s.cables.clear();
    for (auto& slot : s.slots) slot.store(nullptr);
    s.infoSets.clear();
    s.generation++;
    s.readTimeoutMs.store(10000);
    s.overlaps.store(0);
    s.statusWaits.store(false);
    s.changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(s.control);
  for (auto& f : s.faults) f = Fault{};
  s.shortRead = s.shortWrite = UINT32_MAX;
  s.infoBytes = kDeviceInfoSize;
  s.statusNothing = 0;
  s.enumErrors.clear();
  s.hooks.clear();
  for (auto& n : s.counts) n = 0;
  s.events.clear();
  s.recording = true;
  s.lastOpen = {};
}

int SimDriver::Plug(const std::string& name) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto cable = std::make_shared<Cable>();
  cable->id = static_cast<int>(s.cables.size());
  // A long-running program sees cables come and go (virtual cables): an id
  // whose cable is unplugged and closed, so no handle can reach it, is
  // taken again, and the new cable enumerates last, as a new one should.
  if (s.cables.size() >= kMaxCables) {
    auto free = std::find_if(s.cables.begin(), s.cables.end(), [](const auto& c) {
      return !c->plugged.load() && !c->handle.load() && !c->consoleTag.load();
    });
    if (free == s.cables.end()) return -1;
    cable->id = (*free)->id;
    // A call that found it before its close may still hold it, so it is
    // kept, but its bytes can go: no call on an unplugged cable moves any.
    (*free)->toConsole.Release();
    (*free)->toHost.Release();
    s.retired.push_back(*free);
    s.cables.erase(free);
  }
  cable->name = name;
  cable->path = "\\\\?\\usb#vid_067b&pid_0001#tavrin" + std::to_string(cable->id) +
                "#{5a8e3c12-7d40-11d5-b2c4-0050da61e9f7}";
  s.cables.push_back(cable);
  s.slots[cable->id].store(cable.get());
  return cable->id;
}

void SimDriver::Unplug(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (Cable* c = ById(cable)) c->plugged.store(false);
  S().changed.notify_all();
}

std::string SimDriver::DevicePath(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  Cable* c = ById(cable);
  return c ? c->path : std::string();
}

bool SimDriver::IsOpen(int cable) {
  Cable* c = ById(cable);
  return c && c->handle.load() != 0;
}

uint8_t SimDriver::Register(int cable) {
  Cable* c = ById(cable);
  return c ? c->reg.load() : 0;
}

void SimDriver::SetTransmitReady(int cable, bool ready) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (Cable* c = ById(cable)) c->transmitReady.store(ready);
  S().changed.notify_all();
}

std::unique_ptr<ConsoleEnd> SimDriver::AttachConsole(int cable) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::shared_ptr<Cable> c = Shared(ById(cable));
  if (!c) return nullptr;
  c->consoleTag.store(s.nextConsoleTag++);
  s.changed.notify_all();
  return std::make_unique<InProcessConsoleEnd>(c, c->consoleTag.load(), s.generation.load());
}

void SimDriver::DetachConsole(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (Cable* c = ById(cable)) c->consoleTag.store(0);
  S().changed.notify_all();
}

void SimDriver::FailNext(Call call, int count, DWORD error) {
  std::lock_guard<std::mutex> lock(S().control);
  S().faults[static_cast<int>(call)] = Fault{count, error};
}

void SimDriver::ShortNext(Call call, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(S().control);
  (call == Call::Read ? S().shortRead : S().shortWrite) = bytes;
}

void SimDriver::SetInfoBytes(DWORD bytes) {
  std::lock_guard<std::mutex> lock(S().control);
  S().infoBytes = bytes;
}

void SimDriver::StatusReportsNothing(int count) {
  std::lock_guard<std::mutex> lock(S().control);
  S().statusNothing = count;
}

void SimDriver::FailEnumAt(DWORD index, DWORD error) {
  std::lock_guard<std::mutex> lock(S().control);
  S().enumErrors[index] = error;
}

void SimDriver::At(Call call, int nth, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(S().control);
  S().hooks.push_back({call, nth, std::move(action)});
}

void SimDriver::SetReadTimeoutMs(int ms) { S().readTimeoutMs.store(ms); }

void SimDriver::SetStatusWaits(bool on) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().statusWaits.store(on);
  S().changed.notify_all();
}

uint64_t SimDriver::Count(Call call) {
  std::lock_guard<std::mutex> lock(S().control);
  return S().counts[static_cast<int>(call)];
}

std::vector<CallEvent> SimDriver::Events() {
  std::lock_guard<std::mutex> lock(S().control);
  return S().events;
}

void SimDriver::ClearEvents() {
  std::lock_guard<std::mutex> lock(S().control);
  S().events.clear();
}

void SimDriver::SetRecording(bool on) {
  std::lock_guard<std::mutex> lock(S().control);
  S().recording = on;
}

int SimDriver::OpenInfoSets() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return static_cast<int>(S().infoSets.size());
}

OpenArgs SimDriver::LastOpen() {
  std::lock_guard<std::mutex> lock(S().control);
  return S().lastOpen;
}

uint64_t SimDriver::Overlaps() { return S().overlaps.load(); }

int SimDriver::OpenHandles() {
  int n = 0;
  for (auto& slot : S().slots) {
    Cable* c = slot.load();
    n += c && c->handle.load() != 0;
  }
  return n;
}

}  // namespace sim

const CableDriverPort& CableDriver() {
  static const CableDriverPort port = {
      sim::SimGetClassDevs,    sim::SimEnumInterfaces, sim::SimGetInterfaceDetail,
      sim::SimDestroyInfoList, sim::SimCreateFile,     sim::SimDeviceIoControl,
      sim::SimReadFile,        sim::SimWriteFile,      sim::SimCloseHandle,
      sim::SimCancelSynchronousIo,
  };
  return port;
}
