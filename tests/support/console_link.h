// A whole simulated link for session tests: a cable in the simulated driver,
// the host's LinkDevice opened on it, a real device page with its
// DeviceRecord, the TargetSession on both (connected), and the console
// emulator at the far end. Also a temporary folder for real files.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "link/link_device.h"
#include "session/host_file_service.h"
#include "session/target_session.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/test_page.h"

// A fresh, empty folder under the temporary folder, removed with its files.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  // The file's bytes; false when it can't be read.
  bool Read(const std::string& name, std::vector<uint8_t>* bytes) const;

 private:
  std::string path_;
};

class ConsoleLink {
 public:
  ConsoleLink();
  ~ConsoleLink();

  bool ok() const { return page_.ok() && link_.HasHandle(); }
  HWND page() const { return page_.page(); }
  DeviceRecord* record() const { return page_.record(); }
  TestPage& testPage() { return page_; }
  TargetSession& session() { return *session_; }
  LinkDevice* link() { return &link_; }
  sim::ConsoleEmulator& console() { return *console_; }

  // Serves one request with ServeRequest while the console's operation
  // runs, then hands back what the console got.
  template <typename T>
  T Serve(std::future<T> pending, bool expectServed = true) {
    const bool served = ServeRequest(session_.get());
    if (served != expectServed) ADD_FAILURE() << "ServeRequest returned " << served;
    return pending.get();
  }
  // Entries still queued for the log, and drop them.
  std::vector<QueuedEntry> TakeLog() { return page_.TakeQueued(); }

 private:
  int cable_;
  LinkDevice link_;
  TestPage page_;
  std::unique_ptr<TargetSession> session_;
  std::unique_ptr<sim::ConsoleEmulator> console_;
};
