#include "session/path_map.h"

#include <cctype>
#include <cstring>

namespace tavrin {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

const char* WithoutFirstSeparator(const char* path) {
  return IsSeparator(path[0]) ? path + 1 : path;
}

bool SameNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// Windows opens a device for these names in any folder, whatever follows
// the first dot, and after trimming trailing spaces.
bool IsReservedDevice(const std::string& component) {
  std::string stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : kNames)
    if (SameNoCase(stem, name)) return true;
  // COM1-9 and LPT1-9, and the superscript digits 1 to 3 of the code page.
  const unsigned char digit = stem.size() == 4 ? static_cast<unsigned char>(stem[3]) : 0;
  if ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
    std::string prefix = stem.substr(0, 3);
    if (SameNoCase(prefix, "COM") || SameNoCase(prefix, "LPT")) return true;
  }
  return false;
}

bool OnlyDotsAndSpaces(const std::string& component) {
  return component.find_first_not_of(". ") == std::string::npos;
}

}  // namespace

std::string JoinConsolePath(const std::string& base, const char* consolePath) {
  std::string local = base;
  if (!local.empty() && local.back() != '\\') local += '\\';
  for (const char* p = WithoutFirstSeparator(consolePath); *p; ++p) local += *p == '/' ? '\\' : *p;
  return local;
}

bool ConsolePathStaysInside(bool baseEmpty, const char* consolePath) {
  const char* rest = WithoutFirstSeparator(consolePath);
  if (std::strchr(rest, ':')) return false;
  if (baseEmpty && IsSeparator(rest[0])) return false;

  long depth = 0;
  const char* p = rest;
  while (*p) {
    const char* end = p;
    while (*end && !IsSeparator(*end)) ++end;
    std::string component(p, end);
    if (component == "..") {
      if (--depth < 0) return false;
    } else if (component.empty() || component == ".") {
      // a doubled separator or "here": no step
    } else if (OnlyDotsAndSpaces(component) || IsReservedDevice(component)) {
      return false;
    } else {
      ++depth;
    }
    p = *end ? end + 1 : end;
  }
  return true;
}

}  // namespace tavrin
