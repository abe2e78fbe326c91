// The worker fixture, the bounded message pump, the sound spy and the
// dialog answers.
#include "tests/support/worker_fixture.h"

#include <richedit.h>

#include <cstring>
#include <mutex>

#include "session/device_record.h"
#include "session/link_worker.h"
#include "sim/sim_driver.h"
#include "tests/support/program_probe.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

DWORD CALLBACK CollectText(DWORD_PTR cookie, LPBYTE bytes, LONG count, LONG* done) {
  reinterpret_cast<std::string*>(cookie)->append(reinterpret_cast<char*>(bytes), count);
  *done = count;
  return 0;
}

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
  std::string text;
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(&text), 0, CollectText};
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_STREAMOUT, SF_TEXT, reinterpret_cast<LPARAM>(&stream));
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

SoundSpy::SoundSpy() {
  HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  target_ = winmm ? reinterpret_cast<unsigned char*>(GetProcAddress(winmm, "PlaySoundA")) : nullptr;
  if (!target_) return;
  std::memcpy(saved_, target_, sizeof saved_);
  // mov rax, RecordSound; jmp rax
  unsigned char jump[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
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
  std::vector<int> out;
  out.swap(played);
  return out;
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

DialogAnswer::DialogAnswer(const char* title, int control, std::function<void(HWND)> answer)
    : thread_([this, title = std::string(title ? title : ""), control, answer] {
        HWND dialog = nullptr;
        found_ = probe::WaitFor(
            [&] {
              dialog = probe::FindTopLevel(GetCurrentProcessId(),
                                           title.empty() ? nullptr : title.c_str(), control);
              return dialog != nullptr;
            },
            10000);
        if (found_) answer(dialog);
      }) {}

bool DialogAnswer::Finish() {
  if (thread_.joinable()) thread_.join();
  return found_;
}

FileDialogDriver::FileDialogDriver(const char* title, const char* name, int filter, bool cancel,
                                   std::string* offered)
    : DialogAnswer(title, kFileNameControl,
                   [name = std::string(name ? name : ""), keep = !name, filter, cancel,
                    offered](HWND dialog) {
                     char text[1024] = {};
                     GetDlgItemTextA(dialog, kFileNameControl, text, sizeof text);
                     if (offered) *offered = text;
                     if (filter) {
                       HWND combo = GetDlgItem(dialog, kFilterControl);
                       SendMessageA(combo, CB_SETCURSEL, filter - 1, 0);
                       SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(kFilterControl, CBN_SELENDOK),
                                    reinterpret_cast<LPARAM>(combo));
                     }
                     if (!keep) SetDlgItemTextA(dialog, kFileNameControl, name.c_str());
                     SendMessageA(dialog, WM_COMMAND, cancel ? IDCANCEL : IDOK, 0);
                   }) {}
