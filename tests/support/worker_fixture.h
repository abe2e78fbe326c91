// The running program as the worker, device page and settings page suites
// need it: the real main window, default settings, the link worker's thread,
// a bounded message pump, a spy on the sounds, and a user who answers a
// dialog from another thread.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_data.h"

// Handles the UI thread's messages until `done` holds; false after `ms`.
bool PumpUntil(const std::function<bool()>& done, DWORD ms = 10000);
// How often `line` occurs in the page's log view (as streamed out, CRLF).
int CountInPage(HWND page, const std::string& line);

// While it lives, the system's PlaySoundA jumps to a recorder (its first
// bytes patched in this process only). A sound is recorded as its
// NotifySound number, found by its data among SoundData; -1 for others.
class SoundSpy {
 public:
  SoundSpy();
  ~SoundSpy();
  bool ok() const { return target_ != nullptr; }
  std::vector<int> Take();  // the sounds played since the last call

 private:
  unsigned char* target_ = nullptr;
  unsigned char saved_[12] = {};
};

// The main window (made once per process), default settings and a running
// worker; afterwards every device is closed by force and the worker stopped.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  SettingsScope settings_;
  SoundSpy sounds_;
};

// A user who waits (10 s at most) on a thread of its own for a visible
// window of this process with this title (none: any) and this control, and
// then answers it with `answer`.
class DialogAnswer {
 public:
  DialogAnswer(const char* title, int control, std::function<void(HWND)> answer);
  ~DialogAnswer() { Finish(); }
  bool Finish();  // joins the thread; true when the dialog came

 private:
  bool found_ = false;
  std::thread thread_;
};

// The Explorer-style file dialog titled `title`: picks the filter (1-based;
// 0 keeps it), types `name` (none keeps the offered one) and presses OK, or
// presses Cancel. `offered` receives the name the dialog offered.
class FileDialogDriver : public DialogAnswer {
 public:
  FileDialogDriver(const char* title, const char* name, int filter = 0, bool cancel = false,
                   std::string* offered = nullptr);
};
