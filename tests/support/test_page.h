// A real device page for tests: the page from template 106 under a hidden
// top-level parent, with a zero-filled DeviceRecord as its dialog user data.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "session/device_record.h"
#include "ui/resource.h"

struct QueuedEntry { COLORREF colour; std::string text; };

// A page's log view as its window text (CRLF line ends).
std::string ViewText(HWND page);

class TestPage {
 public:
  TestPage();   // creates the SharedLock if there is none yet, and leaves it
  ~TestPage();  // frees the entries still queued, the page and the record
  TestPage(const TestPage&) = delete;
  TestPage& operator=(const TestPage&) = delete;

  bool ok() const { return page_ && record_; }
  HWND page() const { return page_; }
  DeviceRecord* record() const { return record_; }
  void Attach(bool attached);  // the record as the page's user data, or none
  // The entries still queued, oldest first, read under the SharedLock; taking
  // them also frees them, as a flush would.
  std::vector<QueuedEntry> Queued(bool take = false);
  std::vector<QueuedEntry> TakeQueued() { return Queued(true); }

 private:
  HWND parent_ = nullptr, page_ = nullptr;
  DeviceRecord* record_ = nullptr;
};
