// The SettingsRecord: every user setting in one 620-byte record, stored as a
// byte image under one key of the INI file beside the program. Its layout is
// a file format, so each offset is pinned below.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Every fixed path buffer of the program holds this many characters.
constexpr size_t kPathChars = 520;

struct SettingsRecord {
  uint32_t denyAll;
  uint32_t readOnly;
  uint32_t shareExecFolder;
  char sharedFolder[kPathChars];
  uint8_t priority;  // 0 low, 1 middle, anything else high
  uint8_t padding[3];
  uint32_t soundsOff;
  COLORREF colours[3];  // indexed by LogColour
  COLORREF customColours[16];
  char signature[4];  // "Mosk", no terminator; nobody reads it
};
static_assert(sizeof(SettingsRecord) == 620, "the stored value is exactly 620 bytes");
static_assert(offsetof(SettingsRecord, denyAll) == 0, "file format");
static_assert(offsetof(SettingsRecord, readOnly) == 4, "file format");
static_assert(offsetof(SettingsRecord, shareExecFolder) == 8, "file format");
static_assert(offsetof(SettingsRecord, sharedFolder) == 12, "file format");
static_assert(offsetof(SettingsRecord, priority) == 532, "file format");
static_assert(offsetof(SettingsRecord, padding) == 533, "file format");
static_assert(offsetof(SettingsRecord, soundsOff) == 536, "file format");
static_assert(offsetof(SettingsRecord, colours) == 540, "file format");
static_assert(offsetof(SettingsRecord, customColours) == 552, "file format");
static_assert(offsetof(SettingsRecord, signature) == 616, "file format");

// Written by the UI thread only (start-up, then the settings page); the
// worker reads the flags as whole words and copies sharedFolder with
// CopySharedFolder.
extern SettingsRecord Settings;
// The INI file's path, filled once by InitSettings. Empty when the program's
// path left no room for the extension; loads then fail and stores do nothing.
extern char IniPath[kPathChars];

// The INI path for a program path: the text from the last '.' of the whole
// path replaced by ".ini", or ".ini" appended when there is no '.'. False
// (and `out` empty) when the result does not fit in outSize characters.
bool IniPathFromProgram(const char* program, char* out, size_t outSize);

// Start-up: fills IniPath, then loads the record or sets the defaults.
void InitSettings();
// True when the stored record was read (taken as stored, but for the last
// byte of sharedFolder, which is forced to NUL); false after the defaults.
bool LoadSettings();
void StoreSettings();
void SetDefaultSettings();

// sharedFolder under a lock of its own, which exists before any thread that
// could race for it: the settings page writes the folder with
// SetSharedFolder (cut to 519 characters) while the worker copies it whole.
// The copy is always terminated, cut to outSize - 1 characters if need be.
void CopySharedFolder(char* out, size_t outSize);
void SetSharedFolder(const char* text);
