// What the benchmarks and trials measure with: a steady clock, processor
// time of a thread or process, and private bytes.
#pragma once

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdint>

inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double Seconds(const FILETIME& t) {
  return (uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
}

// Kernel and user time of a thread, or of this whole process.
inline double ThreadSeconds(HANDLE thread = GetCurrentThread()) {
  FILETIME created, exited, kernel, user;
  return GetThreadTimes(thread, &created, &exited, &kernel, &user) ? Seconds(kernel) + Seconds(user) : 0;
}
inline double ProcessSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

inline uint64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  // Wine leaves PrivateUsage 0 and reports the commit charge, which is the
  // private bytes on Windows, as PagefileUsage.
  return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

// Processor time of another process, as the sum over its threads. Wine's
// GetProcessTimes of another process counts far less than the process used
// (0.4 s where Linux counted 3 s for TavdeskSim under a log flood); the
// times of its threads agree with Linux.

struct Cpu {
  double all = 0;     // every thread of the process
  double thread = 0;  // the one thread asked for (0: none)
};

inline Cpu ProcessCpu(DWORD process, DWORD thread) {
  Cpu cpu;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return cpu;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != process) continue;
    HANDLE handle = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    FILETIME created, exited, kernel, user;
    if (handle && GetThreadTimes(handle, &created, &exited, &kernel, &user)) {
      const double seconds = Seconds(kernel) + Seconds(user);
      cpu.all += seconds;
      if (entry.th32ThreadID == thread) cpu.thread += seconds;
    }
    if (handle) CloseHandle(handle);
  }
  CloseHandle(snapshot);
  return cpu;
}

