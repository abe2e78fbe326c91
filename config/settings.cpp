// The one SettingsRecord of the process and its INI persistence, through the
// platform's private-profile struct calls (hex bytes plus a checksum byte).
// A load takes the stored bytes as they are; only sharedFolder is terminated.
#include "config/settings.h"

#include <cstring>

SettingsRecord Settings;
char IniPath[kPathChars];

namespace {

constexpr char kSection[] = "Tavdesk";
constexpr char kKey[] = "settings";

// The folder lock is made on first use and never deleted, so it exists
// before and after every thread that might take it.
struct FolderLock {
  CRITICAL_SECTION section;
  FolderLock() { InitializeCriticalSection(&section); }
};

CRITICAL_SECTION* FolderSection() {
  static FolderLock lock;
  return &lock.section;
}

class FolderGuard {
 public:
  FolderGuard() { EnterCriticalSection(FolderSection()); }
  ~FolderGuard() { LeaveCriticalSection(FolderSection()); }
  FolderGuard(const FolderGuard&) = delete;
  FolderGuard& operator=(const FolderGuard&) = delete;
};

}  // namespace

bool IniPathFromProgram(const char* program, char* out, size_t outSize) {
  static const char kExtension[] = ".ini";
  if (!out || outSize == 0) return false;
  out[0] = 0;
  if (!program) return false;
  const char* dot = strrchr(program, '.');
  size_t stem = dot ? static_cast<size_t>(dot - program) : strlen(program);
  if (stem + sizeof kExtension > outSize) return false;
  memcpy(out, program, stem);
  memcpy(out + stem, kExtension, sizeof kExtension);
  return true;
}

void InitSettings() {
  char program[kPathChars] = {};
  DWORD length = GetModuleFileNameA(nullptr, program, kPathChars);
  // A full buffer means the path was cut short; no INI path beats a wrong one.
  if (length == 0 || length >= kPathChars) program[0] = 0;
  if (!program[0] || !IniPathFromProgram(program, IniPath, kPathChars)) IniPath[0] = 0;
  LoadSettings();  // sets the defaults itself when it fails
}

void SetDefaultSettings() {
  SettingsRecord defaults = {};
  defaults.shareExecFolder = 1;
  if (const char* slash = strrchr(IniPath, '\\'))
    memcpy(defaults.sharedFolder, IniPath, static_cast<size_t>(slash - IniPath));
  defaults.priority = 1;
  defaults.colours[0] = RGB(0, 0, 0);
  defaults.colours[1] = RGB(255, 0, 0);
  defaults.colours[2] = RGB(0, 0, 160);
  memcpy(defaults.signature, "Mosk", sizeof defaults.signature);
  FolderGuard guard;
  Settings = defaults;
}

bool LoadSettings() {
  // Read into a copy: a bad checksum fails only after the buffer was filled.
  SettingsRecord stored;
  if (!IniPath[0] ||
      !GetPrivateProfileStructA(kSection, kKey, &stored, sizeof stored, IniPath)) {
    SetDefaultSettings();
    return false;
  }
  stored.sharedFolder[kPathChars - 1] = 0;
  FolderGuard guard;
  Settings = stored;
  return true;
}

void StoreSettings() {
  if (!IniPath[0]) return;
  // Only the UI thread writes the record and it is the one storing it.
  WritePrivateProfileStructA(kSection, kKey, &Settings, sizeof Settings, IniPath);
}

void CopySharedFolder(char* out, size_t outSize) {
  if (!out || outSize == 0) return;
  FolderGuard guard;
  size_t length = strnlen(Settings.sharedFolder, kPathChars);
  if (length > outSize - 1) length = outSize - 1;
  memcpy(out, Settings.sharedFolder, length);
  out[length] = 0;
}

void SetSharedFolder(const char* text) {
  if (!text) text = "";
  size_t length = strnlen(text, kPathChars - 1);
  FolderGuard guard;
  memcpy(Settings.sharedFolder, text, length);
  memset(Settings.sharedFolder + length, 0, kPathChars - length);
}
