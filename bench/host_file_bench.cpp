// Benchmark of the host side's file service: 64 KiB read and write requests
// served by ServeRequest from and to real files, over the simulated cable, to
// the console emulator. Prints rows of the bench table (tools/bench.sh):
//   cost LABEL  processor time of the serving thread per exchange, zero
//               latency, with status reads that wait instead of spinning
//   usb11       throughput under the USB 1.1 timing model, the driver calls
//               per exchange, and the load of a 4 MiB ELF file by /exec/elf
//   memory MIB  private bytes before and after MIB moved through the service
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "bench/measure.h"
#include "config/settings.h"
#include "link/link_device.h"
#include "link/packet_format.h"
#include "session/host_file_service.h"
#include "session/target_session.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "sim/sim_timing.h"

using sim::Call;
using sim::SimDriver;

namespace {

constexpr uint32_t kRequest = 64 << 10;
constexpr uint32_t kSourceBytes = 64 << 20;
constexpr double kCableBytesPerSecond = 1.216e6;


uint64_t DriverCalls() {
  uint64_t total = 0;
  for (int c = 0; c < static_cast<int>(Call::kCount); ++c) total += SimDriver::Count(Call(c));
  return total;
}

// A cable with the host's session on one end and the console emulator on
// the other, a shared folder in the temporary folder, a 64 MiB source file
// open for reading and a sink file open for writing.
class Bench {
 public:
  Bench() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    folder_ = std::string(temp) + "tavdesk-bench";
    CreateDirectoryA(folder_.c_str(), nullptr);
    Settings = SettingsRecord{};
    Settings.shareExecFolder = 0;
    SetSharedFolder(folder_.c_str());
    data_.resize(kSourceBytes);
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
    WriteWhole("source.bin", data_);

    SimDriver::Reset();
    SimDriver::SetRecording(false);
    const int cable = SimDriver::Plug("bench cable");
    if (!link_.Open(SimDriver::DevicePath(cable).c_str())) return;
    // No page: the log lines of the opens go nowhere.
    session_ = std::make_unique<TargetSession>(nullptr, &link_);
    console_ = std::make_unique<sim::ConsoleEmulator>(
        [cable] { return SimDriver::AttachConsole(cable); });
    source_ = Serve(console_->Open(1, "/source.bin")).result;
    sink_ = Serve(console_->Open(0x602, "/sink.bin")).result;
  }

