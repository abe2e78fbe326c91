// The worker fixture, the bounded message pump and the sound and timer spies.
#include "tests/support/worker_fixture.h"

#include <mmsystem.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "session/device_record.h"
#include "session/link_worker.h"
#include "sim/sim_driver.h"
#include "tests/support/import_patch.h"
#include "tests/support/test_page.h"
#include "ui/device_list.h"
#include "ui/main_window.h"

namespace {

std::mutex playedLock;
std::vector<int> played;

BOOL WINAPI RecordSound(LPCSTR sound, HMODULE, DWORD flags) {
  int which = sound == SoundData[0] ? 0 : sound == SoundData[1] ? 1 : sound == SoundData[2] ? 2 : -1;
  if (flags != (SND_ASYNC | SND_MEMORY)) which = -1;  // one that would hold the window up
  std::lock_guard<std::mutex> lock(playedLock);
  played.push_back(sound ? which : -1);
  return TRUE;
}

// Device records on pages of their own, decommitted (never reused) when
// freed, so that a touch of a freed record faults at once. The product
// allocates them with calloc and frees them with free, through the import
// table of this program.
using CallocProc = void*(__cdecl*)(size_t, size_t);
using FreeProc = void(__cdecl*)(void*);
extern "C" CallocProc __imp_calloc;
extern "C" FreeProc __imp_free;
CallocProc realCalloc;
FreeProc realFree;
std::atomic<void*> guarded[512];

void* GuardedCalloc(size_t count, size_t size) {
  if (count != 1 || size != sizeof(DeviceRecord)) return realCalloc(count, size);
  void* block = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  for (auto& slot : guarded) {
    void* none = nullptr;
    if (block && slot.compare_exchange_strong(none, block)) return block;
  }
  if (block) VirtualFree(block, 0, MEM_RELEASE);
  return realCalloc(count, size);
}

void GuardedFree(void* block) {
  for (auto& slot : guarded) {
    void* was = block;
    if (block && slot.compare_exchange_strong(was, nullptr)) {
      VirtualFree(block, sizeof(DeviceRecord), MEM_DECOMMIT);
      return;
    }
  }
  realFree(block);
}

using SetTimerProc = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC);
extern "C" SetTimerProc __imp_SetTimer;
SetTimerProc realSetTimer;
std::vector<TimerSet> timers;

// Top-level windows' only: a page sets its flush timer on every flush notice.
UINT_PTR WINAPI RecordTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc) {
  if (!GetParent(window)) {
    std::lock_guard<std::mutex> lock(playedLock);
    timers.push_back({window, id, ms});
  }
  return realSetTimer(window, id, ms, proc);
}

}  // namespace

void GuardDeviceRecords() {
  static const bool patched = [] {
    PatchImport(&__imp_free, GuardedFree, &realFree);
    PatchImport(&__imp_calloc, GuardedCalloc, &realCalloc);
    PatchImport(&__imp_SetTimer, RecordTimer, &realSetTimer);
    return true;
  }();
  (void)patched;
}

bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (done()) return true;
    if (GetTickCount64() > end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

int CountInPage(HWND page, const std::string& line) {
  const std::string text = ViewText(page);
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

bool SpyOnSounds() {
  static const bool patched = [] {
    HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto* target = reinterpret_cast<unsigned char*>(winmm ? GetProcAddress(winmm, "PlaySoundA") : nullptr);
    if (!target) return false;
    unsigned char jump[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};  // mov rax, ...; jmp rax
    const auto address = reinterpret_cast<uintptr_t>(&RecordSound);
    std::memcpy(jump + 2, &address, sizeof address);
    DWORD was = 0;
    VirtualProtect(target, sizeof jump, PAGE_EXECUTE_READWRITE, &was);
    std::memcpy(target, jump, sizeof jump);
    VirtualProtect(target, sizeof jump, was, &was);
    return FlushInstructionCache(GetCurrentProcess(), target, sizeof jump) != FALSE;
  }();
  TakeSounds();
  return patched;
}

std::vector<int> TakeSounds() {
  std::lock_guard<std::mutex> lock(playedLock);
  return std::exchange(played, {});
}

std::vector<TimerSet> TakeTimers() {
  std::lock_guard<std::mutex> lock(playedLock);
  return std::exchange(timers, {});
}

void WorkerTest::SetUp() {
  sim::SimDriver::Reset();
  ASSERT_TRUE(SpyOnSounds());
  GuardDeviceRecords();
  ASSERT_TRUE(MainWindow || CreateMainWindow());
  SetSharedFolder(folder_.Path().c_str());
  lstrcpynA(IniPath, folder_.File("t.ini").c_str(), kPathChars);
  LoadNotifySounds();
  ASSERT_TRUE(StartWorker());
}

void WorkerTest::TearDown() {
  EXPECT_TRUE(!WorkerThread || CloseAllDevices(true));
  EXPECT_EQ(nullptr, DeviceList);
  EXPECT_EQ(0, DeviceCount);
  PumpUntil([] { return true; });
  sim::SimDriver::Reset();
}
