// The caller's side of the command line: parse, take FILE from the caller's
// folder, find the running copy (or start one), hand it the request, then
// read the console's text from a pipe of our own until the text asked for
// comes, the device goes or the time runs out. Nothing here opens a window.
#define _CRT_RAND_S
#include "ui/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/command_line_format.h"
#include "ui/program.h"

using namespace tavrin;

namespace {

// A copy started here gets this long to find its first cable when the
// caller gave no time-out; a copy that runs already gets none.
constexpr ULONGLONG kFirstCableWaitMs = 10000;
constexpr DWORD kRetryMs = 200;
constexpr UINT kHandOffMs = 5000;
constexpr DWORD kConnectMs = 5000;
constexpr DWORD kPipeBytes = 64 * 1024;
constexpr size_t kEndLineChars = 200;

const char kUsage[] =
    "Usage: Tavdesk.exe [--cable NAME] [--reset] [FILE] [--tty] [--until TEXT]"
    " [--timeout SECONDS]\n"
    "  FILE               an ELF or IRX file to execute on the console, as Execute does\n"
    "  --cable NAME       the device whose tab is NAME (default: the one shown, else the only one)\n"
    "  --reset            reset the console (before FILE)\n"
    "  --tty              copy the console's text to standard output\n"
    "  --until TEXT       wait until the console's text holds TEXT, then exit 0\n"
    "  --timeout SECONDS  give up waiting (and finding a device) after this long: exit 124\n"
    "Exit codes: 0 done, 1 bad use or a file that cannot be executed, 2 no such device,\n"
    "3 the device went away, 124 time-out.\n";

// ---- Standard streams ----

bool Usable(HANDLE handle) {
  return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// A program of the GUI subsystem gets no console of its own: streams the
// caller redirected come as inherited handles, a console the caller runs in
// has to be attached.
void UseCallersStreams() {
  const DWORD ids[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  bool missing = false;
  for (DWORD id : ids) missing |= !Usable(GetStdHandle(id));
  if (!missing || !AttachConsole(ATTACH_PARENT_PROCESS)) return;
  for (DWORD id : ids) {
    if (Usable(GetStdHandle(id))) continue;
    SetStdHandle(id, CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
  }
}

// False once the stream takes no more (its reader went away).
bool Put(DWORD id, const std::string& bytes) {
  HANDLE stream = GetStdHandle(id);
  for (size_t at = 0; at < bytes.size();) {
    DWORD wrote = 0;
    const DWORD count = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 20));
    if (!WriteFile(stream, bytes.data() + at, count, &wrote, nullptr) || wrote == 0) return false;
    at += wrote;
  }
  return true;
}

int Say(int code, const std::string& line) {
  Put(STD_ERROR_HANDLE, "Tavdesk: " + line + "\n");
  return code;
}

// ---- Time ----

class Deadline {
 public:
  explicit Deadline(int seconds)
      : given_(seconds >= 0), at_(GetTickCount64() + (seconds < 0 ? 0 : seconds * 1000ULL)) {}
  bool Given() const { return given_; }
  ULONGLONG At() const { return at_; }
  bool Passed() const { return given_ && GetTickCount64() >= at_; }
  DWORD Left() const {
    if (!given_) return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= at_ ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(at_ - now, INFINITE - 1));
  }

 private:
  bool given_;
  ULONGLONG at_;
};

// ---- FILE and the pipe ----

int ResolveFile(const std::string& file, std::string* full) {
  char path[kFileChars];
  const DWORD length = GetFullPathNameA(file.c_str(), sizeof path, path, nullptr);
  if (length == 0 || length >= sizeof path) return Say(kExitBadUse, file + ": path too long");
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Say(kExitBadUse, file + ": no such file");
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Say(kExitBadUse, file + ": is a folder");
  *full = path;
  return kExitDone;
}

struct Pipe {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
  ~Pipe() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// One instance under a name no other process can guess; the running copy
// opens it while it answers the hand-off.
bool CreateTextPipe(Pipe* pipe) {
  unsigned int random[2] = {};
  if (rand_s(&random[0]) || rand_s(&random[1])) return false;
  char name[96];
  std::snprintf(name, sizeof name, "%s%lx-%08x%08x", kPipePrefix, GetCurrentProcessId(),
                random[0], random[1]);
  pipe->name = name;
  pipe->handle = CreateNamedPipeA(
      name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      kPipeBytes, 0, nullptr);
  return pipe->handle != INVALID_HANDLE_VALUE;
}

// ---- Finding the running copy ----

// The normal program, without arguments, in a process of its own that
// outlives this one. It gets none of our handles: a copy that held the
// write end of a build's pipe would keep the build waiting for the end of
// our output until the window closed.
bool StartCopy() {
  char exe[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
  const char* slash = length && length < sizeof exe ? std::strrchr(exe, '\\') : nullptr;
  if (!slash) return false;
  const std::string folder(exe, static_cast<size_t>(slash - exe));
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inheritable, OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE) return false;
  for (DWORD id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    SetHandleInformation(GetStdHandle(id), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOEXA start = {};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  start.StartupInfo.wShowWindow = SW_SHOWNOACTIVATE;
  start.StartupInfo.hStdInput = start.StartupInfo.hStdOutput = start.StartupInfo.hStdError = nul;
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (size && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &nul, sizeof nul,
                                  nullptr, nullptr)) {
      start.lpAttributeList = list;
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
  }
  std::string command = "\"" + std::string(exe) + "\"";
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessA(exe, &command[0], nullptr, nullptr, TRUE, flags, nullptr,
                                      folder.c_str(), &start.StartupInfo, &process);
  if (size) DeleteProcThreadAttributeList(list);
  CloseHandle(nul);
  if (!started) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// What the hand-off got when no window took it.
constexpr HandOffAnswer kNoAnswer = static_cast<HandOffAnswer>(-1);

HandOffAnswer HandOff(HWND window, const std::vector<uint8_t>& body) {
  COPYDATASTRUCT data = {kHandOffTag, static_cast<DWORD>(body.size()),
                         const_cast<uint8_t*>(body.data())};
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                           SMTO_BLOCK | SMTO_ABORTIFHUNG, kHandOffMs, &answer))
    return kNoAnswer;
  return static_cast<HandOffAnswer>(answer);
}

// Answers that may change while we wait: a cable plugged in, a console
// that attaches.
bool Retryable(HandOffAnswer answer) {
  return answer == kNoAnswer || answer == HandOffAnswer::NoDevice ||
         answer == HandOffAnswer::NoSuchCable || answer == HandOffAnswer::NotConnected;
}

struct Outcome {
  int code;
  std::string why;
};

Outcome Reason(HandOffAnswer answer, const CommandLine& line) {
  const std::string cable = "\"" + line.cable + "\"";
  switch (answer) {
    case HandOffAnswer::Done: return {kExitDone, ""};
    case HandOffAnswer::Refused:
      return {kExitBadUse, "the running copy refused the request (another version?)"};
    case HandOffAnswer::NoDevice: return {kExitNoDevice, "no device"};
    case HandOffAnswer::NoSuchCable: return {kExitNoDevice, "no device named " + cable};
    case HandOffAnswer::SeveralDevices:
      return {kExitNoDevice, line.cable.empty()
                                 ? "several devices and none shown: name one with --cable"
                                 : "several devices are named " + cable};
    case HandOffAnswer::NotConnected: return {kExitNoDevice, "no console is connected on the device"};
    case HandOffAnswer::ExecuteFailed:
      return {kExitBadUse, line.file + ": Execute failed (not an ELF or IRX file, or unreadable)"};
    case HandOffAnswer::ResetFailed: return {kExitNoDevice, "Reset failed"};
    case HandOffAnswer::PipeFailed:
      return {kExitBadUse, "the running copy could not open the pipe for the console's text"};
  }
  return {kExitNoDevice, "no running copy answers"};
}

// Hands the request over, retrying while the answer may still change and
// there is time. On success `copy` is the running copy's process id.
int Deliver(const HandOffRequest& request, const CommandLine& line, const Deadline& deadline,
            DWORD* copy) {
  const std::vector<uint8_t> body = EncodeHandOff(request);
  ULONGLONG findUntil = deadline.Given() ? deadline.At() : GetTickCount64();
  bool startWaited = false;
  HandOffAnswer answer = kNoAnswer;
  for (;;) {
    HWND window = RunningCopyWindow();
    if (!window && !startWaited) {
      // None answers: start one, unless one is on its way up.
      if (!CopyIsRunning() && !StartCopy()) return Say(kExitNoDevice, "cannot start the program");
      startWaited = true;
      if (!deadline.Given()) findUntil = GetTickCount64() + kFirstCableWaitMs;
    }
    if (window) {
      answer = HandOff(window, body);
      if (answer == HandOffAnswer::Done) {
        GetWindowThreadProcessId(window, copy);
        return kExitDone;
      }
      if (!Retryable(answer)) break;
    }
    if (GetTickCount64() >= findUntil) break;
    Sleep(kRetryMs);
  }
  const Outcome outcome = Reason(answer, line);
  if (deadline.Given() && Retryable(answer)) return Say(kExitTimedOut, "timed out: " + outcome.why);
  return Say(outcome.code, outcome.why);
}

// ---- Following the console's text ----

// The running copy's last line, as printable text of a bounded length.
std::string Printable(std::string line) {
  if (line.size() > kEndLineChars) line.resize(kEndLineChars);
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return line;
}

class Event {
 public:
  Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (handle_) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Waits for an overlapped call on the pipe; false (the call cancelled) when
// `ms` passed first or it failed.
bool Finish(HANDLE pipe, OVERLAPPED* io, DWORD ms, DWORD* got, bool* timedOut) {
  *timedOut = WaitForSingleObject(io->hEvent, ms) != WAIT_OBJECT_0;
  if (*timedOut) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, io, got, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, io, got, FALSE) != FALSE;
}

int Follow(const Pipe& pipe, DWORD copy, const CommandLine& line, const Deadline& deadline) {
  Event event;
  if (!event.get()) return Say(kExitBadUse, "out of resources");
  OVERLAPPED io = {};
  io.hEvent = event.get();
  DWORD got = 0;
  bool timedOut = false;
  if (!ConnectNamedPipe(pipe.handle, &io)) {
    const DWORD error = GetLastError();
    const bool pending = error == ERROR_IO_PENDING;
    if ((pending && !Finish(pipe.handle, &io, kConnectMs, &got, &timedOut)) ||
        (!pending && error != ERROR_PIPE_CONNECTED))
      return Say(kExitDeviceGone, "the running copy did not open the pipe");
  }
  ULONG client = 0;
  if (GetNamedPipeClientProcessId(pipe.handle, &client) && client != copy)
    return Say(kExitBadUse, "another process opened the pipe");

  FrameReader frames;
  TextWatch watch(line.until);
  bool copying = line.tty;
  std::vector<char> buffer(kPipeBytes);
  for (;;) {
    ResetEvent(io.hEvent);
    got = 0;
    if (!ReadFile(pipe.handle, buffer.data(), kPipeBytes, &got, &io)) {
      if (GetLastError() != ERROR_IO_PENDING ||
          !Finish(pipe.handle, &io, deadline.Left(), &got, &timedOut)) {
        if (timedOut)
          return Say(kExitTimedOut,
                     line.until.empty() ? "timed out" : "timed out waiting for \"" + line.until + "\"");
        return Say(kExitDeviceGone, "the running copy stopped sending the console's text");
      }
    }
    // A byte pipe reads nothing only at its end; the copy never writes nothing.
    if (got == 0) return Say(kExitDeviceGone, "the running copy stopped sending the console's text");
    frames.Feed(buffer.data(), got);
    uint8_t kind = 0;
    std::string bytes;
    while (frames.Next(&kind, &bytes)) {
      if (kind == kFrameEnd) return Say(kExitDeviceGone, Printable(bytes));
      if (copying) copying = Put(STD_OUTPUT_HANDLE, bytes);
      if (!line.until.empty() && watch.Feed(bytes)) return kExitDone;
    }
    if (frames.Failed()) return Say(kExitDeviceGone, "unreadable text from the running copy");
  }
}

}  // namespace

bool HasCommandLine() { return __argc > 1; }

int RunCommandLine() {
  UseCallersStreams();
  const std::vector<std::string> args(__argv + 1, __argv + __argc);
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, &line, &error))
    return Say(kExitBadUse, error + " (--help prints the usage)");
  if (line.help) {
    Put(STD_OUTPUT_HANDLE, kUsage);
    return kExitDone;
  }
  HandOffRequest request;
  request.reset = line.reset;
  request.cable = line.cable;
  if (!line.file.empty()) {
    if (const int code = ResolveFile(line.file, &request.file)) return code;
  }
  Pipe pipe;
  const bool follows = line.tty || !line.until.empty();
  if (follows) {
    if (!CreateTextPipe(&pipe)) return Say(kExitBadUse, "cannot make a pipe for the console's text");
    request.pipe = pipe.name;
  }
  const Deadline deadline(line.timeoutSeconds);
  DWORD copy = 0;
  const int code = Deliver(request, line, deadline, &copy);
  if (code != kExitDone || !follows) return code;
  return Follow(pipe, copy, line, deadline);
}
