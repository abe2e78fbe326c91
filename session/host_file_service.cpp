#include "session/host_file_service.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "config/settings.h"
#include "link/packet_format.h"
#include "session/path_map.h"
#include "session/path_map_win32.h"
#include "session/target_session.h"
#include "log/log_queue.h"

using namespace tavrin;

namespace {

constexpr int32_t kTtyHandle = 1;

std::atomic<TtyTap> Tap{nullptr};

// The settings page writes the flags on the UI thread; each is read here as
// one whole word.
bool Flag(const uint32_t& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED) != 0; }

int HostFlags(const HostOpenMode& mode) {
  int flags = _O_BINARY;
  flags |= mode.read && mode.write ? _O_RDWR : mode.write ? _O_WRONLY : _O_RDONLY;
  if (mode.append) flags |= _O_APPEND;
  if (mode.create) flags |= _O_CREAT;
  if (mode.truncate) flags |= _O_TRUNC;
  return flags;
}

int OpenHostFile(const char* path, int flags) {
  ReserveStandardDescriptors();
  return _open(path, flags, _S_IREAD | _S_IWRITE);
}

// A console at its limit is refused before anything is created.
bool RefuseWhenFull(TargetSession* session) {
  if (!session->Files().Full()) return false;
  AppendLogText(session->Page(), "Too many open files.\r\n", LogError);
  return true;
}

// Opens a file for the console, which then owns its descriptor.
int32_t OpenOwnedFile(TargetSession* session, const char* path, int flags) {
  const int handle = OpenHostFile(path, flags);
  if (handle >= 0) session->Files().Add(handle);
  return handle;
}

// Whether a request names a file of this console; the host's standard
// streams and another console's files are never its business.
bool ConsoleOwns(TargetSession* session, int32_t handle) {
  return session->Files().Owns(handle);
}

// The program's own exe and INI file are no console's business: one that
// could write them would run its own code, or widen its own access, at the
// program's next start, and the INI is refused for reading too. The running
// module stands for the exe, whatever its name.
bool ReachesProgramFiles(const std::string& local) {
  char exe[kPathChars];
  const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
  // A path cut short guards nothing: refuse rather than guess.
  if (length == 0 || length >= sizeof exe) return true;
  return ReachesFile(local, exe) || (IniPath[0] && ReachesFile(local, IniPath));
}

// A reply being built: its result and the data that go with it.
struct Reply {
  int32_t result = -1;
  uint8_t* data = nullptr;  // malloc'd, or none
  int32_t length = 0;
  ~Reply() { std::free(data); }
};

void LogOpenLine(HWND page, const char* prefix, const char* path) {
  AppendLogText(page, prefix, LogNotice);
  AppendLogText(page, path, LogNotice);
  AppendLogText(page, "\".\r\n", LogNotice);
}

// The system's words for an error, or its number when it has none.
std::string SystemMessage(DWORD error) {
  const std::string text = SystemText(error);
  return text.empty() ? "system error " + std::to_string(error) : text;
}

// An open that failed says why: the user sees the request in the log and
// would otherwise be left to guess.
void LogOpenFailure(HWND page, const char* what, const char* path) {
  const std::string line = std::string(what) + " \"" + path + "\" can't be opened: " +
                           SystemMessage(static_cast<DWORD>(_doserrno)) + ".\r\n";
  AppendLogText(page, line.c_str(), LogError);
}

int32_t ServeOpen(TargetSession* session, const uint8_t* body, uint32_t size) {
  OpenRequest request;
  if (!DecodeOpen(body, size, &request)) return -1;
  HWND page = session->Page();
  if (std::strcmp(request.path, "/dev/tty") == 0) return kTtyHandle;
  if (std::strcmp(request.path, "/exec/elf") == 0 || std::strcmp(request.path, "/exec/iop") == 0) {
    const char* executed = session->LastExecuted();
    if (!executed) {
      AppendLogText(page, "Exec failed.", LogError);
      return -1;
    }
    if (RefuseWhenFull(session)) return -1;
    const int32_t handle = OpenOwnedFile(session, executed, _O_RDONLY | _O_BINARY);
    if (handle < 0) LogOpenFailure(page, "The executed file", executed);
    return handle;
  }

  LogOpenLine(page, "Open file \"", request.path);
  if (RefuseWhenFull(session)) return -1;
  const HostOpenMode mode = TranslateOpenFlags(request.flags);
  char* local = MapConsolePath(session, request.path, mode);
  if (!local) return -1;
  LogOpenLine(page, "Local path is \"", local);
  const int32_t handle = OpenOwnedFile(session, local, HostFlags(mode));
  if (handle < 0) LogOpenFailure(page, "The file", local);
  std::free(local);
  return handle;
}

int32_t ServeClose(TargetSession* session, const uint8_t* body, uint32_t size) {
  CloseRequest request;
  if (!DecodeClose(body, size, &request)) return -1;
  if (request.handle == kTtyHandle) return 0;
  return session->Files().Close(request.handle);
}

void ServeRead(TargetSession* session, const uint8_t* body, uint32_t size, Reply* reply) {
  ReadRequest request;
  if (!DecodeRead(body, size, &request)) return;
  if (request.handle == kTtyHandle) {
    reply->result = 0;
    return;
  }
  if (!ConsoleOwns(session, request.handle)) return;
  const uint32_t count = std::min(request.count, kMaxReadCount);
  auto* buffer = static_cast<uint8_t*>(std::malloc(count ? count : 1));
  if (!buffer) return;
  reply->result = _read(request.handle, buffer, count);
  if (reply->result > 0) {
    reply->data = buffer;
    reply->length = reply->result;
  } else {
    std::free(buffer);
  }
}

