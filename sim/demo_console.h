// The demo console: the console emulator running a small script at the far
// end of a simulated cable, so that TavdeskSim shows the program's whole flow
// without hardware. It greets on "/dev/tty", says what it does, writes a file
// into the shared folder and reads it back, polls every 100 ms, runs what it
// is told to execute (reads "/exec/elf" or "/exec/iop" whole and reports its
// size and entry point, then asks for a path above the shared folder, which
// the host must refuse), answers reset and quit, and detaches after quit.
// A line per step also goes to standard error, for whoever watches the run.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/console_emulator.h"

namespace sim {

class DemoConsole {
 public:
  // Attaches to the cable at once; the script starts when the host opens it.
  // A console that does not poll stops after its greeting, as a console busy
  // with a program of its own would.
  DemoConsole(int cable, std::string name, bool polls);
  // Stops the script and detaches.
  ~DemoConsole();
  DemoConsole(const DemoConsole&) = delete;
  DemoConsole& operator=(const DemoConsole&) = delete;

  static constexpr int kPollPeriodMs = 100;

 private:
  void Script();
  bool Say(const std::string& text);
  void Trace(const std::string& text) const;
  void FileRoundTrip();
  void RunExecuted(uint8_t code);
  bool Pause(int ms);

  const std::string name_;
  const bool polls_;
  ConsoleEnd* end_ = nullptr;  // owned by the emulator
  std::unique_ptr<ConsoleEmulator> console_;
  std::atomic<bool> stopping_{false};
  int32_t tty_ = -1;
  std::thread script_;
};

}  // namespace sim
