// Benchmark of the host side: 64 KiB read and write requests served by
// ServeRequest from and to a real file, over the zero-latency simulated
// cable, to the console emulator. Prints MB/s and the driver calls per
// exchange. The cable itself moves at most 1.216 MB/s in bulk; the host
// should never be what holds a transfer back.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "config/settings.h"
#include "link/link_device.h"
#include "session/host_file_service.h"
#include "session/target_session.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"

using sim::Call;
using sim::SimDriver;

namespace {

constexpr uint32_t kRequest = 64 << 10;
constexpr uint32_t kTotal = 64 << 20;
constexpr int kExchanges = kTotal / kRequest;

uint64_t DriverCalls() {
  uint64_t total = 0;
  for (int c = 0; c < static_cast<int>(Call::kCount); ++c) total += SimDriver::Count(Call(c));
  return total;
}

struct Result {
  double seconds;
  double callsPerExchange;
  double statusReadsPerExchange;
  bool ok;
};

// The console makes its requests in one loop of its own while this thread
// serves them, as the link worker would.
Result Measure(TargetSession& session, std::future<int> console) {
  const uint64_t calls = DriverCalls();
  const uint64_t status = SimDriver::Count(Call::GetStatus);
  const auto start = std::chrono::steady_clock::now();
  bool served = true;
  for (int i = 0; i < kExchanges && served; ++i) served = ServeRequest(&session);
  const bool ok = console.get() == kExchanges && served;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {elapsed.count(), double(DriverCalls() - calls) / kExchanges,
          double(SimDriver::Count(Call::GetStatus) - status) / kExchanges, ok};
}

void Report(const char* what, const Result& r) {
  std::printf("%-6s %4u x 64 KiB: %7.1f MB/s, %5.1f driver calls per exchange (%.1f status reads)%s\n",
              what, unsigned(kExchanges), kTotal / r.seconds / 1e6, r.callsPerExchange,
              r.statusReadsPerExchange, r.ok ? "" : "  FAILED");
}

}  // namespace

int main() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + "tavdesk-bench";
  CreateDirectoryA(folder.c_str(), nullptr);
  Settings = SettingsRecord{};
  Settings.shareExecFolder = 0;
  SetSharedFolder(folder.c_str());

  // The file that the reads are served from.
  std::vector<uint8_t> data(kTotal);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
  HANDLE file = CreateFileA((folder + "\\source.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, data.data(), kTotal, &written, nullptr);
  CloseHandle(file);

  SimDriver::Reset();
  SimDriver::SetRecording(false);
  const int cable = SimDriver::Plug("bench cable");
  LinkDevice link;
  if (!link.Open(SimDriver::DevicePath(cable).c_str())) {
    std::printf("no simulated cable\n");
    return 1;
  }
  // No page: the log lines of the opens go nowhere.
  TargetSession session(nullptr, &link);
  sim::ConsoleEmulator console([cable] { return SimDriver::AttachConsole(cable); });

  auto open = console.Open(1, "/source.bin");
  ServeRequest(&session);
  const int32_t source = open.get().result;
  auto create = console.Open(0x602, "/sink.bin");
  ServeRequest(&session);
  const int32_t sink = create.get().result;
  if (source < 3 || sink < 3) {
    std::printf("files could not be opened\n");
    return 1;
  }

  Result read = Measure(session, console.ReadRepeatedly(source, kRequest, kExchanges));
  std::vector<uint8_t> block(data.begin(), data.begin() + kRequest);
  Result write = Measure(session, console.WriteRepeatedly(sink, block, kExchanges));
  Report("read", read);
  Report("write", write);

  for (int32_t handle : {source, sink}) {
    auto close = console.Close(handle);
    ServeRequest(&session);
    close.get();
  }
  DeleteFileA((folder + "\\source.bin").c_str());
  DeleteFileA((folder + "\\sink.bin").c_str());
  RemoveDirectoryA(folder.c_str());
  return read.ok && write.ok && console.Violations().empty() ? 0 : 1;
}
