// What the stall, transfer and replug trials share: their size from the
// command line (make trials runs them in full, make test small), and the
// process figures they print (clocks and memory from bench/measure.h).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bench_table.h"
#include "bench/measure.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "ui/resource.h"

namespace trial {

// The value of `--name=N` among the arguments gtest left, or `fallback`.
inline long Size(int argc, char** argv, const char* name, long fallback) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
      return std::strtol(argv[i] + length + 1, nullptr, 10);
  return fallback;
}

// Wine answers GetProcessHandleCount with 0; there the handles are counted
// one by one. Wine gives out the lowest free handle value, so they lie close
// together: the count stops 4096 values past the last handle found.
inline DWORD HandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count) return count;
  DWORD flags;
  for (uintptr_t value = 4, last = 0; value < last + 4 * 4096; value += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      last = value;
    }
  return count;
}

inline std::unique_ptr<sim::ConsoleEmulator> Console(int cable) {
  return std::make_unique<sim::ConsoleEmulator>(
      [cable] { return sim::SimDriver::AttachConsole(cable); });
}

// The load average of the Linux host Wine runs on, read through Wine's
// mapping of the root folder; empty where there is none.
inline std::string LoadAverage() {
  std::string text;
  if (FILE* f = std::fopen("Z:\\proc\\loadavg", "rb")) {
    char buffer[64] = {};
    text.assign(buffer, std::fread(buffer, 1, sizeof buffer - 1, f));
    std::fclose(f);
  }
  const size_t end = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
  return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace trial
