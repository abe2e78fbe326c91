// TavdeskSim.exe's entry point: the program linked to the simulated driver,
// set up from the environment (Tavdesk.exe reads none):
//   TAVDESK_SIM_DEMO       number of demo cables, each with a demo console
//                          (default 1; 0 for none, at most 8)
//   TAVDESK_SIM_DEMO_POLL  0: the demo consoles greet and then never poll
//                          (default 1)
//   TAVDESK_SIM_TIMING     usb11 (default): a USB 1.1 cable's timing; zero:
//                          none
//   TAVDESK_SIM_LISTEN     a TCP port on 127.0.0.1 for virtual cables (0:
//                          any free port, printed on standard output)
//   TAVDESK_SIM_WAITS      1: status reads and the consoles' waits sleep
//                          until the status changes instead of spinning
//                          (default 0), for benchmarks on a shared machine
//   TAVDESK_SIM_SHARE      a folder shared with every cable's console in
//                          place of the executed file's, for this run only:
//                          the INI file is given back as it was at the end
// A value it cannot read ends the program at once with a message on
// standard error and exit code 2, and so does a copy of the program that
// already runs.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "session/host_file_service.h"
#include "sim/demo_console.h"
#include "sim/sim_driver.h"
#include "sim/sim_timing.h"
#include "sim/virtual_cable.h"
#include "ui/command_line.h"
#include "ui/program.h"

namespace {

constexpr int kMostDemoCables = 8;

struct SimSetup {
  int demoCables = 1;
  bool demoPolls = true;
  sim::Timing timing = sim::Timing::Usb11;
  bool statusWaits = false;
};

// The variable's value, or `fallback` when it is not set.
std::string Variable(const char* name, const char* fallback) {
  char value[64];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return fallback;
  return length < sizeof value ? std::string(value, length) : std::string("(too long)");
}

bool Fail(const char* name, const std::string& value, const char* allowed) {
  std::fprintf(stderr, "TavdeskSim: %s=%s is not %s\n", name, value.c_str(), allowed);
  return false;
}

bool ReadSetup(SimSetup* setup) {
  const std::string demo = Variable("TAVDESK_SIM_DEMO", "1");
  if (demo.size() != 1 || demo[0] < '0' || demo[0] > '0' + kMostDemoCables)
    return Fail("TAVDESK_SIM_DEMO", demo, "a number of demo cables from 0 to 8");
  setup->demoCables = demo[0] - '0';
  const std::string poll = Variable("TAVDESK_SIM_DEMO_POLL", "1");
  if (poll != "0" && poll != "1") return Fail("TAVDESK_SIM_DEMO_POLL", poll, "0 or 1");
  setup->demoPolls = poll == "1";
  const std::string timing = Variable("TAVDESK_SIM_TIMING", "usb11");
  if (timing != "usb11" && timing != "zero")
    return Fail("TAVDESK_SIM_TIMING", timing, "usb11 or zero");
  setup->timing = timing == "usb11" ? sim::Timing::Usb11 : sim::Timing::Zero;
  const std::string waits = Variable("TAVDESK_SIM_WAITS", "0");
  if (waits != "0" && waits != "1") return Fail("TAVDESK_SIM_WAITS", waits, "0 or 1");
  setup->statusWaits = waits == "1";
  return true;
}

// Before anything is bound or printed: a second copy would otherwise claim
// a port it never serves and end quietly at the program's own check.
bool NoOtherCopyRuns() {
  if (SingleInstanceCheck()) return true;
  std::fprintf(stderr, "TavdeskSim: a copy of Tavdesk or TavdeskSim already runs here (in this "
                       "Wine prefix); its window was brought to the front. End it first.\n");
  return false;
}

// The INI file as it was before the run: its bytes, or none when it did not
// exist.
struct KeptIni {
  bool kept = false;
  bool existed = false;
  std::string bytes;
};

std::string ReadWhole(FILE* file) {
  std::string bytes;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, got);
  return bytes;
}

void GiveBackIni(const KeptIni& ini) {
  if (!ini.kept) return;
  if (!ini.existed) {
    DeleteFileA(IniPath);
    return;
  }
  if (FILE* file = std::fopen(IniPath, "wb")) {
    std::fwrite(ini.bytes.data(), 1, ini.bytes.size(), file);
    std::fclose(file);
  }
}

// TAVDESK_SIM_SHARE: the folder, made absolute, becomes the shared folder in
// the INI file that the program then loads, so the Settings tab shows it;
// `ini` keeps the file as it was, to be given back when the program ends.
bool ShareFromEnvironment(KeptIni* ini) {
  char value[kPathChars];
  const DWORD length = GetEnvironmentVariableA("TAVDESK_SIM_SHARE", value, sizeof value);
  if (length == 0) return true;
  char folder[kPathChars];
  const DWORD full = length < sizeof value ? GetFullPathNameA(value, sizeof folder, folder, nullptr)
                                           : 0;
  const DWORD attributes = full && full < sizeof folder ? GetFileAttributesA(folder)
                                                        : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Fail("TAVDESK_SIM_SHARE", length < sizeof value ? value : "(too long)",
                "a folder that exists");
  InitSettings();
  if (FILE* file = std::fopen(IniPath, "rb")) {
    ini->existed = true;
    ini->bytes = ReadWhole(file);
    std::fclose(file);
  }
  ini->kept = true;
  Settings.denyAll = 0;
  Settings.shareExecFolder = 0;
  SetSharedFolder(folder);
  StoreSettings();
  return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  // DLLs from the system folder only, as in Tavdesk.exe.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A start with arguments hands them to the running copy, which has the cables.
  if (HasCommandLine()) return RunCommandLine();
  ReserveStandardDescriptors();
  if (!NoOtherCopyRuns()) return 2;
  SimSetup setup;
  KeptIni ini;
  if (!ReadSetup(&setup) || !ShareFromEnvironment(&ini)) return 2;
  sim::SetTiming(setup.timing);
  sim::SimDriver::SetStatusWaits(setup.statusWaits);
  std::string listenError;
  std::unique_ptr<sim::VirtualCableListener> listener =
      sim::StartListenerFromEnvironment(&listenError);
  if (!listenError.empty()) {
    std::fprintf(stderr, "TavdeskSim: %s\n", listenError.c_str());
    return 2;
  }
  if (listener) {
    std::printf("TavdeskSim: virtual cables on 127.0.0.1:%u\n", listener->Port());
    std::fflush(stdout);
  }
  std::vector<std::unique_ptr<sim::DemoConsole>> consoles;
  for (int i = 0; i < setup.demoCables; ++i) {
    const std::string name = i == 0 ? "Demo cable" : "Demo cable " + std::to_string(i + 1);
    const int cable = sim::SimDriver::Plug(name);
    consoles.push_back(std::make_unique<sim::DemoConsole>(cable, name, setup.demoPolls));
  }
  const int code = RunProgram(instance, showCommand);
  listener.reset();  // closes the virtual cables' connections
  consoles.clear();  // stops the scripts before the driver's state goes
  GiveBackIni(ini);
  return code;
}
