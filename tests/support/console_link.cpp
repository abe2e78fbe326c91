// ConsoleLink and TempFolder: the simulated link and real files that the
// session suites run against.
#include "tests/support/console_link.h"

#include <cstdio>
#include <filesystem>

TempFolder::TempFolder() {
  char temp[MAX_PATH], name[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  static LONG counter = 0;
  do {
    std::snprintf(name, sizeof name, "%stavdesk-%lu-%ld", temp, GetCurrentProcessId(),
                  InterlockedIncrement(&counter));
  } while (!CreateDirectoryA(name, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  path_ = name;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  FILE* file = std::fopen(File(name).c_str(), "wb");
  ASSERT_TRUE(file) << name;
  const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  ASSERT_EQ(bytes.size(), written) << name;
}

bool TempFolder::Read(const std::string& name, std::vector<uint8_t>* bytes) const {
  FILE* file = std::fopen(File(name).c_str(), "rb");
  if (!file) return false;
  bytes->clear();
  for (int c; (c = std::fgetc(file)) != EOF;) bytes->push_back(static_cast<uint8_t>(c));
  std::fclose(file);
  return true;
}

bool TempFolder::Exists(const std::string& name) const {
  return GetFileAttributesA(File(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

ConsoleLink::ConsoleLink() {
  sim::SimDriver::Reset();
  cable_ = sim::SimDriver::Plug("cable");
  link_.Open(sim::SimDriver::DevicePath(cable_).c_str());
  session_ = std::make_unique<TargetSession>(page_.page(), &link_);
  page_.record()->link = &link_;
  page_.record()->session = session_.get();
  page_.record()->connected = 1;
  console_ = std::make_unique<sim::ConsoleEmulator>(
      [this] { return sim::SimDriver::AttachConsole(cable_); });
}

ConsoleLink::~ConsoleLink() {
  console_.reset();
  page_.record()->session = nullptr;
  page_.record()->link = nullptr;
  session_.reset();
  link_.Close();
  sim::SimDriver::Reset();
}
