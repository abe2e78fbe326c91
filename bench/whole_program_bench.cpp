// The whole program under traffic: TavdeskSim.exe as a process of its own,
// with consoles on virtual cables (TCP on 127.0.0.1, no cable timing) played
// by this process through the console emulator. Prints rows of the bench
// table (tools/bench.sh):
//   flood    a console writes 10 MB (or more) of text lines to "/dev/tty"
//            as fast as it can: lines per second until the last is in the
//            log view, every line either held by the view (checked
//            character for character) or counted as removed by its
//            scrollback, the longest answer of the main window to WM_NULL
//            sent from this process every 50 ms meanwhile, the program's
//            processor time and its private bytes
//   cables   four consoles write 64 KiB blocks to files at once, all served
//            by the program's one link worker: each cable's share of the
//            bytes moved
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "bench/measure.h"
#include "bench/program_folder.h"
#include "config/settings.h"
#include "sim/console_emulator.h"
#include "sim/socket_console_end.h"
#include "sim/virtual_cable.h"
#include "sim/program_probe.h"
#include "ui/resource.h"

namespace wire = sim::wire;

namespace {

// The console's end of one virtual cable, over the wire protocol. The
// listener itself holds CLEAR 4 until the host has seen the bit down, so the
// console needs no mark of the host's status reads.
class WireConsoleEnd : public sim::ConsoleEnd {
 public:
  explicit WireConsoleEnd(uint16_t port) : socket_(port) {}

  // HELLO and ATTACH, then waits (at most 20 s) for the host to open the
  // cable: a request sent before that would meet no host.
  bool Plug(const std::string& name) {
    if (!socket_.Hello(name)) return false;
    for (int slice = 0; slice < 40; ++slice)
      if (WaitStatus(1, 1, 500)) return true;
    return false;
  }

  bool GetStatus(uint8_t* status) override {
    std::vector<uint8_t> reply;
    if (!socket_.Exchange(wire::kStatus, {}, &reply) || reply.size() != 1) return false;
    *status = reply[0];
    return true;
  }
  bool WaitStatus(uint8_t mask, uint8_t want, int timeoutMs) override {
    std::vector<uint8_t> payload = {mask, want}, reply;
    const std::vector<uint8_t> bound = Le32Bytes(static_cast<uint32_t>(timeoutMs));
    payload.insert(payload.end(), bound.begin(), bound.end());
    return socket_.Exchange(wire::kWait, payload, &reply) && reply.size() == 1 &&
           (reply[0] & mask) == want;
  }
  bool SetFeature(uint8_t bit) override { return Simple(wire::kSet, bit); }
  bool ClearFeature(uint8_t bit) override { return Simple(wire::kClear, bit); }
  bool Read(void* buffer, uint32_t length, int timeoutMs) override {
    auto* p = static_cast<uint8_t*>(buffer);
    const double end = Now() + timeoutMs / 1e3;
    while (length > 0) {
      const int left = static_cast<int>((end - Now()) * 1e3);
      const uint32_t got = ReadSome(p, length, std::max(left, 1));
      if (got == 0) return false;
      p += got;
      length -= got;
    }
    return true;
  }
  bool Write(const void* buffer, uint32_t length) override {
    std::vector<uint8_t> payload(static_cast<const uint8_t*>(buffer),
                                 static_cast<const uint8_t*>(buffer) + length),
        reply;
    return socket_.Exchange(wire::kWrite, payload, &reply) && reply == Le32Bytes(length);
  }
  uint32_t ReadSome(void* buffer, uint32_t length, int timeoutMs) override {
    std::vector<uint8_t> payload = Le32Bytes(length), reply;
    const std::vector<uint8_t> bound = Le32Bytes(static_cast<uint32_t>(timeoutMs));
    payload.insert(payload.end(), bound.begin(), bound.end());
    if (!socket_.Exchange(wire::kRead, payload, &reply) || reply.size() > length) return 0;
    std::copy(reply.begin(), reply.end(), static_cast<uint8_t*>(buffer));
    return static_cast<uint32_t>(reply.size());
  }
  uint64_t HostStatusMark() override { return 0; }
  bool WaitHostSaw(uint64_t, uint8_t, uint8_t, int) override { return true; }
  void Detach() override { Simple(wire::kAttach, 0); }

 private:
  bool Simple(uint8_t op, uint8_t byte) {
    std::vector<uint8_t> reply;
    return socket_.Exchange(op, {byte}, &reply);
  }

