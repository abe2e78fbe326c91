// The running copy's side of the command line: the main window's
// WM_COPYDATA, from whatever process, checked like bytes from a cable and
// then carried out exactly as the device page's buttons do it; and the
// copies of a device's tty text into callers' pipes. The worker hands text
// to a copy through the session's tty tap and never waits for a caller:
// each copy holds at most 4 MiB that its caller has not taken yet, and a
// thread of its own writes them out.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "link/link_device.h"
#include "session/device_record.h"
#include "session/host_file_service.h"
#include "ui/command_line.h"
#include "ui/command_line_format.h"
#include "ui/device_page.h"
#include "ui/main_window.h"

using namespace tavrin;

namespace {

constexpr size_t kMostHeldBytes = 4 * 1024 * 1024;
// Copies at a time, each with its thread and its hold: any process may ask.
constexpr size_t kMostCopies = 16;
// How often a copy's thread looks whether its device is still there; and
// after how long without text it sends an empty frame, which finds out a
// caller that went away.
constexpr DWORD kLookMs = 250;
constexpr ULONGLONG kKeepAliveMs = 2000;

const char kOverflowLine[] =
    "the console's text came faster than it was read: 4 MiB held, the copy ends here";
const char kNoMemoryLine[] = "no memory to hold the console's text, the copy ends here";
const char kDeviceGoneLine[] = "the device went away";
const char kFailedLine[] = "the request failed";

// One caller's copy of one device's text.
struct TextCopy {
  HWND page;
  HANDLE pipe;
  HANDLE wake;                // auto-reset: text or an end is there
  std::string held;           // text not taken yet; CopyLock
  size_t writing = 0;         // bytes the thread is writing; CopyLock
  const char* end = nullptr;  // set once the copy ends; CopyLock
};

// Made on the UI thread before the tap is set, and never deleted: a copy's
// thread may still run while the program ends.
CRITICAL_SECTION* CopyLock = nullptr;
std::vector<TextCopy*>* Copies = nullptr;

class CopyLockGuard {
 public:
  CopyLockGuard() { EnterCriticalSection(CopyLock); }
  ~CopyLockGuard() { LeaveCriticalSection(CopyLock); }
  CopyLockGuard(const CopyLockGuard&) = delete;
  CopyLockGuard& operator=(const CopyLockGuard&) = delete;
};

void EndUnderLock(TextCopy* copy, const char* why) {
  std::string().swap(copy->held);
  copy->end = why;
}

// The tty tap, on the worker thread.
void HoldText(HWND page, const uint8_t* bytes, uint32_t count) {
  CopyLockGuard guard;
  for (TextCopy* copy : *Copies) {
    if (copy->page != page || copy->end) continue;
    if (copy->held.size() + copy->writing + count > kMostHeldBytes) {
      EndUnderLock(copy, kOverflowLine);
    } else {
      try {
        copy->held.append(reinterpret_cast<const char*>(bytes), count);
      } catch (const std::bad_alloc&) {
        EndUnderLock(copy, kNoMemoryLine);
      }
    }
    SetEvent(copy->wake);
  }
}

bool WriteFrame(HANDLE pipe, uint8_t kind, const char* bytes, size_t count) {
  const std::string frame = EncodeFrame(kind, bytes, static_cast<uint32_t>(count));
  DWORD wrote = 0;
  return WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &wrote, nullptr) &&
         wrote == frame.size();
}

bool WriteText(HANDLE pipe, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += kMaxFrameBytes) {
    const size_t count = std::min<size_t>(text.size() - at, kMaxFrameBytes);
    if (!WriteFrame(pipe, kFrameText, text.data() + at, count)) return false;
  }
  return true;
}

void Forget(TextCopy* copy) {
  {
    CopyLockGuard guard;
    Copies->erase(std::remove(Copies->begin(), Copies->end(), copy), Copies->end());
  }
  CloseHandle(copy->pipe);
  if (copy->wake) CloseHandle(copy->wake);
  delete copy;
}

// The copy's own thread: a slow caller holds up only this thread. It ends
// after the end line, or when the caller has gone.
DWORD WINAPI WriteCopy(void* parameter) {
  auto* copy = static_cast<TextCopy*>(parameter);
  std::string text;
  ULONGLONG lastWrite = GetTickCount64();
  for (bool open = true; open;) {
    WaitForSingleObject(copy->wake, kLookMs);
    // Looked at before the text is taken: all the console wrote before its
    // device went is held by now.
    const bool gone = !IsWindow(copy->page);
    const char* end;
    {
      CopyLockGuard guard;
      text.swap(copy->held);
      copy->writing = text.size();
      end = copy->end;
    }
    if (!end && gone) end = kDeviceGoneLine;
    if (!text.empty() || GetTickCount64() - lastWrite >= kKeepAliveMs) {
      open = WriteText(copy->pipe, text) && (!text.empty() || WriteFrame(copy->pipe, kFrameText, "", 0));
      lastWrite = GetTickCount64();
    }
    text.clear();
    {
      CopyLockGuard guard;
      copy->writing = 0;
    }
    if (open && end) {
      WriteFrame(copy->pipe, kFrameEnd, end, std::strlen(end));
      open = false;
    }
  }
  Forget(copy);
  return 0;
}

