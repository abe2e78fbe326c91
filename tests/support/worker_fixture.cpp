// The worker fixture, the bounded message pump, the sound spy and the
// dialog answers.
#include "tests/support/worker_fixture.h"

#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "session/device_record.h"
#include "session/link_worker.h"
#include "sim/sim_driver.h"
#include "tests/support/program_probe.h"
#include "tests/support/test_page.h"
#include "ui/main_window.h"

namespace {

// The Explorer-style file dialog's controls (Wine and Windows alike).
constexpr int kFileNameControl = 1148;  // cmb13
constexpr int kFilterControl = 1136;    // cmb1

std::mutex playedLock;
std::vector<int> played;

BOOL WINAPI RecordSound(LPCSTR sound, HMODULE, DWORD) {
  int which = -1;
  for (int i = 0; i < 3; ++i)
    if (sound && sound == SoundData[i]) which = i;
  std::lock_guard<std::mutex> lock(playedLock);
  played.push_back(which);
  return TRUE;
}

// Writes machine code over a function's first bytes.
void WriteCode(unsigned char* at, const unsigned char* code, size_t size) {
  DWORD was = 0;
  VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &was);
  std::memcpy(at, code, size);
  VirtualProtect(at, size, was, &was);
  FlushInstructionCache(GetCurrentProcess(), at, size);
}

}  // namespace

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

SoundSpy::SoundSpy() {
  HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  target_ = winmm ? reinterpret_cast<unsigned char*>(GetProcAddress(winmm, "PlaySoundA")) : nullptr;
  if (!target_) return;
  std::memcpy(saved_, target_, sizeof saved_);
  unsigned char jump[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};  // mov rax, ...; jmp rax
  const auto address = reinterpret_cast<uintptr_t>(&RecordSound);
  std::memcpy(jump + 2, &address, sizeof address);
  WriteCode(target_, jump, sizeof jump);
  Take();
}

SoundSpy::~SoundSpy() {
  if (target_) WriteCode(target_, saved_, sizeof saved_);
}

std::vector<int> SoundSpy::Take() {
  std::lock_guard<std::mutex> lock(playedLock);
  return std::exchange(played, {});
}

void WorkerTest::SetUp() {
  sim::SimDriver::Reset();
  ASSERT_TRUE(sounds_.ok());
  if (!MainWindow) {
    ASSERT_TRUE(CreateMainWindow());
  }
  ASSERT_TRUE(StartWorker());
}

void WorkerTest::TearDown() {
  if (WorkerThread) {
    EXPECT_TRUE(CloseAllDevices(true));
  }
  EXPECT_EQ(nullptr, DeviceList);
  EXPECT_EQ(0, DeviceCount);
  PumpUntil([] { return true; });
  sim::SimDriver::Reset();
}

bool AnswerDialog(int control, const std::function<void()>& open,
                  const std::function<void(HWND)>& answer) {
  bool found = false;
  std::thread user([&] {
    HWND dialog = nullptr;
    found = probe::WaitFor(
        [&] { return (dialog = probe::FindTopLevel(GetCurrentProcessId(), nullptr, control)) != nullptr; },
        10000);
    if (found) answer(dialog);
  });
  open();
  user.join();
  return found;
}

bool UseFileDialog(const std::function<void()>& open, const char* name, int filter, bool cancel,
                   std::string* offered) {
  return AnswerDialog(kFileNameControl, open, [&](HWND dialog) {
    char text[1024] = {};
    GetDlgItemTextA(dialog, kFileNameControl, text, sizeof text);
    if (offered) *offered = text;
    if (filter) {
      HWND combo = GetDlgItem(dialog, kFilterControl);
      SendMessageA(combo, CB_SETCURSEL, filter - 1, 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(kFilterControl, CBN_SELENDOK),
                   reinterpret_cast<LPARAM>(combo));
    }
    if (name) SetDlgItemTextA(dialog, kFileNameControl, name);
    SendMessageA(dialog, WM_COMMAND, cancel ? IDCANCEL : IDOK, 0);
  });
}
