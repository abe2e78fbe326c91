// The running program as the worker suite and the trials need it: the real
// main window, default settings, the link worker's thread, a bounded
// message pump and spies on the sounds and the timers.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/console_link.h"
#include "tests/support/test_data.h"

// Handles the UI thread's messages until `done` holds; false after `ms`.
bool PumpUntil(const std::function<bool()>& done, DWORD ms = 10000);
// How often `line` occurs in the page's log view (as streamed out, CRLF).
int CountInPage(HWND page, const std::string& line);

// From the first call on, the system's PlaySoundA jumps to a recorder (its
// first bytes patched, in this process only, for good). A sound is recorded
// as its NotifySound number, found by its data among SoundData; -1 for
// others, and for one not played asynchronously from memory.
bool SpyOnSounds();
std::vector<int> TakeSounds();  // the sounds played since the last call

// From the first call on, every DeviceRecord lives on pages of its own that
// its release decommits: a freed record touched again faults at once; and
// SetTimer records a top-level window's timers (TakeTimers), then sets them.
void GuardDeviceRecords();
struct TimerSet { HWND window; UINT_PTR id; UINT ms; };
std::vector<TimerSet> TakeTimers();  // the timers set since the last call

// The main window (made once per process), default settings, a shared folder
// of its own that also holds the INI file, and a running worker; afterwards
// every device is closed by force and the worker stopped.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  SettingsScope settings_;
  TempFolder folder_;
};
