// The simulated cable's model: the process-wide state, the test surface
// (SimDriver) over it, and the console's in-process end of each cable. The
// host's end, the driver port, is in sim_driver.cpp.
#include "sim/cable_model.h"

#include <algorithm>
#include <cstdio>

#include "link/cable_protocol.h"

namespace sim {
namespace model {

using namespace tavrin;

namespace {

constexpr size_t kMaxEvents = 1 << 20;

// The kind of the calling thread's call before this one: a status read
// that follows a status read is a poll.
thread_local Call PreviousCall = Call::kCount;
thread_local Call LastCall = Call::kCount;

}  // namespace

State& S() {
  static State state;
  return state;
}

void RecordLocked(State& s, Call call, uint32_t value, uint32_t bytes, bool ok) {
  if (s.recording && s.events.size() < kMaxEvents) s.events.push_back({call, value, bytes, ok});
}

void Record(Call call, uint32_t value, uint32_t bytes, bool ok) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.control);
  RecordLocked(s, call, value, bytes, ok);
}

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

Cable* ByHandle(HANDLE h) {
  const auto value = reinterpret_cast<uintptr_t>(h);
  if (value == 0) return nullptr;
  for (auto& slot : S().slots) {
    Cable* c = slot.load();
    if (c && c->handle.load() == value) return c;
  }
  return nullptr;
}

HostCall::HostCall(HANDLE h) : cable_(ByHandle(h)) {
  if (cable_ && cable_->hostCalls.fetch_add(1) != 0) {
    S().overlaps++;
    std::fprintf(stderr, "simulated driver: two calls at once on one handle\n");
  }
}

HostCall::~HostCall() {
  if (cable_) cable_->hostCalls.fetch_sub(1);
}

Cable* ById(int id) {
  return id >= 0 && id < kMaxCables ? S().slots[id].load() : nullptr;
}

uint8_t HostStatus(const Cable& c) {
  uint8_t status = c.reg.load() & (kStatusTransferRequest | kStatusTransferComplete);
  if (c.consoleTag.load()) status |= kStatusPeerExists;
  if (c.transmitReady.load()) status |= kStatusTransmitReady;
  return status;
}

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

uint32_t TakeShort(uint32_t* injected, uint32_t length) {
  std::lock_guard<std::mutex> lock(S().control);
  const uint32_t moved = std::min(length, *injected);
  *injected = UINT32_MAX;
  return moved;
}

namespace {

std::shared_ptr<Cable> Shared(Cable* cable) {
  for (auto& c : S().cables)
    if (c.get() == cable) return c;
  return nullptr;
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
}  // namespace model

using namespace model;

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
