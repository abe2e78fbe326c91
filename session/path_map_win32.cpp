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
