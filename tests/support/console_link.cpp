// ConsoleLink and TempFolder: the simulated link and real files that the
// session suites run against.
#include "tests/support/console_link.h"

#include <gtest/gtest.h>

#include <cstdio>


TempFolder::TempFolder() {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  static LONG counter = 0;
  for (;;) {
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%stavdesk-%lu-%ld", temp, GetCurrentProcessId(),
                  InterlockedIncrement(&counter));
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

namespace {

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = folder + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full);
      else
        DeleteFileA(full.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

}  // namespace

TempFolder::~TempFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

void TempFolder::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  HANDLE file = CreateFileA(File(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << name;
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(bytes.size(), written) << name;
}

bool TempFolder::Read(const std::string& name, std::vector<uint8_t>* bytes) const {
  HANDLE file = CreateFileA(File(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->assign(GetFileSize(file, nullptr), 0);
  DWORD got = 0;
  BOOL ok = bytes->empty() || ReadFile(file, bytes->data(), DWORD(bytes->size()), &got, nullptr);
  CloseHandle(file);
  return ok && got == bytes->size();
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
