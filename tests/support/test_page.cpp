// TestPage: creates and tears down a real device page and reads back what
// its log view shows and what its queue still holds.
#include "tests/support/test_page.h"

#include <utility>

#include "ui/device_page.h"
#include "log/log_queue.h"

std::string ViewText(HWND page) {
  HWND view = GetDlgItem(page, IDC_LOG_VIEW);
  std::string text(GetWindowTextLengthA(view) + 1, '\0');
  text.resize(GetWindowTextA(view, &text[0], int(text.size())));
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
  if (record_) FreeLogEntries(record_->log.head);
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
  for (const LogEntry* entry = record_->log.head; entry; entry = entry->next)
    entries.push_back({entry->colour, entry->text});
  if (!take) return entries;
  FreeLogEntries(std::exchange(record_->log.head, nullptr));
  record_->log.tail = nullptr;
  record_->log.backlog = 0;
  return entries;
}