int32_t ServeWrite(TargetSession* session, const uint8_t* body, uint32_t size) {
  WriteRequest request;
  if (!DecodeWrite(body, size, &request)) return -1;
  if (request.handle == kTtyHandle) {
    // The console's text goes into the log as it comes.
    AppendLogBytes(session->Page(), request.data, request.count, LogText);
    if (TtyTap tap = Tap.load()) tap(session->Page(), request.data, request.count);
    return static_cast<int32_t>(request.count);
  }
  if (!ConsoleOwns(session, request.handle)) return -1;
  if (Flag(Settings.readOnly)) {
    AppendLogText(session->Page(), "Write access denied.\r\n", LogError);
    return -1;
  }
  // Straight from the received body, no copy.
  return _write(request.handle, request.data, request.count);
}

// The tty has no position; descriptor 1 behind it is the host's own.
int32_t ServeLseek(TargetSession* session, const uint8_t* body, uint32_t size) {
  LseekRequest request;
  if (!DecodeLseek(body, size, &request) || !ConsoleOwns(session, request.handle)) return -1;
  return _lseek(request.handle, request.offset, request.whence);
}

// Answers a poll with the oldest command, or with a plain reply 0.
void ServePoll(TargetSession* session) {
  QueuedCommand* command = session->TakeOldest();
  if (!command) {
    session->SendReply(0, nullptr, 0);
    return;
  }
  int32_t result = 0;
  switch (command->command) {
    case kTagReset: result = session->SendReset(); break;
    case kTagExecElf: result = session->SendExecElf(command->path); break;
    case kTagExecIop: result = session->SendExecIop(command->path); break;
    case kTagQuit: result = session->SendQuit(); break;
    default: session->SendReply(0, nullptr, 0); break;
  }
  // The console is owed an answer to its poll when the command failed.
  if (result == -1) session->SendReply(0, nullptr, 0);
  FreeQueuedCommand(command);
}

}  // namespace

void SetTtyTap(TtyTap tap) { Tap.store(tap); }

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    int nul = _open("NUL", _O_RDWR | _O_BINARY);
    if (nul >= 0 && nul != fd) {
      _dup2(nul, fd);
      _close(nul);
    }
  }
}

char* MapConsolePath(TargetSession* session, const char* consolePath, const HostOpenMode& mode) {
  HWND page = session->Page();
  if (Flag(Settings.denyAll)) {
    AppendLogText(page, "File access denied.\r\n", LogError);
    return nullptr;
  }
  if (Flag(Settings.readOnly) && mode.Writes()) {
    AppendLogText(page, "Write access denied.\r\n", LogError);
    return nullptr;
  }
  try {
    std::string base;
    if (Flag(Settings.shareExecFolder)) {
      const char* executed = session->LastExecuted();
      if (!executed) {
        AppendLogText(page,
                      "No folder is shared yet: the shared folder follows the executed file, "
                      "and nothing was executed on this console.\r\n",
                      LogError);
        return nullptr;
      }
      const char* slash = std::strrchr(executed, '\\');
      if (slash) base.assign(executed, slash);
    } else {
      char folder[kPathChars];
      CopySharedFolder(folder, sizeof folder);
      if (!folder[0]) {
        AppendLogText(page, "No shared folder is set (Settings tab).\r\n", LogError);
        return nullptr;
      }
      base = folder;
    }
    const DWORD attributes = base.empty() ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesA(base.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      const std::string line = "The shared folder \"" + base + "\" does not exist.\r\n";
      AppendLogText(page, line.c_str(), LogError);
      return nullptr;
    }
    // Two checks that share no code, either of which stops a path that
    // leaves the base: ours on the console path's characters, and the full
    // path Windows itself makes of the result. Inside the base, the
    // program's own files are refused the same way.
    const AnsiCodePage& codePage = ProcessAnsiCodePage();
    const std::string local = JoinConsolePath(base, consolePath, codePage);
    if (!ConsolePathStaysInside(base.empty(), consolePath, codePage) ||
        !FullPathStaysInside(base, local) || ReachesProgramFiles(local)) {
      AppendLogText(page, "File access denied.\r\n", LogError);
      return nullptr;
    }
    char* copy = static_cast<char*>(std::malloc(local.size() + 1));
    if (copy) std::memcpy(copy, local.c_str(), local.size() + 1);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool ServeRequest(TargetSession* session) {
  PacketHeader header;
  uint8_t* body = nullptr;
  if (!session->ReceivePacket(&header, &body)) {
    AppendLogText(session->Page(), "Error recieving packet.\r\n", LogError);
    return false;
  }
  std::unique_ptr<uint8_t, void (*)(uint8_t*)> owned(body, FreePacketBody);
  const uint32_t size = header.bodySize;

  Reply reply;
  switch (header.tag) {
    case kTagOpen: reply.result = ServeOpen(session, body, size); break;
    case kTagClose: reply.result = ServeClose(session, body, size); break;
    case kTagRead: ServeRead(session, body, size, &reply); break;
    case kTagWrite: reply.result = ServeWrite(session, body, size); break;
    case kTagLseek: reply.result = ServeLseek(session, body, size); break;
    case kTagPoll: ServePoll(session); return true;
    default:
      AppendLogText(session->Page(), "Bad packet recieved.\r\n", LogError);
      session->SendReply(0, nullptr, 0);
      return false;
  }
  session->SendReply(reply.result, reply.data, reply.length);
  return true;
}

std::string SystemText(DWORD error) {
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, text, sizeof text, nullptr);
  while (length > 0 && std::strchr("\r\n. ", text[length - 1])) --length;
  return std::string(text, length);
}
