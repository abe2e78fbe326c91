// The simulated cable driver: stands in for the kernel driver on machines
// without a cable. It binds the cable driver port (link/cable_driver.h) with
// the Win32 contracts of the real calls, and gives tests a control surface:
// plugging cables, attaching a console end, injecting faults, counting and
// recording the host's calls. Process-wide state, thread-safe. The model and
// this surface are in cable_model.cpp, the port's binding in sim_driver.cpp.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/console_end.h"

namespace sim {

// The host's calls into the driver, by kind.
enum class Call : int {
  GetClassDevs,
  EnumInterfaces,
  GetInterfaceDetail,
  DestroyInfoList,
  CreateFile,
  CloseHandle,
  GetInfo,
  ResetLink,
  GetStatus,
  SetFeature,
  ClearFeature,
  Read,
  Write,
  CancelIo,  // CancelSynchronousIo; ok when it ended a pending read
  kCount
};

// The arguments of the host's last CreateFileA, for tests to check.
struct OpenArgs {
  DWORD access, share, disposition, flags;
  bool security, templ;  // whether either was given
};

struct CallEvent {
  Call call;
  uint32_t value;  // the feature bit, the status byte read, or the bytes asked for
  uint32_t bytes;  // bytes moved or reported returned
  bool ok;
};

class SimDriver {
 public:
  // Unplugs everything and forgets faults, hooks, counters and records.
  static void Reset();

  // Cables enumerate in the order they were plugged. Returns the cable's id.
  static int Plug(const std::string& name);
  static void Unplug(int cable);
  static std::string DevicePath(int cable);
  static bool IsOpen(int cable);
  static uint8_t Register(int cable);  // the shared handshake bits 2 and 4
  static void SetTransmitReady(int cable, bool ready);

  // Attaches the console's end (the host then sees the peer bit). The end
  // detaches when destroyed or by DetachConsole.
  static std::unique_ptr<ConsoleEnd> AttachConsole(int cable);
  static void DetachConsole(int cable);

  // Fault injection.
  static void FailNext(Call call, int count, DWORD error);
  static void ShortNext(Call call, uint32_t bytes);  // next Read or Write moves at most this
  static void SetInfoBytes(DWORD bytes);             // what get info reports (140)
  static void StatusReportsNothing(int count);       // get status succeeds with 0 bytes
  static void FailEnumAt(DWORD index, DWORD error);
  // Runs `action` (outside the driver's lock) just before the nth call of
  // this kind from now: to drop the peer or unplug at a chosen point.
  static void At(Call call, int nth, std::function<void()> action);
  // How long a blocking read waits for its bytes before it fails.
  static void SetReadTimeoutMs(int ms);
  // For benchmarks of the host's processor time: a host status read that
  // follows a status read waits (up to 1 ms) for the status to change, and
  // neither end spins while it waits, so the measure is of the host's work
  // rather than of two threads polling each other. Off after Reset.
  static void SetStatusWaits(bool on);

  // Observation.
  static uint64_t Count(Call call);
  static std::vector<CallEvent> Events();
  static void ClearEvents();
  static void SetRecording(bool on);
  static int OpenInfoSets();
  static int OpenHandles();
  static OpenArgs LastOpen();
  // Host calls (control, read, write) that began on a handle while another
  // call on the same handle was still running: the LinkDevice lock must
  // keep this at 0.
  static uint64_t Overlaps();
};

}  // namespace sim
