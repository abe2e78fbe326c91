// The simulated cable driver's state and its binding of the driver port.
// One mutex guards everything; one condition variable wakes whoever waits
// for bytes or handshake bits. Host calls set the thread's last error code
// exactly as the real calls do.
#include "sim/sim_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/device_info.h"

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

 private:
  std::vector<uint8_t> data_;
  size_t head_ = 0;
};

struct Cable {
  int id = 0;
  std::string name;
  std::string path;
  bool plugged = true;
  uintptr_t handle = 0;     // 0 while not open
  uint64_t consoleTag = 0;  // which ConsoleEnd is attached; 0 for none
  bool transmitReady = true;
  uint8_t reg = 0;
  Pipe toConsole;
  Pipe toHost;
};

struct Fault {
  int count = 0;
  DWORD error = 0;
};

struct Hook {
  int remaining;
  std::function<void()> action;
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::shared_ptr<Cable>> cables;
  std::map<uintptr_t, std::vector<int>> infoSets;  // set -> cable ids at creation
  uintptr_t nextHandle = 0x7A000;
  uint64_t nextConsoleTag = 1;
  uint64_t generation = 1;  // bumped by Reset so stale console ends fail

  Fault faults[static_cast<int>(Call::kCount)];
  uint32_t shortRead = UINT32_MAX;
  uint32_t shortWrite = UINT32_MAX;
  DWORD infoBytes = kDeviceInfoSize;
  int statusNothing = 0;
  std::map<DWORD, DWORD> enumErrors;
  std::vector<std::pair<Call, Hook>> hooks;
  int readTimeoutMs = 10000;

  uint64_t counts[static_cast<int>(Call::kCount)] = {};
  std::vector<CallEvent> events;
  bool recording = true;
};

State& S() {
  static State state;
  return state;
}

constexpr size_t kMaxEvents = 1 << 20;

// Counts the call, runs the hooks that fall due, and reports an injected
// failure for it (with its error set) when one is pending.
bool Enter(Call call) {
  State& s = S();
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.counts[static_cast<int>(call)]++;
    for (auto it = s.hooks.begin(); it != s.hooks.end();) {
      if (it->first == call && --it->second.remaining <= 0) {
        due.push_back(std::move(it->second.action));
        it = s.hooks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& action : due) action();
  std::lock_guard<std::mutex> lock(s.mutex);
  Fault& f = s.faults[static_cast<int>(call)];
  if (f.count == 0) return true;
  f.count--;
  if (s.recording && s.events.size() < kMaxEvents) s.events.push_back({call, 0, 0, false});
  SetLastError(f.error);
  return false;
}

void Record(Call call, uint32_t value, uint32_t bytes, bool ok) {
  State& s = S();
  if (s.recording && s.events.size() < kMaxEvents) s.events.push_back({call, value, bytes, ok});
}

std::shared_ptr<Cable> ByHandle(HANDLE h) {
  for (auto& c : S().cables)
    if (c->handle != 0 && c->handle == reinterpret_cast<uintptr_t>(h)) return c;
  return nullptr;
}

std::shared_ptr<Cable> ById(int id) {
  for (auto& c : S().cables)
    if (c->id == id) return c;
  return nullptr;
}

uint8_t HostStatus(const Cable& c) {
  uint8_t status = c.reg & (kStatusTransferRequest | kStatusTransferComplete);
  if (c.consoleTag) status |= kStatusPeerExists;
  if (c.transmitReady) status |= kStatusTransmitReady;
  return status;
}

bool SameGuid(const GUID* g) {
  return g && std::memcmp(g, &GUID_DEVINTERFACE_TAVRIN, sizeof(GUID)) == 0;
}

// ---- The port: the nine calls with their Win32 contracts. ----

HDEVINFO WINAPI SimGetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
  if (!Enter(Call::GetClassDevs)) return INVALID_HANDLE_VALUE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!(flags & DIGCF_DEVICEINTERFACE) || !guid) {
    Record(Call::GetClassDevs, flags, 0, false);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<int> members;
  if (SameGuid(guid))
    for (auto& c : s.cables)
      if (c->plugged || !(flags & DIGCF_PRESENT)) members.push_back(c->id);
  uintptr_t set = (s.nextHandle += 4);
  s.infoSets[set] = members;
  Record(Call::GetClassDevs, flags, static_cast<uint32_t>(members.size()), true);
  SetLastError(0);
  return reinterpret_cast<HDEVINFO>(set);
}