  SocketConsoleEnd socket_;
};

// A free port on 127.0.0.1, as the system hands one out; the program binds
// it a moment later.
uint16_t FreePort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  closesocket(s);
  WSACleanup();
  return port;
}

// TavdeskSim.exe with no demo cable, no timing, waiting status reads and a
// listener, its main window shown; closed on destruction, by force if it
// will not go.
class Program {
 public:
  Program() : port_(FreePort()) {
    StoreSettings();
    started_ = probe::Start(Beside("TavdeskSim.exe"),
                            {"TAVDESK_SIM_DEMO=0", "TAVDESK_SIM_TIMING=zero", "TAVDESK_SIM_WAITS=1",
                             "TAVDESK_SIM_LISTEN=" + std::to_string(port_)},
                            "");
    if (started_.ok)
      probe::WaitFor([&] { return (window_ = probe::MainWindowOf(Process())) != nullptr; }, 20000);
  }
  ~Program() {
    if (!started_.ok) return;
    if (window_) PostMessageA(window_, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(started_.info.hProcess, 15000) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "whole_program_bench: TavdeskSim did not close; ended by force\n");
      TerminateProcess(started_.info.hProcess, 1);
      WaitForSingleObject(started_.info.hProcess, 5000);
    }
    CloseHandle(started_.info.hProcess);
    CloseHandle(started_.info.hThread);
  }
  // The default settings, but files shared from the program's own folder
  // rather than from the folder of the last executed file (there is none).
  static void StoreSettings() {
    SettingsRecord settings = {};
    const std::string ini = Beside("TavdeskSim.ini");
    const std::string folder = ini.substr(0, ini.find_last_of('\\'));
    folder.copy(settings.sharedFolder, sizeof settings.sharedFolder - 1);
    settings.priority = 1;
    settings.colours[0] = RGB(0, 0, 0);
    settings.colours[1] = RGB(255, 0, 0);
    settings.colours[2] = RGB(0, 0, 160);
    std::memcpy(settings.signature, "Mosk", 4);
    WritePrivateProfileStructA("Tavdesk", "settings", &settings, sizeof settings, ini.c_str());
  }
  bool ok() const { return window_ != nullptr; }
  HWND window() const { return window_; }
  DWORD Process() const { return started_.info.dwProcessId; }

  // A console on a new virtual cable, the cable opened by the host; none on
  // failure.
  std::unique_ptr<sim::ConsoleEmulator> Connect(const std::string& name) {
    bool plugged = false;
    const uint16_t port = port_;
    auto console = std::make_unique<sim::ConsoleEmulator>([&, port] {
      auto end = std::make_unique<WireConsoleEnd>(port);
      plugged = end->Plug(name);
      return end;
    });
    if (!plugged) return nullptr;
    return console;
  }

  // The log view of the index-th device page (in z-order), once it is there.
  HWND LogView(size_t index) {
    HWND view = nullptr;
    probe::WaitFor(
        [&] {
          std::vector<HWND> pages = probe::DevicePages(window_);
          view = pages.size() > index ? GetDlgItem(pages[index], IDC_LOG_VIEW) : nullptr;
          return view != nullptr;
        },
        10000);
    return view;
  }

 private:
  uint16_t port_;
  probe::Started started_;
  HWND window_ = nullptr;
};

// Sends the window WM_NULL from a thread of this process every 50 ms and
// keeps the longest wait for its answer (a wait is cut at 30 s).
class Responsiveness {
 public:
  explicit Responsiveness(HWND window) : thread_([this, window] {
      while (!stop_.load()) {
        const double start = Now();
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result);
        const double ms = (Now() - start) * 1e3;
        longest_ = std::max(longest_, ms);
        probes_++;
        if (ms > 100) late_++;
        const double rest = 50 - ms;
        if (rest > 0) Sleep(static_cast<DWORD>(rest));
      }
    }) {}
  ~Responsiveness() { Stop(); }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  double longest() const { return longest_; }
  int probes() const { return probes_; }
  int late() const { return late_; }

 private:
  std::atomic<bool> stop_{false};
  double longest_ = 0;
  int probes_ = 0, late_ = 0;
  std::thread thread_;
};

// The view's whole text with its line ends as "\n": the view gives them
// as it keeps them, not as they were written.
std::string ViewText(HWND view) {
  const std::string raw = probe::Text(view);
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\r') {
      text.push_back(raw[i]);
    } else {
      text.push_back('\n');
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    }
  }
  return text;
}

