// Trial of a long transfer through the file service, served by the link
// worker with its real thread and page over the simulated cable: the console
// emulator writes a generated pattern to a real file in 64 KiB requests,
// closes it, and reads it back in 64 KiB requests; every byte read is
// compared with the pattern made again from its offset (no stored copy).
// Prints MB/s and processor time (the whole process, which also runs the
// console's end, and the worker thread alone) for each direction.
//   transfer_trial [--mib=N]   (1024 by default)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "session/link_worker.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "trials/trial_support.h"
#include "ui/device_list.h"

using sim::SimDriver;

namespace {

long Mebibytes = 1024;
constexpr uint32_t kRequest = 64 << 10;

// The pattern's bytes at [offset, offset + out.size()), offset a multiple of 8.
void Pattern(uint64_t offset, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < out.size(); i += 8) {
    uint64_t z = (offset + i) * 0x9E3779B97F4A7C15ull + 0x5DEECE66Dull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::memcpy(&out[i], &z, 8);
  }
}

struct Phase {
  double seconds = 0, processCpu = 0, workerCpu = 0;
};

using TransferTrial = WorkerTest;

TEST_F(TransferTrial, WrittenAndReadBackByteExact) {
  TempFolder folder;
  Settings.shareExecFolder = 0;  // console paths under the shared folder
  SetSharedFolder(folder.Path().c_str());
  SimDriver::SetStatusWaits(true);  // neither end spins on a shared machine
  SimDriver::SetRecording(false);
  const int cable = SimDriver::Plug("transfer");
  ASSERT_TRUE(ScanForCables());
  auto console = trial::Console(cable);
  const uint64_t total = uint64_t(Mebibytes) << 20;

  // The console's side on a thread of its own; this thread pumps the window.
  Phase phases[2];
  uint64_t wrongBytes = 0, readBytes = 0;
  bool writeOk = true, readOk = true;
  std::atomic<bool> done{false};
  std::thread consoleSide([&] {
    std::vector<uint8_t> block(kRequest);
    for (int reading = 0; reading < 2; ++reading) {
      Phase& phase = phases[reading];
      const double start = Now(), cpu = ProcessSeconds();
      const double worker = ThreadSeconds(WorkerThread);
      const int32_t handle = console->Open(reading ? 1 : 0x602, "/r4.bin").get().result;
      bool& ok = reading ? readOk : writeOk;
      ok = handle >= 3;
      for (uint64_t at = 0; ok && at < total; at += kRequest) {
        Pattern(at, block);
        if (!reading) {
          ok = console->Write(handle, block).get().result == int32_t(kRequest);
          continue;
        }
        sim::HostReply reply = console->Read(handle, kRequest).get();
        ok = reply.result == int32_t(kRequest) && reply.data.size() == kRequest;
        readBytes += reply.data.size();
        for (size_t i = 0; i < reply.data.size() && i < kRequest; ++i)
          wrongBytes += reply.data[i] != block[i];
      }
      ok = console->Close(handle).get().result == 0 && ok;
      phase.seconds = Now() - start;
      phase.processCpu = ProcessSeconds() - cpu;
      phase.workerCpu = ThreadSeconds(WorkerThread) - worker;
    }
    done = true;
  });
  const bool finished = PumpUntil([&] { return done.load(); }, 3600000);
  consoleSide.join();
  ASSERT_TRUE(finished);

  WIN32_FILE_ATTRIBUTE_DATA attributes = {};
  GetFileAttributesExA(folder.File("r4.bin").c_str(), GetFileExInfoStandard, &attributes);
  const uint64_t size = uint64_t(attributes.nFileSizeHigh) << 32 | attributes.nFileSizeLow;
  EXPECT_TRUE(writeOk);
  EXPECT_TRUE(readOk);
  EXPECT_EQ(total, size);
  EXPECT_EQ(total, readBytes);
  EXPECT_EQ(0u, wrongBytes);
  for (int reading = 0; reading < 2; ++reading) {
    const Phase& p = phases[reading];
    std::printf("R4 %s %ld MiB in 64 KiB requests: %.2f MB/s (%.1f s), processor time %.1f s "
                "(%.0f%% of a core; the worker thread %.1f s)\n",
                reading ? "read back" : "wrote", Mebibytes, total / p.seconds / 1e6, p.seconds,
                p.processCpu, p.processCpu / p.seconds * 100, p.workerCpu);
  }
  std::printf("R4 %s: file %llu bytes, %llu bytes read back, %llu differ from the pattern "
              "(load %s)\n",
              writeOk && readOk && size == total && readBytes == total && !wrongBytes
                  ? "byte-exact" : "FAILED",
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(readBytes),
              static_cast<unsigned long long>(wrongBytes), trial::LoadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Mebibytes = trial::Size(argc, argv, "--mib", Mebibytes);
  return RUN_ALL_TESTS();
}