BOOL WINAPI SimEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                              PSP_DEVICE_INTERFACE_DATA data) {
  if (!Enter(Call::EnumInterfaces)) return FALSE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.infoSets.find(reinterpret_cast<uintptr_t>(set));
  DWORD error = 0;
  if (it == s.infoSets.end())
    error = ERROR_INVALID_HANDLE;
  else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    error = ERROR_INVALID_USER_BUFFER;
  else if (s.enumErrors.count(index))
    error = s.enumErrors[index];
  else if (!SameGuid(guid) || index >= it->second.size())
    error = ERROR_NO_MORE_ITEMS;
  Record(Call::EnumInterfaces, index, 0, error == 0);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  data->InterfaceClassGuid = GUID_DEVINTERFACE_TAVRIN;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(it->second[index]);
  SetLastError(0);
  return TRUE;
}

BOOL WINAPI SimGetInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                  PDWORD required, PSP_DEVINFO_DATA) {
  if (!Enter(Call::GetInterfaceDetail)) return FALSE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  DWORD error = 0;
  std::shared_ptr<Cable> cable;
  if (!s.infoSets.count(reinterpret_cast<uintptr_t>(set)))
    error = ERROR_INVALID_HANDLE;
  else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
           !(cable = ById(static_cast<int>(data->Reserved))))
    error = ERROR_INVALID_PARAMETER;
  else if (!detail && size != 0)
    error = ERROR_INVALID_USER_BUFFER;
  else if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    error = ERROR_INVALID_USER_BUFFER;
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
  std::lock_guard<std::mutex> lock(s.mutex);
  bool ok = s.infoSets.erase(reinterpret_cast<uintptr_t>(set)) == 1;
  Record(Call::DestroyInfoList, 0, 0, ok);
  SetLastError(ok ? 0 : ERROR_INVALID_HANDLE);
  return ok;
}

HANDLE WINAPI SimCreateFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                            HANDLE) {
  if (!Enter(Call::CreateFile)) return INVALID_HANDLE_VALUE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::shared_ptr<Cable> cable;
  for (auto& c : s.cables)
    if (path && c->plugged && c->path == path) cable = c;
  DWORD error = 0;
  if (!cable)
    error = ERROR_FILE_NOT_FOUND;
  else if (cable->handle)
    error = ERROR_ACCESS_DENIED;  // the driver lets a cable be open only once
  Record(Call::CreateFile, cable ? cable->id : UINT32_MAX, 0, error == 0);
  if (error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  cable->handle = (s.nextHandle += 4);
  s.changed.notify_all();
  SetLastError(0);
  return reinterpret_cast<HANDLE>(cable->handle);
}

BOOL WINAPI SimCloseHandle(HANDLE h) {
  if (!Enter(Call::CloseHandle)) return FALSE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto cable = ByHandle(h);
  Record(Call::CloseHandle, 0, 0, cable != nullptr);
  if (!cable) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  cable->handle = 0;
  s.changed.notify_all();
  SetLastError(0);
  return TRUE;
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

BOOL WINAPI SimDeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                               DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped) {
  Call call = CallOfCode(code);
  if (call != Call::kCount && !Enter(call)) {
    if (returned) *returned = 0;
    return FALSE;
  }
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto cable = ByHandle(h);
  DWORD error = 0, bytes = 0;
  uint32_t value = 0;
  const uint8_t inByte = (in && inLength >= 1) ? *static_cast<uint8_t*>(in) : 0;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!returned && !overlapped)
    error = ERROR_INVALID_PARAMETER;  // synchronous calls must take the count
  else if (!cable->plugged)
    error = ERROR_DEVICE_NOT_CONNECTED;
  else {
    switch (call) {
      case Call::GetInfo:
        if (!out || outLength < kDeviceInfoSize) {
          error = ERROR_INSUFFICIENT_BUFFER;
          break;
        }
        {
          DeviceInfoBlock info = {};
          std::memcpy(info.driverData, "TAVRIN\x01\x00", 8);
          std::memcpy(info.name, cable->name.data(), std::min(cable->name.size(), sizeof info.name));
          std::memcpy(out, &info, sizeof info);
        }
        bytes = s.infoBytes;
        break;
      case Call::ResetLink:
        cable->reg = 0;
        cable->toConsole.Clear();
        cable->toHost.Clear();
        s.changed.notify_all();
        break;
      case Call::GetStatus:
        if (!out || outLength < 1) {
          error = ERROR_INSUFFICIENT_BUFFER;
          break;
        }
        value = HostStatus(*cable);
        *static_cast<uint8_t*>(out) = static_cast<uint8_t>(value);
        if (s.statusNothing > 0)
          s.statusNothing--;
        else
          bytes = 1;
        break;
      case Call::SetFeature:
      case Call::ClearFeature:
        value = inByte;
        if (!in || inLength < 1 ||
            (inByte != kFeatureTransferRequest && inByte != kFeatureTransferComplete)) {
          error = ERROR_INVALID_PARAMETER;
          break;
        }
        if (call == Call::SetFeature)
          cable->reg |= inByte;
        else
          cable->reg &= static_cast<uint8_t>(~inByte);
        s.changed.notify_all();
        break;
      default:
        error = ERROR_INVALID_FUNCTION;
        break;
    }
  }
  if (returned) *returned = bytes;
  if (call != Call::kCount) Record(call, value, bytes, error == 0);
  SetLastError(error);
  return error == 0;
}