// `bytes` (and up to one line more) of numbered text lines of 64 bytes,
// and their count.
std::string FloodText(size_t bytes, int* lines) {
  std::string text;
  text.reserve(bytes + 128);
  char line[128];
  for (*lines = 0; text.size() < bytes; ++*lines) {
    std::snprintf(line, sizeof line, "flood line %07d: the quick brown fox jumps over the lazy dog\n",
                  *lines);
    text += line;
  }
  return text;
}

// The view's length in characters; 0 when the window does not answer
// within 30 s.
size_t ViewLength(HWND view) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(view, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 30000, &length)) return 0;
  return static_cast<size_t>(length);
}

// Whether the page's log view's text ends with `line` (as ViewText gives
// it), looked at only once the view has stopped growing for a second: the
// whole text is too large to fetch every 50 ms. The view is found anew
// each time, as the scrollback replaces it.
class LastLineWatch {
 public:
  LastLineWatch(HWND page, std::string line) : page_(page), line_(std::move(line)) {}
  bool Shown() {
    HWND view = GetDlgItem(page_, IDC_LOG_VIEW);
    const size_t length = ViewLength(view);
    if (length != length_) {
      length_ = length;
      since_ = Now();
      return false;
    }
    if (Now() - since_ < 1 || checked_ == length) return false;
    checked_ = length;
    const std::string text = ViewText(view);
    return text.size() >= line_.size() && text.compare(text.size() - line_.size(), line_.size(), line_) == 0;
  }

 private:
  HWND page_;
  std::string line_;
  size_t length_ = 0, checked_ = ~size_t(0);
  double since_ = 0;
};

size_t CountLines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// Private bytes of another process (Wine reports them as PagefileUsage).
double PrivateMegabytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PagefileUsage / 1e6;
}

struct FloodRun {
  bool ok = false;
  double linesPerSecond = 0, longestMs = 0, idleMs = 0, cpuSeconds = 0, uiSeconds = 0;
  double startMb = 0, highestMb = 0, endMb = 0;
  int probes = 0, late = 0;
};

// One flood into a fresh program: writes of whole lines of at most `chunk`
// bytes, one write request each. The view keeps only its scrollback, so the
// flood is shown once the view's last line is the flood's last, and nothing
// is lost when the lines the view counts as removed and the lines it still
// holds add up to every line written, the held ones the flood's own.
FloodRun Flood(const std::string& text, int lines, size_t chunk) {
  FloodRun run;
  Program program;
  if (!program.ok()) return run;
  auto console = program.Connect("Flood cable");
  HWND view = program.LogView(0);
  if (!console || !view) return run;
  const int32_t tty = console->Open(0x02, "/dev/tty").get().result;
  if (tty != 1) return run;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, program.Process());
  probe::WaitFor([&] { return ViewText(view).find("connected") != std::string::npos; }, 10000);
  const std::string first = "flood begins\n";
  if (console->Write(tty, std::vector<uint8_t>(first.begin(), first.end())).get().result != 13)
    return run;
  const HWND page = GetParent(view);
  LastLineWatch begins(page, first);
  probe::WaitFor([&] { return begins.Shown(); }, 10000);
  const size_t before = CountLines(ViewText(view));
  LastLineWatch last(page, text.substr(text.rfind('\n', text.size() - 2) + 1));

  {
    // The same probe with nothing to do, for the machine's share of it.
    Responsiveness idle(program.window());
    Sleep(2000);
    idle.Stop();
    run.idleMs = idle.longest();
  }
  run.startMb = run.highestMb = PrivateMegabytes(process);
  Responsiveness watch(program.window());
  const DWORD ui = GetWindowThreadProcessId(program.window(), nullptr);
  const Cpu cpu = ProcessCpu(program.Process(), ui);
  const double start = Now();
  bool written = true;
  for (size_t at = 0; at < text.size() && written;) {
    size_t end = std::min(text.size(), at + chunk);
    if (end < text.size()) end = text.rfind('\n', end - 1) + 1;
    const std::vector<uint8_t> block(text.begin() + at, text.begin() + end);
    written = console->Write(tty, block).get().result == static_cast<int32_t>(block.size());
    at = end;
    if (at % (1 << 20) < chunk) run.highestMb = std::max(run.highestMb, PrivateMegabytes(process));
  }
  // Written is not shown: the lines count once the view shows the last.
  // Looked at every 50 ms, for at most 600 s or 30 s a megabyte (the
  // worker may be up to 16 MiB ahead of the view, and a busy machine draws
  // slowly).
  bool shown = false;
  const int looks = static_cast<int>(std::max<size_t>(12000, text.size() / 1000000 * 600));
  for (int i = 0; written && !shown && i < looks; ++i) {
    shown = last.Shown();
    run.highestMb = std::max(run.highestMb, PrivateMegabytes(process));
    if (!shown) Sleep(50);
  }
  const double seconds = Now() - start;
  const Cpu used = ProcessCpu(program.Process(), ui);
  run.endMb = PrivateMegabytes(process);
  CloseHandle(process);
  run.cpuSeconds = used.all - cpu.all;
  run.uiSeconds = used.thread - cpu.thread;
  watch.Stop();
  run.longestMs = watch.longest();
  run.probes = watch.probes();
  run.late = watch.late();
  // The note line, when the scrollback removed lines: "[N earlier lines removed]".
  std::string held = ViewText(GetDlgItem(page, IDC_LOG_VIEW));
  long long removed = 0;
  if (std::sscanf(held.c_str(), "[%lld earlier lines removed]", &removed) == 1)
    held.erase(0, held.find('\n') + 1);
  const size_t tail = std::min(held.size(), text.size());
  const bool whole = removed + CountLines(held) == before + lines &&
                     held.compare(held.size() - tail, tail, text, text.size() - tail, tail) == 0;
  if (!written) std::fprintf(stderr, "whole_program_bench: a write of the flood failed\n");
  if (written && !shown)
    std::fprintf(stderr, "whole_program_bench: the flood's last line is not shown after %d s\n",
                 looks / 20);
  if (shown && !whole)
    std::fprintf(stderr, "whole_program_bench: lines lost: %lld removed + %zu held of %zu\n",
                 removed, CountLines(held), before + lines);
  run.linesPerSecond = lines / seconds;
  run.ok = written && shown && whole;
  console.reset();  // unplugs the cable
  return run;
}

