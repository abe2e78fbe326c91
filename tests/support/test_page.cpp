// TestPage: creates and tears down a real device page and reads back what
// its log view shows and what its queue still holds.
#include "tests/support/test_page.h"

#include <richedit.h>

#include <utility>

#include "ui/device_page.h"
#include "ui/log_queue.h"

std::string ViewText(HWND page) {
  std::string text;
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(&text), 0,
                       [](DWORD_PTR cookie, LPBYTE bytes, LONG count, LONG* done) -> DWORD {
                         reinterpret_cast<std::string*>(cookie)->append(reinterpret_cast<char*>(bytes), count);
                         *done = count;
                         return 0;
                       }};
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_STREAMOUT, SF_TEXT, reinterpret_cast<LPARAM>(&stream));
  return text;
}

TestPage::TestPage() {
  CreateSharedLock();
  parent_ = CreateWindowExA(0, "STATIC", "test parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 400,
                            nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  page_ = parent_ ? CreateDevicePage(parent_) : nullptr;
  if (!(record_ = NewDeviceRecord())) return;
  record_->page = page_;
  Attach(true);
}

TestPage::~TestPage() {
  if (record_) FreeLogEntries(record_->logHead);
  if (page_) DestroyWindow(page_);
  if (parent_) DestroyWindow(parent_);
  FreeDeviceRecord(record_);
}

void TestPage::Attach(bool attached) {
  SharedLockGuard guard;
  SetWindowLongPtrA(page_, DWLP_USER, attached ? reinterpret_cast<LONG_PTR>(record_) : 0);
}

std::vector<QueuedEntry> TestPage::Queued(bool take) {
  std::vector<QueuedEntry> entries;
  SharedLockGuard guard;
  for (const LogEntry* entry = record_->logHead; entry; entry = entry->next)
    entries.push_back({entry->colour, entry->text});
  if (take) FreeLogEntries(std::exchange(record_->logHead, nullptr));
  return entries;
}
