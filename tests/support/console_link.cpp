// ConsoleLink and TempFolder: the simulated link and real files that the
// session suites run against.
#include "tests/support/console_link.h"

#include <filesystem>
#include <fstream>
#include <iterator>

TempFolder::TempFolder() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  static LONG counter = 0;
  do {
    path_ = temp + ("tavdesk-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(InterlockedIncrement(&counter)));
  } while (!CreateDirectoryA(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  std::ofstream file(File(name), std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  ASSERT_TRUE(file.flush()) << name;
}

bool TempFolder::Read(const std::string& name, std::vector<uint8_t>* bytes) const {
  std::ifstream file(File(name), std::ios::binary);
  if (file) bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return bool(file);
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