BOOL WINAPI SimReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                        LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  if (!Enter(Call::Read)) return FALSE;
  State& s = S();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto cable = ByHandle(h);
  DWORD error = 0;
  uint32_t want = length;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!read && !overlapped)
    error = ERROR_INVALID_PARAMETER;
  else {
    if (s.shortRead != UINT32_MAX) {
      want = std::min(want, s.shortRead);
      s.shortRead = UINT32_MAX;
    }
    uint64_t generation = s.generation;
    uintptr_t handle = cable->handle;
    auto gone = [&] {
      return s.generation != generation || cable->handle != handle || !cable->plugged ||
             (!cable->consoleTag && cable->toHost.Size() < want);
    };
    bool ready = s.changed.wait_for(lock, std::chrono::milliseconds(s.readTimeoutMs), [&] {
      return gone() || cable->toHost.Size() >= want;
    });
    if (!ready)
      error = ERROR_SEM_TIMEOUT;
    else if (gone())
      error = cable->plugged ? ERROR_DEVICE_NOT_CONNECTED : ERROR_DEVICE_REMOVED;
    else
      cable->toHost.Take(buffer, want);
  }
  if (!error && read) *read = want;
  Record(Call::Read, length, error ? 0 : want, error == 0);
  if (!error) s.changed.notify_all();
  SetLastError(error);
  return error == 0;
}

BOOL WINAPI SimWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                         LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  if (!Enter(Call::Write)) return FALSE;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto cable = ByHandle(h);
  DWORD error = 0;
  uint32_t moved = length;
  if (!cable)
    error = ERROR_INVALID_HANDLE;
  else if (!written && !overlapped)
    error = ERROR_INVALID_PARAMETER;
  else if (!cable->plugged)
    error = ERROR_DEVICE_REMOVED;
  else {
    if (s.shortWrite != UINT32_MAX) {
      moved = std::min(moved, s.shortWrite);
      s.shortWrite = UINT32_MAX;
    }
    cable->toConsole.Append(buffer, moved);
    *written = moved;
    s.changed.notify_all();
  }
  Record(Call::Write, length, error ? 0 : moved, error == 0);
  SetLastError(error);
  return error == 0;
}

// ---- The console's end, in-process. ----

class InProcessConsoleEnd : public ConsoleEnd {
 public:
  InProcessConsoleEnd(std::shared_ptr<Cable> cable, uint64_t tag, uint64_t generation)
      : cable_(std::move(cable)), tag_(tag), generation_(generation) {}
  ~InProcessConsoleEnd() override { Detach(); }