bool FloodFigures(size_t chunk, int runs, size_t bytes) {
  int lines = 0;
  const std::string text = FloodText(bytes, &lines);
  std::vector<double> rates, longest, idle, cpu, ui, startMb, highestMb, endMb;
  int probes = 0, late = 0;
  for (int i = 0; i < runs; ++i) {
    const FloodRun run = Flood(text, lines, chunk);
    if (!run.ok) return false;
    rates.push_back(run.linesPerSecond);
    longest.push_back(run.longestMs);
    idle.push_back(run.idleMs);
    cpu.push_back(run.cpuSeconds);
    ui.push_back(run.uiSeconds);
    startMb.push_back(run.startMb);
    highestMb.push_back(run.highestMb);
    endMb.push_back(run.endMb);
    probes += run.probes;
    late += run.late;
  }
  char label[64];
  std::snprintf(label, sizeof label, "P3 %.0f MB to /dev/tty, lines/s (%zu KiB writes)",
                text.size() / 1e6, chunk >> 10);
  Row(label, Summarise(rates), "/s", runs, ">= 20,000 (aim 50,000)");
  Row("   longest answer to WM_NULL meanwhile", Summarise(longest), "ms", runs, "<= 100 ms");
  Row("   the same, 2 s before the flood (idle)", Summarise(idle), "ms", runs, "(context)");
  Row("   processor time of TavdeskSim, all threads", Summarise(cpu), "s", runs, "(cost)");
  Row("   of it the UI thread (log view)", Summarise(ui), "s", runs, "(cost)");
  Row("   private bytes of TavdeskSim at the start", Summarise(startMb), "MB", runs, "(context)");
  Row("   the highest during the flood", Summarise(highestMb), "MB", runs, "start + 100 MB");
  Row("   at the end", Summarise(endMb), "MB", runs, "(context)");
  std::printf("|    %d lines of %zu bytes each run, every line shown or counted as removed every run; "
              "%d of %d WM_NULL probes over 100 ms |\n",
              lines, text.size(), late, probes);
  return true;
}

struct CablesRun {
  bool ok = false;
  double shares[4] = {}, megabytesPerSecond = 0, cpuPerMegabyte = 0;
};