// Opens the caller's pipe and starts copying the page's text into it.
// None when the pipe cannot be had.
TextCopy* StartTextCopy(HWND page, const std::string& pipeName) {
  if (!CopyLock) {
    CopyLock = new (std::nothrow) CRITICAL_SECTION;
    Copies = new (std::nothrow) std::vector<TextCopy*>;
    if (!CopyLock || !Copies) return nullptr;  // kept for a later try: memory is short anyway
    InitializeCriticalSection(CopyLock);
    SetTtyTap(HoldText);
  }
  {
    CopyLockGuard guard;
    if (Copies->size() >= kMostCopies) return nullptr;
  }
  // The caller is anyone: it may identify us, never act as us.
  HANDLE pipe = CreateFileA(pipeName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return nullptr;
  auto* copy = new (std::nothrow) TextCopy;
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!copy || !wake || GetFileType(pipe) != FILE_TYPE_PIPE) {
    delete copy;
    if (wake) CloseHandle(wake);
    CloseHandle(pipe);
    return nullptr;
  }
  copy->page = page;
  copy->pipe = pipe;
  copy->wake = wake;
  try {
    CopyLockGuard guard;
    Copies->push_back(copy);
  } catch (const std::bad_alloc&) {
    copy->wake = nullptr;
    CloseHandle(wake);
    CloseHandle(pipe);
    delete copy;
    return nullptr;
  }
  HANDLE thread = CreateThread(nullptr, 0, WriteCopy, copy, 0, nullptr);
  if (!thread) {
    Forget(copy);
    return nullptr;
  }
  CloseHandle(thread);
  return copy;
}

// Ends a copy, if its thread has not ended it already.
void EndTextCopy(TextCopy* copy, const char* why) {
  CopyLockGuard guard;
  if (std::find(Copies->begin(), Copies->end(), copy) == Copies->end()) return;
  if (!copy->end) EndUnderLock(copy, why);
  SetEvent(copy->wake);
}

// The device named `cable`; without a name, the one whose page is shown,
// else the only one. Tab titles need not differ: two of one name are
// refused rather than guessed between.
HandOffAnswer FindDevice(const std::string& cable, DeviceRecord** found) {
  int matches = 0;
  int devices = 0;
  for (DeviceRecord* record = DeviceList; record; record = record->next) {
    ++devices;
    const bool match = cable.empty() ? record->page == ShownPage
                                     : record->link && record->link->Name() == cable;
    if (match) {
      *found = record;
      ++matches;
    }
  }
  if (cable.empty() && matches == 0 && devices == 1) {
    *found = DeviceList;
    matches = 1;
  }
  if (matches == 1) return HandOffAnswer::Done;
  if (matches > 1) return HandOffAnswer::SeveralDevices;
  if (!cable.empty()) return HandOffAnswer::NoSuchCable;
  return devices ? HandOffAnswer::SeveralDevices : HandOffAnswer::NoDevice;
}

HandOffAnswer Answer(const COPYDATASTRUCT* data) {
  if (!data || data->dwData != kHandOffTag || !data->lpData || data->cbData > kMaxHandOffBytes)
    return HandOffAnswer::Refused;
  HandOffRequest request;
  if (!DecodeHandOff(static_cast<const uint8_t*>(data->lpData), data->cbData, &request))
    return HandOffAnswer::Refused;
  DeviceRecord* record = nullptr;
  const HandOffAnswer found = FindDevice(request.cable, &record);
  if (found != HandOffAnswer::Done) return found;
  if (record->closing) return HandOffAnswer::NoDevice;  // on its way out
  // Execute and Reset are disabled until the console is served.
  if (!record->session || !record->connected.load())
    return HandOffAnswer::NotConnected;
  HWND page = record->page;
  TextCopy* copy = nullptr;
  if (!request.pipe.empty() && !(copy = StartTextCopy(page, request.pipe)))
    return HandOffAnswer::PipeFailed;
  HandOffAnswer answer = HandOffAnswer::Done;
  if (request.reset && !ResetConsole(page))
    answer = HandOffAnswer::ResetFailed;
  else if (!request.file.empty() && !ExecuteFile(page, request.file.c_str()))
    answer = HandOffAnswer::ExecuteFailed;
  if (answer != HandOffAnswer::Done && copy) EndTextCopy(copy, kFailedLine);
  return answer;
}

}  // namespace

INT_PTR MainWindow_OnCopyData(HWND window, const COPYDATASTRUCT* data) {
  SetWindowLongPtrA(window, DWLP_MSGRESULT, static_cast<LONG_PTR>(Answer(data)));
  return TRUE;
}
