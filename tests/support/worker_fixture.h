// The running program as the worker, device page and settings page suites
// need it: the real main window, default settings, the link worker's thread,
// a bounded message pump, a spy on the sounds, and a user who answers a
// dialog from another thread.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
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

// A user on a thread of its own waits (10 s at most) for a visible window of
// this process that holds `control` and hands it to `answer`, while this
// thread runs `open`, which shows that window modally. True when it came.
bool AnswerDialog(int control, const std::function<void()>& open,
                  const std::function<void(HWND)>& answer);
// The same for the Explorer-style file dialog: picks the filter (1-based;
// 0 keeps it), types `name` (none keeps the offered one) and presses OK, or
// Cancel. `offered` receives the name the dialog offered.
bool UseFileDialog(const std::function<void()>& open, const char* name, int filter = 0,
                   bool cancel = false, std::string* offered = nullptr);
