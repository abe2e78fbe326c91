#include "session/path_map.h"

#include <cctype>
#include <cstring>

namespace tavrin {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Bytes in the character at `p`: a lead byte takes the byte after it, as
// Windows does when it turns the path into UTF-16, whatever that byte is.
size_t CharLength(const char* p, const AnsiCodePage& codePage) {
  return codePage.leadBytes[static_cast<unsigned char>(*p)] && p[1] ? 2 : 1;
}

// No double-byte code page that Windows runs with has a second byte below
// 0x40; what Windows makes of such a pair, or of a lead byte at the end, is
// nothing to build a check on.
bool IsBrokenPair(const char* p, const AnsiCodePage& codePage) {
  return codePage.leadBytes[static_cast<unsigned char>(*p)] &&
         static_cast<unsigned char>(p[1]) < 0x40;
}

const char* WithoutFirstSeparator(const char* path) {
  return IsSeparator(path[0]) ? path + 1 : path;
}

bool SameNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// The part of a component Windows compares with device names: up to the
// first dot character, trailing space characters dropped.
std::string DeviceStem(const std::string& component, const AnsiCodePage& codePage) {
  size_t end = 0;
  for (size_t i = 0; i < component.size();) {
    const size_t n = CharLength(component.c_str() + i, codePage);
    if (n == 1 && component[i] == '.') break;
    i += n;
    if (n == 2 || component[i - 1] != ' ') end = i;
  }
  return component.substr(0, end);
}

// Windows opens a device for these names in any folder, whatever follows
// the first dot, and after trimming trailing spaces.
bool IsReservedDevice(const std::string& component, const AnsiCodePage& codePage) {
  const std::string stem = DeviceStem(component, codePage);
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : kNames)
    if (SameNoCase(stem, name)) return true;
  if (stem.size() < 4) return false;
  const std::string prefix = stem.substr(0, 3);
  if (!SameNoCase(prefix, "COM") && !SameNoCase(prefix, "LPT")) return false;
  // The three ASCII letters are single characters, so the number is the rest.
  const std::string number = stem.substr(3);
  if (number.size() == 1 && number[0] >= '1' && number[0] <= '9') return true;
  for (const std::string& superscript : codePage.superscripts)
    if (!superscript.empty() && number == superscript) return true;
  return false;
}

bool OnlyDotsAndSpaces(const std::string& component) {
  // Dots and spaces are never second bytes of a pair that got this far.
  return component.find_first_not_of(". ") == std::string::npos;
}

bool EndsWithBackslash(const std::string& path, const AnsiCodePage& codePage) {
  bool last = false;
  for (size_t i = 0; i < path.size();) {
    const size_t n = CharLength(path.c_str() + i, codePage);
    last = n == 1 && path[i] == '\\';
    i += n;
  }
  return last;
}

}  // namespace

std::string JoinConsolePath(const std::string& base, const char* consolePath,
                            const AnsiCodePage& codePage) {
  std::string local = base;
  if (!local.empty() && !EndsWithBackslash(local, codePage)) local += '\\';
  for (const char* p = WithoutFirstSeparator(consolePath); *p;) {
    const size_t n = CharLength(p, codePage);
    if (n == 1 && *p == '/') local += '\\';
    else local.append(p, n);
    p += n;
  }
  return local;
}

bool ConsolePathStaysInside(bool baseEmpty, const char* consolePath, const AnsiCodePage& codePage) {
  const char* rest = WithoutFirstSeparator(consolePath);
  if (baseEmpty && IsSeparator(rest[0])) return false;

  long depth = 0;
  std::string component;
  for (const char* p = rest;; ) {
    if (*p && IsBrokenPair(p, codePage)) return false;
    const size_t n = CharLength(p, codePage);
    if (*p && !(n == 1 && IsSeparator(*p))) {
      if (n == 1 && *p == ':') return false;
      component.append(p, n);
      p += n;
      continue;
    }
    // A component ends at a separator character or at the end of the path.
    if (component == "..") {
      if (--depth < 0) return false;
    } else if (component.empty() || component == ".") {
      // a doubled separator or "here": no step
    } else if (OnlyDotsAndSpaces(component) || IsReservedDevice(component, codePage)) {
      return false;
    } else {
      ++depth;
    }
    if (!*p) return true;
    component.clear();
    ++p;
  }
}

}  // namespace tavrin
