// TargetSession: the protocol state of one cable's console. It is the
// cable's PacketTransport plus the CommandQueue of commands waiting for the
// console's next poll, the file last sent for execution, a lock, a busy
// flag and the files the console has open. The UI thread appends commands;
// the link worker takes and sends them while it serves a poll.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "link/packet_transport.h"
#include "session/console_files.h"

// One waiting command: a zero-filled heap record. The path is a heap string
// (malloc) that the record owns; none for reset and quit.
struct QueuedCommand {
  QueuedCommand* next;
  uint32_t command;  // the tag of the command packet to send
  char* path;
};

// Releases a command taken off the queue, path included.
void FreeQueuedCommand(QueuedCommand* command);

class TargetSession : public PacketTransport {
 public:
  TargetSession(HWND page, LinkDevice* link);
  ~TargetSession();
  TargetSession(const TargetSession&) = delete;
  TargetSession& operator=(const TargetSession&) = delete;

  // Queues behind the others. On success the command owns `path`; on
  // failure the caller keeps it.
  bool Append(uint32_t command, char* path);
  // The oldest command, unlinked, or none. Worker thread only; the caller
  // releases it with FreeQueuedCommand.
  QueuedCommand* TakeOldest();
  // Releases every queued command; false when there was nothing.
  bool Clear();
  // An atomic read of the front, without the lock.
  bool QueueEmpty() const { return queue_.load() == nullptr; }

  // The command senders: -1 when the command couldn't be sent or no
  // ReplyPacket came back, else the console's result. Worker thread only.
  int32_t SendReset();
  int32_t SendQuit();
  int32_t SendExecElf(const char* path);
  int32_t SendExecIop(const char* path);

  // The path of the file last sent for execution, or none. Worker thread.
  const char* LastExecuted() const { return lastExecuted_; }

  // The files this console has open; they close with the session.
  ConsoleFiles& Files() { return files_; }

 private:
  int32_t SendBare(uint32_t tag);
  int32_t SendExec(uint32_t tag, const char* body, const char* path);

  std::atomic<QueuedCommand*> queue_;  // the oldest command
  char* lastExecuted_;                 // heap copy, worker thread only
  CRITICAL_SECTION lock_;              // guards the queue's links
  std::atomic<LONG> busy_;             // 1 while the worker takes a command
  ConsoleFiles files_;
};

// Commands from the device page (UI thread). Both find the page's
// DeviceRecord and fail, queuing nothing, unless it has a TargetSession and
// its console is connected; neither logs.
bool QueueReset(HWND page);
// Checks the file's first 18 bytes (the ELF magic, and e_type 0xFF80 for an
// IRX module) and queues execute ELF or execute IOP. On success `path` (a
// malloc'd string) passes to the queue; on failure the caller keeps it.
bool QueueExecute(HWND page, char* path);
