// The running program as the worker and device page suites need it: the
// real main window, the settings at their defaults, the link worker's
// thread, a message pump with a bound, and a driver for the common file
// dialogs that fills them in from another thread as a user would.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_data.h"

// Handles the UI thread's messages until `done` holds; false when it did
// not within `ms`.
bool PumpUntil(const std::function<bool()>& done, DWORD ms = 10000);
// Lets every notice the worker has sent so far be handled.
void PumpPending();

// A page's log view as the control streams it out (SF_TEXT, CRLF).
std::string PageText(HWND page);
// How often `line` (a whole text, "\r\n" included) occurs in the page's view.
int CountInPage(HWND page, const std::string& line);

// Records the sounds the program plays instead of playing them: while it
// lives, the system's PlaySoundA jumps here (its first bytes are patched in
// this process only). A sound is recorded as its NotifySound number, found
// by its data among SoundData; -1 for anything else.
class SoundSpy {
 public:
  SoundSpy();
  ~SoundSpy();
  SoundSpy(const SoundSpy&) = delete;
  SoundSpy& operator=(const SoundSpy&) = delete;
  bool ok() const { return target_ != nullptr; }
  // The sounds played since the last call.
  std::vector<int> Take();

 private:
  unsigned char* target_ = nullptr;
  unsigned char saved_[12] = {};
};

// The main window (made once per process), the settings defaults and a
// running worker; the worker is stopped and every device closed by force
// afterwards.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  SettingsScope settings_;
  SoundSpy sounds_;
};

// Waits on its own thread for a file dialog with this title, then, as a
// user would, picks the filter (1-based; 0 leaves it), types the name (none:
// keeps the offered one) and presses OK, or presses Cancel.
class FileDialogDriver {
 public:
  static constexpr int kKeepFilter = 0;
  FileDialogDriver(const char* title, const char* name, int filter = kKeepFilter,
                   bool cancel = false);
  ~FileDialogDriver();
  // Joins the thread; true when the dialog was found and answered.
  bool Finish();
  // The file name the dialog offered before anything was typed.
  std::string Offered() { Finish(); return offered_; }

 private:
  std::thread thread_;
  bool answered_ = false;
  std::string offered_;
};
