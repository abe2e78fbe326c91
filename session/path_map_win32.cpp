#include "session/path_map_win32.h"

#include <windows.h>

using tavrin::AnsiCodePage;

namespace {

// A full path in UTF-16, so that it is compared by characters and not by
// bytes of the code page; empty when Windows can't make one (a path longer
// than the ANSI calls take, for one).
std::wstring FullPathOf(const std::string& path) {
  DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::string full(size, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return {};
  const int wide = MultiByteToWideChar(CP_ACP, 0, full.data(), int(length), nullptr, 0);
  if (wide <= 0) return {};
  std::wstring out(size_t(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, full.data(), int(length), &out[0], wide);
  return out;
}

std::wstring LongPathOf(const std::wstring& path) {
  DWORD size = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring out(size, L'\0');
  const DWORD length = GetLongPathNameW(path.c_str(), &out[0], size);
  if (length == 0 || length >= size) return {};
  out.resize(length);
  return out;
}

// The full path with its components in their long forms: the file's own
// long path when it exists, else its folder's with the last name as
// written (a file about to be created has no other). Empty when Windows
// can't make a full path.
std::wstring LongFullPathOf(const std::string& path) {
  const std::wstring full = FullPathOf(path);
  std::wstring longPath = full.empty() ? full : LongPathOf(full);
  if (!longPath.empty() || full.empty()) return longPath;
  const size_t slash = full.rfind(L'\\');
  if (slash == std::wstring::npos) return full;
  std::wstring folder = LongPathOf(full.substr(0, slash + 1));
  if (folder.empty()) return full;
  if (folder.back() != L'\\') folder += L'\\';
  return folder + full.substr(slash + 1);
}

struct FileIdentity {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

// The identity of an existing file, opened for no access so that nothing
// about it changes; false when it can't be opened, or when its file system
// gives no file index (0), which would tell nothing.
bool IdentityOf(const std::string& path, FileIdentity* identity) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok || (info.nFileIndexHigh == 0 && info.nFileIndexLow == 0)) return false;
  *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

}  // namespace

AnsiCodePage AnsiCodePageRules(unsigned codePage) {
  AnsiCodePage rules;
  CPINFO info;
  if (GetCPInfo(codePage, &info)) {
    for (int i = 0; i + 1 < MAX_LEADBYTES && (info.LeadByte[i] || info.LeadByte[i + 1]); i += 2)
      rules.AddLeadBytes(info.LeadByte[i], info.LeadByte[i + 1]);
  }
  // UTF-8 takes no best-fit flag; it writes every character anyway.
  const bool utf8 = (codePage == CP_ACP ? GetACP() : codePage) == CP_UTF8;
  const wchar_t kSuperscripts[3] = {0x00B9, 0x00B2, 0x00B3};
  for (int i = 0; i < 3; ++i) {
    char bytes[8];
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &kSuperscripts[i],
                                      1, bytes, sizeof bytes, nullptr, utf8 ? nullptr : &usedDefault);
    if (n > 0 && !usedDefault) rules.superscripts[i].assign(bytes, size_t(n));
  }
  return rules;
}

const AnsiCodePage& ProcessAnsiCodePage() {
  static const AnsiCodePage rules = AnsiCodePageRules(CP_ACP);
  return rules;
}

bool FullPathStaysInside(const std::string& base, const std::string& local) {
  std::wstring fullBase = FullPathOf(base.empty() ? "." : base);
  std::wstring fullLocal = FullPathOf(local);
  if (fullBase.empty() || fullLocal.empty()) return false;
  // With a backslash at the end of both, the base itself counts as inside
  // and C:\share2 does not.
  if (fullBase.back() != L'\\') fullBase += L'\\';
  if (fullLocal.back() != L'\\') fullLocal += L'\\';
  if (fullLocal.size() < fullBase.size()) return false;
  return CompareStringOrdinal(fullLocal.c_str(), int(fullBase.size()), fullBase.c_str(),
                              int(fullBase.size()), TRUE) == CSTR_EQUAL;
}

bool ReachesFile(const std::string& local, const std::string& guarded) {
  const std::wstring localPath = LongFullPathOf(local);
  const std::wstring guardedPath = LongFullPathOf(guarded);
  // A path Windows makes nothing of is judged to reach it: refusing is safe.
  if (localPath.empty() || guardedPath.empty()) return true;
  if (CompareStringOrdinal(localPath.c_str(), int(localPath.size()), guardedPath.c_str(),
                           int(guardedPath.size()), TRUE) == CSTR_EQUAL)
    return true;
  FileIdentity a, b;
  return IdentityOf(local, &a) && IdentityOf(guarded, &b) && a.volume == b.volume &&
         a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}