  ~Bench() {
    for (int32_t handle : {source_, sink_})
      if (handle >= 3) Serve(console_->Close(handle));
    console_.reset();
    session_.reset();
    for (const char* name : {"source.bin", "sink.bin", "program.elf"})
      DeleteFileA((folder_ + "\\" + name).c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  bool ok() const { return source_ >= 3 && sink_ >= 3; }
  TargetSession& session() { return *session_; }
  sim::ConsoleEmulator& console() { return *console_; }
  std::string File(const char* name) const { return folder_ + "\\" + name; }

  void WriteWhole(const char* name, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileA(File(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }

  template <typename T>
  T Serve(std::future<T> pending) {
    ServeRequest(session_.get());
    return pending.get();
  }

  // `exchanges` 64 KiB reads (from the start of the source) or writes,
  // served on this thread while the console makes them on its own.
  bool Run(bool reads, int exchanges) {
    if (reads) {
      Serve(console_->Lseek(source_, 0, 0));
      return Served(console_->ReadRepeatedly(source_, kRequest, exchanges), exchanges);
    }
    std::vector<uint8_t> block(data_.begin(), data_.begin() + kRequest);
    return Served(console_->WriteRepeatedly(sink_, block, exchanges), exchanges);
  }

 private:
  bool Served(std::future<int> console, int exchanges) {
    bool served = true;
    for (int i = 0; i < exchanges && served; ++i) served = ServeRequest(session_.get());
    return console.get() == exchanges && served;
  }

  std::string folder_;
  std::vector<uint8_t> data_;
  LinkDevice link_;
  std::unique_ptr<TargetSession> session_;
  std::unique_ptr<sim::ConsoleEmulator> console_;
  int32_t source_ = -1, sink_ = -1;
};

// P1: the serving thread's processor time per exchange. The thread times
// count in scheduler ticks (10 ms under Wine on Linux), so each run serves
// enough exchanges for a tick to be a small part of its total.
bool HostCost(const char* label) {
  sim::SetTiming(sim::Timing::Zero);
  Bench bench;
  if (!bench.ok()) return false;
  SimDriver::SetStatusWaits(true);
  constexpr int kRuns = 5, kExchanges = 512;
  bool ok = true;
  for (bool reads : {true, false}) {
    std::vector<double> costs, walls;
    for (int run = 0; run < kRuns && ok; ++run) {
      const double cpu = ThreadSeconds(), wall = Now();
      ok = bench.Run(reads, kExchanges);
      costs.push_back((ThreadSeconds() - cpu) / kExchanges * 1e3);
      walls.push_back((Now() - wall) / kExchanges * 1e3);
    }
    if (!ok) break;
    const std::string what = std::string("P1 host CPU per 64 KiB ") + (reads ? "read" : "write") +
                             ", " + label;
    Row(what.c_str(), Summarise(costs), "ms", kRuns, "<= 0.5 ms");
    const std::string wall = std::string("   wall time per ") + (reads ? "read" : "write") +
                             " (no spin), " + label;
    Row(wall.c_str(), Summarise(walls), "ms", kRuns, "(context)");
  }
  return ok;
}

// P2: what a USB 1.1 cable gives, and where the rest of its time goes.
bool CableThroughput() {
  sim::SetTiming(sim::Timing::Usb11);
  Bench bench;
  if (!bench.ok()) return false;
  constexpr int kRuns = 3, kExchanges = 32;
  bool ok = true;
  for (bool reads : {true, false}) {
    std::vector<double> rates, shares;
    uint64_t calls = 0, status = 0, features = 0;
    for (int run = 0; run < kRuns && ok; ++run) {
      const uint64_t calls0 = DriverCalls(), status0 = SimDriver::Count(Call::GetStatus);
      const uint64_t features0 = SimDriver::Count(Call::SetFeature) + SimDriver::Count(Call::ClearFeature);
      const double start = Now();
      ok = bench.Run(reads, kExchanges);
      const double rate = double(kExchanges) * kRequest / (Now() - start) / 1e6;
      rates.push_back(rate);
      shares.push_back(rate * 1e6 / kCableBytesPerSecond * 100);
      calls = DriverCalls() - calls0;
      status = SimDriver::Count(Call::GetStatus) - status0;
      features = SimDriver::Count(Call::SetFeature) + SimDriver::Count(Call::ClearFeature) - features0;
    }
    if (!ok) break;
    const char* what = reads ? "read" : "write";
    Row((std::string("P2 usb11 64 KiB ") + what + "s").c_str(), Summarise(rates), "MB/s", kRuns,
        "");
    Row((std::string("   share of 1.216 MB/s, ") + what + "s").c_str(), Summarise(shares), "%",
        kRuns, ">= 80%");
    std::printf("|    %s: %.1f driver calls per exchange, %.1f of them status reads and %.1f "
                "set/clear feature (control requests end at a 1 ms frame each; 64 KiB of bulk "
                "data takes %llu frames) |\n",
                what, double(calls) / kExchanges, double(status) / kExchanges,
                double(features) / kExchanges,
                static_cast<unsigned long long>(sim::BulkFrames(kRequest)));
  }
  if (!ok) return false;

  // A 4 MiB ELF file sent for execution; the console reads it through
  // /exec/elf in 64 KiB requests, as the demo console does.
  std::vector<uint8_t> elf(4 << 20, 0x5A);
  const uint8_t header[] = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0};
  std::memcpy(elf.data(), header, sizeof header);
  bench.WriteWhole("program.elf", elf);
  std::vector<double> seconds;
  for (int run = 0; run < kRuns && ok; ++run) {
    const double start = Now();
    ok = bench.session().Append(tavrin::kTagExecElf, _strdup(bench.File("program.elf").c_str()));
    ok = ok && bench.Serve(bench.console().Poll(0)).command;
    const int32_t handle = bench.Serve(bench.console().Open(1, "/exec/elf")).result;
    ok = ok && handle >= 3;
    int full = 0;
    for (int i = 0; ok && i < int(elf.size() / kRequest); ++i)
      full += bench.Serve(bench.console().Read(handle, kRequest)).data.size() == kRequest;
    ok = ok && full == int(elf.size() / kRequest) && bench.Serve(bench.console().Close(handle)).ok;
    seconds.push_back(Now() - start);
  }
  if (ok)
    Row("P2 usb11 load of a 4 MiB ELF by /exec/elf", Summarise(seconds), "s", kRuns,
        "(4 MiB at 1.216 MB/s: 3.45 s)");
  return ok;
}

// P5: private bytes of this process, which hosts the file service, before
// and after `mebibytes` moved through it (half read, half written), each
// 64 MiB pass a sample.
bool Memory(int mebibytes) {
  sim::SetTiming(sim::Timing::Zero);
  Bench bench;
  if (!bench.ok()) return false;
  SimDriver::SetStatusWaits(true);
  constexpr int kPass = kSourceBytes / kRequest;
  bool ok = bench.Run(true, kPass) && bench.Run(false, kPass);  // warm-up, not counted
  const uint64_t before = PrivateBytes();
  std::vector<double> growth;
  for (int moved = 0; ok && moved < mebibytes; moved += 128) {
    ok = bench.Run(true, kPass) && bench.Run(false, kPass);
    growth.push_back((double(PrivateBytes()) - double(before)) / 1e6);
  }
  if (!ok) return false;
  std::printf("| P5 private bytes before %d MiB moved: %.1f MB, after: %.1f MB%*s |\n", mebibytes,
              before / 1e6, PrivateBytes() / 1e6, 33, "");
  Row("P5 growth over the run (samples per 128 MiB)", Summarise(growth), "MB",
      static_cast<int>(growth.size()), "< 1 MB");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  bool ok;
  if (mode == "cost" && argc > 2)
    ok = HostCost(argv[2]);
  else if (mode == "usb11")
    ok = CableThroughput();
  else if (mode == "memory" && argc > 2)
    ok = Memory(std::atoi(argv[2]));
  else {
    std::fprintf(stderr, "usage: host_file_bench cost LABEL | usb11 | memory MIB\n");
    return 2;
  }
  if (!ok) std::printf("| host_file_bench %s: FAILED |\n", mode.c_str());
  return ok ? 0 : 1;
}
