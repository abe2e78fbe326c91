// The simulated cable driver's binding of the driver port: the calls with
// the Win32 contracts of the real ones (errors, handles, counts), working on
// the cable model of cable_model.h, and CableDriver() returning them.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/cable_driver.h"
#include "link/cable_protocol.h"
#include "link/device_info.h"
#include "sim/cable_model.h"
#include "sim/sim_timing.h"

namespace sim {
namespace {

using namespace tavrin;
using namespace model;

bool SameGuid(const GUID* g) {
  return g && std::memcmp(g, &GUID_DEVINTERFACE_TAVRIN, sizeof(GUID)) == 0;
}

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

// The control requests. Get status takes no state lock (see cable_model.h).
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

}  // namespace
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
