// A real device page for tests: the page from template 106 under a hidden
// top-level parent, with a zero-filled DeviceRecord attached as its dialog
// user data, and ways to read back the view and the queue without flushing.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "session/device_record.h"
#include "ui/resource.h"

struct QueuedEntry {
  COLORREF colour;
  std::string text;
};

class TestPage {
 public:
  // Creates the SharedLock if it does not exist yet; it is left in place.
  TestPage();
  // Frees the entries still queued, the page, its parent and the record.
  ~TestPage();
  TestPage(const TestPage&) = delete;
  TestPage& operator=(const TestPage&) = delete;

  bool ok() const { return page_ && record_; }
  HWND page() const { return page_; }
  HWND view() const { return GetDlgItem(page_, IDC_LOG_VIEW); }
  DeviceRecord* record() const { return record_; }

  // Sets the page's dialog user data to the record, or to none.
  void Attach(bool attached);

  // The view's text as the control streams it out (SF_TEXT, CRLF line ends).
  std::string ViewText() const;
  // The entries still queued, oldest first, read under the SharedLock.
  std::vector<QueuedEntry> Queued() const;
  // The same, and drops them from the queue as a flush would.
  std::vector<QueuedEntry> TakeQueued();

 private:
  HWND parent_ = nullptr;
  HWND page_ = nullptr;
  DeviceRecord* record_ = nullptr;
};