  bool GetStatus(uint8_t* status) override {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!Live()) return false;
    *status = Status();
    return true;
  }

  bool WaitStatus(uint8_t mask, uint8_t want, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(S().mutex);
    S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return !Live() || (Status() & mask) == want; });
    return Live() && (Status() & mask) == want;
  }

  bool SetFeature(uint8_t bit) override { return ChangeRegister(bit, true); }
  bool ClearFeature(uint8_t bit) override { return ChangeRegister(bit, false); }

  bool Read(void* buffer, uint32_t length, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(S().mutex);
    S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return !Live() || cable_->toConsole.Size() >= length; });
    if (!Live() || cable_->toConsole.Size() < length) return false;
    cable_->toConsole.Take(buffer, length);
    return true;
  }

  bool Write(const void* buffer, uint32_t length) override {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!Live()) return false;
    cable_->toHost.Append(buffer, length);
    S().changed.notify_all();
    return true;
  }

  void Detach() override {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (Live()) {
      cable_->consoleTag = 0;
      S().changed.notify_all();
    }
  }

 private:
  bool Live() const {
    return S().generation == generation_ && cable_->consoleTag == tag_ && cable_->plugged;
  }
  uint8_t Status() const {
    uint8_t status = cable_->reg & (kStatusTransferRequest | kStatusTransferComplete);
    if (cable_->handle) status |= kStatusPeerExists;
    return status | kStatusTransmitReady;
  }
  bool ChangeRegister(uint8_t bit, bool set) {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!Live() || (bit != kFeatureTransferRequest && bit != kFeatureTransferComplete))
      return false;
    if (set)
      cable_->reg |= bit;
    else
      cable_->reg &= static_cast<uint8_t>(~bit);
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
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& c : s.cables) {
    c->plugged = false;
    c->consoleTag = 0;
  }
  s.cables.clear();
  s.infoSets.clear();
  s.generation++;
  for (auto& f : s.faults) f = Fault{};
  s.shortRead = s.shortWrite = UINT32_MAX;
  s.infoBytes = kDeviceInfoSize;
  s.statusNothing = 0;
  s.enumErrors.clear();
  s.hooks.clear();
  s.readTimeoutMs = 10000;
  for (auto& n : s.counts) n = 0;
  s.events.clear();
  s.recording = true;
  s.changed.notify_all();
}

int SimDriver::Plug(const std::string& name) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto cable = std::make_shared<Cable>();
  cable->id = s.cables.empty() ? 0 : s.cables.back()->id + 1;
  cable->name = name;
  cable->path = "\\\\?\\usb#vid_067b&pid_0001#tavrin" + std::to_string(cable->id) +
                "#{5a8e3c12-7d40-11d5-b2c4-0050da61e9f7}";
  s.cables.push_back(cable);
  return cable->id;
}

void SimDriver::Unplug(int cable) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (auto c = ById(cable)) c->plugged = false;
  s.changed.notify_all();
}

std::string SimDriver::DevicePath(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto c = ById(cable);
  return c ? c->path : std::string();
}

bool SimDriver::IsOpen(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto c = ById(cable);
  return c && c->handle != 0;
}

uint8_t SimDriver::Register(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto c = ById(cable);
  return c ? c->reg : 0;
}

void SimDriver::SetTransmitReady(int cable, bool ready) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (auto c = ById(cable)) c->transmitReady = ready;
  S().changed.notify_all();
}

std::unique_ptr<ConsoleEnd> SimDriver::AttachConsole(int cable) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto c = ById(cable);
  if (!c) return nullptr;
  c->consoleTag = s.nextConsoleTag++;
  s.changed.notify_all();
  return std::make_unique<InProcessConsoleEnd>(c, c->consoleTag, s.generation);
}

void SimDriver::DetachConsole(int cable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (auto c = ById(cable)) c->consoleTag = 0;
  S().changed.notify_all();
}

void SimDriver::FailNext(Call call, int count, DWORD error) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().faults[static_cast<int>(call)] = Fault{count, error};
}

void SimDriver::ShortNext(Call call, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(S().mutex);
  (call == Call::Read ? S().shortRead : S().shortWrite) = bytes;
}

void SimDriver::SetInfoBytes(DWORD bytes) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().infoBytes = bytes;
}

void SimDriver::StatusReportsNothing(int count) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().statusNothing = count;
}

void SimDriver::FailEnumAt(DWORD index, DWORD error) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().enumErrors[index] = error;
}

void SimDriver::At(Call call, int nth, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().hooks.push_back({call, Hook{nth, std::move(action)}});
}

void SimDriver::SetReadTimeoutMs(int ms) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().readTimeoutMs = ms;
}

uint64_t SimDriver::Count(Call call) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().counts[static_cast<int>(call)];
}

std::vector<CallEvent> SimDriver::Events() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().events;
}

void SimDriver::ClearEvents() {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().events.clear();
}

void SimDriver::SetRecording(bool on) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().recording = on;
}

int SimDriver::OpenInfoSets() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return static_cast<int>(S().infoSets.size());
}

int SimDriver::OpenHandles() {
  std::lock_guard<std::mutex> lock(S().mutex);
  int n = 0;
  for (auto& c : S().cables) n += c->handle != 0;
  return n;
}

}  // namespace sim

const CableDriverPort& CableDriver() {
  static const CableDriverPort port = {
      sim::SimGetClassDevs,  sim::SimEnumInterfaces, sim::SimGetInterfaceDetail,
      sim::SimDestroyInfoList, sim::SimCreateFile,   sim::SimDeviceIoControl,
      sim::SimReadFile,      sim::SimWriteFile,      sim::SimCloseHandle,
  };
  return port;
}
