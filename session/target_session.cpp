#include "session/target_session.h"

#include <cstdlib>
#include <cstring>

#include "link/packet_format.h"
#include "session/device_record.h"
#include "session/elf_check.h"

using namespace tavrin;

namespace {

// Appenders give way while the worker takes a command; the lock alone gives
// exclusion, the flag only keeps the UI thread out of the worker's path.
void WaitWhileBusy(const std::atomic<LONG>& busy) {
  while (busy.load()) Sleep(1);
}

class SessionLock {
 public:
  explicit SessionLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
  ~SessionLock() { LeaveCriticalSection(cs_); }

 private:
  CRITICAL_SECTION* cs_;
};

}  // namespace

void FreeQueuedCommand(QueuedCommand* command) {
  if (!command) return;
  std::free(command->path);
  std::free(command);
}

TargetSession::TargetSession(HWND page, LinkDevice* link)
    : PacketTransport(page, link), queue_(nullptr), lastExecuted_(nullptr), busy_(0) {
  InitializeCriticalSection(&lock_);
}

TargetSession::~TargetSession() {
  Clear();
  std::free(lastExecuted_);
  DeleteCriticalSection(&lock_);
}

bool TargetSession::Append(uint32_t command, char* path) {
  auto* entry = static_cast<QueuedCommand*>(std::calloc(1, sizeof(QueuedCommand)));
  if (!entry) return false;
  entry->command = command;
  entry->path = path;
  WaitWhileBusy(busy_);
  SessionLock lock(&lock_);
  QueuedCommand* last = queue_.load();
  if (!last) {
    queue_.store(entry);
    return true;
  }
  while (last->next) last = last->next;
  last->next = entry;
  return true;
}

QueuedCommand* TargetSession::TakeOldest() {
  // Only the worker removes commands, so a queue found non-empty here stays
  // non-empty until the lock is taken.
  if (!queue_.load()) return nullptr;
  busy_.store(1);
  QueuedCommand* oldest;
  {
    SessionLock lock(&lock_);
    oldest = queue_.load();
    queue_.store(oldest->next);
  }
  busy_.store(0);
  oldest->next = nullptr;
  return oldest;
}

bool TargetSession::Clear() {
  if (!queue_.load()) return false;
  WaitWhileBusy(busy_);
  QueuedCommand* list;
  {
    SessionLock lock(&lock_);
    list = queue_.exchange(nullptr);
  }
  while (list) {
    QueuedCommand* next = list->next;
    FreeQueuedCommand(list);
    list = next;
  }
  return true;
}

int32_t TargetSession::SendBare(uint32_t tag) {
  if (!SendPacket({0, tag}, nullptr)) return -1;
  return ReceiveReply();
}

int32_t TargetSession::SendReset() { return SendBare(kTagReset); }
int32_t TargetSession::SendQuit() { return SendBare(kTagQuit); }

// The command names the file by a fixed host path; the console then opens
// that path and is served the last executed file, so that is set when the
// command goes out, not when it was queued.
int32_t TargetSession::SendExec(uint32_t tag, const char* body, const char* path) {
  if (!path) return -1;
  std::free(lastExecuted_);
  lastExecuted_ = static_cast<char*>(std::malloc(std::strlen(path) + 1));
  if (!lastExecuted_) return -1;
  std::strcpy(lastExecuted_, path);
  if (!SendPacket({kExecPathSize, tag}, body)) return -1;
  return ReceiveReply();
}

int32_t TargetSession::SendExecElf(const char* path) {
  return SendExec(kTagExecElf, kExecElfPath, path);
}

int32_t TargetSession::SendExecIop(const char* path) {
  return SendExec(kTagExecIop, kExecIopPath, path);
}

namespace {

TargetSession* ConnectedSession(HWND page) {
  DeviceRecord* record = PageRecord(page);
  if (!record || !record->session || !record->connected) return nullptr;
  return record->session;
}

}  // namespace

bool QueueReset(HWND page) {
  TargetSession* session = ConnectedSession(page);
  return session && session->Append(kTagReset, nullptr);
}

bool QueueExecute(HWND page, char* path) {
  TargetSession* session = ConnectedSession(page);
  if (!session || !path) return false;
  // No sharing while it is read: the head must be what the console will load.
  HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  uint8_t head[kElfHeadSize];
  DWORD got = 0;
  BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
  CloseHandle(file);
  if (!read || got != sizeof head) return false;
  switch (ClassifyExecutable(head, got)) {
    case ExecKind::Iop: return session->Append(kTagExecIop, path);
    case ExecKind::Elf: return session->Append(kTagExecElf, path);
    default: return false;
  }
}