// Four consoles write 64 KiB blocks to a file each, as fast as the program
// takes them (each seeks back to the start every 4 MiB, so that the files
// stay small); the bytes each moved in a window of 4 s, after 1 s of
// warm-up, all four writing throughout.
CablesRun Cables() {
  constexpr int kCables = 4, kBlock = 64 << 10;
  CablesRun run;
  Program program;
  if (!program.ok()) return run;
  std::unique_ptr<sim::ConsoleEmulator> consoles[kCables];
  int32_t handles[kCables];
  std::string names[kCables];
  for (int i = 0; i < kCables; ++i) {
    consoles[i] = program.Connect("Cable " + std::to_string(i + 1));
    if (!consoles[i]) {
      std::fprintf(stderr, "whole_program_bench: cable %d was not opened by the program\n", i + 1);
      return run;
    }
    names[i] = "p4_cable" + std::to_string(i + 1) + ".bin";
    handles[i] = consoles[i]->Open(0x602, "/" + names[i]).get().result;
    if (handles[i] < 3) {
      std::fprintf(stderr, "whole_program_bench: cable %d: open gave %d; the log says:\n%s\n", i + 1,
                   handles[i], ViewText(program.LogView(i)).c_str());
      return run;
    }
  }
  std::atomic<bool> stop{false}, failed{false};
  std::atomic<uint64_t> moved[kCables] = {};
  std::vector<std::thread> writers;
  const std::vector<uint8_t> block(kBlock, 'x');
  for (int i = 0; i < kCables; ++i)
    writers.emplace_back([&, i] {
      for (int n = 1; !stop.load(); ++n) {
        if (consoles[i]->Write(handles[i], block).get().result != kBlock) {
          failed.store(true);
          return;
        }
        moved[i] += kBlock;
        if (n % 64 == 0) consoles[i]->Lseek(handles[i], 0, 0).get();
      }
    });
  Sleep(1000);
  uint64_t before[kCables], total = 0;
  for (int i = 0; i < kCables; ++i) before[i] = moved[i].load();
  const Cpu cpu = ProcessCpu(program.Process(), 0);
  const double start = Now();
  Sleep(4000);
  uint64_t bytes[kCables];
  for (int i = 0; i < kCables; ++i) total += bytes[i] = moved[i].load() - before[i];
  const double seconds = Now() - start;
  const double used = ProcessCpu(program.Process(), 0).all - cpu.all;
  stop.store(true);
  for (std::thread& writer : writers) writer.join();
  for (int i = 0; i < kCables; ++i) {
    consoles[i]->Close(handles[i]).get();
    consoles[i].reset();
    DeleteFileA(Beside(names[i].c_str()).c_str());
    run.shares[i] = total ? 100.0 * bytes[i] / total : 0;
  }
  run.megabytesPerSecond = total / seconds / 1e6;
  run.cpuPerMegabyte = total ? used / (total / 1e6) * 1e3 : 0;
  run.ok = !failed.load() && total > 0;
  return run;
}

bool CablesFigures(int runs) {
  std::vector<double> shares[4], lowest, rates, cpu;
  for (int i = 0; i < runs; ++i) {
    const CablesRun run = Cables();
    if (!run.ok) return false;
    for (int c = 0; c < 4; ++c) shares[c].push_back(run.shares[c]);
    lowest.push_back(*std::min_element(run.shares, run.shares + 4));
    rates.push_back(run.megabytesPerSecond);
    cpu.push_back(run.cpuPerMegabyte);
  }
  for (int c = 0; c < 4; ++c) {
    char label[64];
    std::snprintf(label, sizeof label, "P4 four cables at once, share of cable %d", c + 1);
    Row(label, Summarise(shares[c]), "%", runs, ">= 23%");
  }
  Row("   lowest share of the four, per run", Summarise(lowest), "%", runs, ">= 23%");
  Row("   total moved, 64 KiB writes, no timing", Summarise(rates), "MB/s", runs, "(context)");
  Row("   processor time of TavdeskSim per MB", Summarise(cpu), "ms", runs, "(cost)");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  bool ok;
  if (mode == "flood")
    ok = FloodFigures(argc > 2 ? std::strtoul(argv[2], nullptr, 10) << 10 : 16 << 10,
                      argc > 3 ? std::atoi(argv[3]) : 3,
                      argc > 4 ? std::strtoul(argv[4], nullptr, 10) * 1000 : 10000000);
  else if (mode == "cables")
    ok = CablesFigures(argc > 2 ? std::atoi(argv[2]) : 3);
  else {
    std::fprintf(stderr, "usage: whole_program_bench flood [KIB-PER-WRITE [RUNS [KB]]] | cables [RUNS]\n");
    return 2;
  }
  if (!ok) std::printf("| whole_program_bench %s: FAILED |\n", mode.c_str());
  return ok ? 0 : 1;
}
