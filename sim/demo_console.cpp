// The demo console's script, on a thread of its own, over the console
// emulator's blocking operations. Every operation of the emulator is bounded,
// so the script always reaches its stop check.
#include "sim/demo_console.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "sim/sim_driver.h"

namespace sim {
namespace {

// The console's view of the status: bit 1 while the host holds the cable.
constexpr uint8_t kHostOpen = 1;

// Console open flags.
constexpr uint32_t kRead = 1, kWrite = 2, kCreate = 0x200, kTruncate = 0x400;
constexpr uint8_t kReset = 0, kExecElf = 1, kQuit = 3;
constexpr char kDemoFile[] = "/tavdesk-demo.txt";
constexpr uint32_t kReadChunk = 64 * 1024;

uint64_t Le(const std::vector<uint8_t>& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
  return value;
}

// The entry point of an ELF file from its first bytes, or false.
bool ElfEntry(const std::vector<uint8_t>& head, uint64_t* entry) {
  if (head.size() < 32 || head[0] != 0x7F || head[1] != 'E' || head[2] != 'L' || head[3] != 'F')
    return false;
  if (head[4] == 1) {
    *entry = Le(head, 24, 4);
    return true;
  }
  if (head[4] == 2) {
    *entry = Le(head, 24, 8);
    return true;
  }
  return false;
}

std::string Format(const char* format, unsigned long long value) {
  char text[128];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

DemoConsole::DemoConsole(int cable, std::string name, bool polls)
    : name_(std::move(name)), polls_(polls) {
  console_ = std::make_unique<ConsoleEmulator>([this, cable] {
    auto end = SimDriver::AttachConsole(cable);
    end_ = end.get();
    return end;
  });
  script_ = std::thread([this] { Script(); });
}

DemoConsole::~DemoConsole() {
  stopping_ = true;
  console_->Detach();  // every wait of a running operation fails at once
  script_.join();
  console_.reset();
}

void DemoConsole::Trace(const std::string& text) const {
  std::fprintf(stderr, "demo console (%s): %s\n", name_.c_str(), text.c_str());
  std::fflush(stderr);
}

bool DemoConsole::Pause(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_ && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !stopping_;
}

bool DemoConsole::Say(const std::string& text) {
  return console_->Write(tty_, std::vector<uint8_t>(text.begin(), text.end())).get().ok;
}

void DemoConsole::Script() {
  while (!end_ || !end_->WaitStatus(kHostOpen, kHostOpen, 200))
    if (!Pause(10)) return;
  Trace("the host opened the cable");
  tty_ = console_->Open(kWrite, "/dev/tty").get().result;
  Say("Hello from the demo console on " + name_ + ".\n");
  Say("It polls the host every 100 ms; execute a file and it reads it back.\n");
  FileRoundTrip();
  if (!polls_) {
    Trace("greeted; it does not poll");
    while (Pause(100)) {
    }
    return;
  }
  while (Pause(kPollPeriodMs)) {
    const PollOutcome poll = console_->Poll(0).get();
    if (!poll.ok || !poll.command) continue;
    if (poll.code == kQuit) {
      Trace("quit received, detaching");
      console_->Detach();
      return;
    }
    if (poll.code == kReset) {
      Trace("reset received");
      Say("Reset received: the demo starts over.\n");
    } else {
      RunExecuted(poll.code);
    }
  }
}

void DemoConsole::FileRoundTrip() {
  const std::string text = "Written by the demo console on " + name_ + ".\n";
  const int32_t out = console_->Open(kWrite | kCreate | kTruncate, kDemoFile).get().result;
  if (out < 0) {
    Say(std::string("The host refused host:") + kDemoFile + "; its log says why.\n");
    return;
  }
  const int32_t written =
      console_->Write(out, std::vector<uint8_t>(text.begin(), text.end())).get().result;
  console_->Close(out).get();
  const int32_t in = console_->Open(kRead, kDemoFile).get().result;
  const HostReply back = in < 0 ? HostReply() : console_->Read(in, 256).get();
  if (in >= 0) console_->Close(in).get();
  const bool same = written == static_cast<int32_t>(text.size()) &&
                    std::string(back.data.begin(), back.data.end()) == text;
  Say(Format(same ? "Wrote host:/tavdesk-demo.txt and read the same %llu bytes back.\n"
                  : "Wrote host:/tavdesk-demo.txt but read back something else (%llu bytes "
                    "written).\n",
             static_cast<unsigned long long>(written < 0 ? 0 : written)));
  Trace(same ? "file round trip done" : "file round trip failed");
}

void DemoConsole::RunExecuted(uint8_t code) {
  const std::string path = code == kExecElf ? "/exec/elf" : "/exec/iop";
  Trace("execute received: " + path);
  Say("Executing host:" + path + "\n");
  const int32_t file = console_->Open(kRead, path).get().result;
  if (file < 0) {
    Say("Could not open host:" + path + ".\n");
    return;
  }
  std::vector<uint8_t> head;
  uint64_t size = 0;
  for (;;) {
    const HostReply part = console_->Read(file, kReadChunk).get();
    if (!part.ok || part.result <= 0) break;
    size += static_cast<uint64_t>(part.result);
    if (head.size() < 64)
      head.insert(head.end(), part.data.begin(), part.data.begin() + std::min<size_t>(
                                                                        part.data.size(), 64));
  }
  console_->Close(file).get();
  Say(Format("Read %llu bytes.\n", size));
  uint64_t entry = 0;
  if (code == kExecElf) {
    Say(ElfEntry(head, &entry) ? Format("ELF entry point 0x%llx.\n", entry)
                               : std::string("Not an ELF file.\n"));
  }
  Trace(Format("read %llu bytes of the executed file", size));
  FileRoundTrip();  // the shared folder may follow the executed file now
  Say("Asking for host:/../outside.txt, above the shared folder: the host must refuse.\n");
  const int32_t outside = console_->Open(kRead, "/../outside.txt").get().result;
  Say(outside < 0 ? "Refused, as it should be.\n" : "It was opened: the host let it out!\n");
  if (outside >= 0) console_->Close(outside).get();
}

}  // namespace sim
