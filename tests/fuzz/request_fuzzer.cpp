// libFuzzer target over what a console can make the host decode: the bodies
// of the five file requests and the reply result word, each checked against
// the bytes it was given, and console paths through the mapping and the
// confinement check, judged by a resolver of its own. The first input byte
// picks the base folder and the code page; the rest is the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "session/path_map.h"
#include "session/request_format.h"
#include "tests/support/code_pages.h"

using namespace tavrin;

namespace {

void Check(bool condition) { if (!condition) std::abort(); }

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// An independent resolver: the path Windows would open, as a stack of
// components over the code page's characters (its lead bytes are data that
// checker and resolver share, held against Windows by session_test).
// `known` turns false where the outcome can't be told (a broken pair, a name
// of dots and spaces that Windows would trim), which the checker must never
// let through.
struct Resolved {
  std::vector<std::string> components;
  bool known = true;
  bool rooted = false;
};

Resolved Resolve(const std::string& path, const AnsiCodePage& page) {
  Resolved out;
  std::string name;
  for (size_t i = 0; i <= path.size(); ++i) {
    // The end of the path closes the last component like a separator.
    const unsigned char b = i < path.size() ? static_cast<unsigned char>(path[i]) : '\\';
    if (i < path.size() && page.leadBytes[b]) {
      if (i + 1 == path.size() || static_cast<unsigned char>(path[i + 1]) < 0x40) return {{}, false};
      name.append(path, i++, 2);
      continue;
    }
    if (b != '\\' && b != '/') {
      name += static_cast<char>(b);
      continue;
    }
    if (i == 0 && !path.empty()) out.rooted = true;
    if (name == "..") {
      if (out.components.empty()) out.known = false;
      else out.components.pop_back();
    } else if (!name.empty() && name != ".") {
      if (name.find_first_not_of(". ") == std::string::npos) out.known = false;
      out.components.push_back(name);
    }
    name.clear();
  }
  return out;
}

// ASCII letters folded to capitals, second bytes of pairs left alone.
std::string Upper(std::string s, const AnsiCodePage& page) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (page.leadBytes[static_cast<unsigned char>(s[i])]) ++i;
    else if (s[i] >= 'a' && s[i] <= 'z') s[i] = char(s[i] - 'a' + 'A');
  }
  return s;
}

bool NamesDevice(const std::string& component, const AnsiCodePage& page) {
  std::string stem = Upper(component.substr(0, component.find('.')), page);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (stem == name) return true;
  for (const char* prefix : {"COM", "LPT"}) {
    for (char d = '1'; d <= '9'; ++d)
      if (stem == std::string(prefix) + d) return true;
    for (const std::string& s : page.superscripts)
      if (!s.empty() && stem == prefix + s) return true;
  }
  return false;
}

// Whether the mapped path stays inside the base: it resolves to the base's
// components followed by names that are no device and no stream.
bool ResolvesInside(const std::string& base, const std::string& local, const AnsiCodePage& page) {
  const Resolved root = Resolve(base, page);
  const Resolved resolved = Resolve(local, page);
  if (!resolved.known || (base.empty() && resolved.rooted)) return false;
  const auto& b = root.components;
  const auto& l = resolved.components;
  if (l.size() < b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i)
    if (Upper(b[i], page) != Upper(l[i], page)) return false;
  for (size_t i = b.size(); i < l.size(); ++i)
    if (l[i].find(':') != std::string::npos) return false;
  return l.size() == b.size() || !NamesDevice(l.back(), page);
}

void MapPath(const std::string& base, const AnsiCodePage& page, const char* path) {
  if (ConsolePathStaysInside(base.empty(), path, page))
    Check(ResolvesInside(base, JoinConsolePath(base, path, page), page));
}

// Each decoder's verdict and fields against the body it was given; the path
// of an open through the mapping.
void DecodeAll(const uint8_t* b, uint32_t n, const std::string& base, const AnsiCodePage& page) {
  OpenRequest open;
  const bool terminated = n > 4 && std::memchr(b + 4, 0, n - 4);
  Check(DecodeOpen(b, n, &open) == terminated);
  if (terminated) {
    Check(open.flags == Le32(b) && open.path == reinterpret_cast<const char*>(b + 4));
    const HostOpenMode mode = TranslateOpenFlags(open.flags);
    Check(mode.Writes() == ((open.flags & 3) >= 2 || (open.flags & 0x700) != 0));
    Check(mode.read == ((open.flags & 3) != 2));
    MapPath(base, page, open.path);
  }
  // Each verdict, and when it is yes, each field.
  CloseRequest close;
  Check(DecodeClose(b, n, &close) == (n >= 4) && (n < 4 || close.handle == int32_t(Le32(b))));
  ReadRequest read;
  Check(DecodeRead(b, n, &read) == (n >= 8) && (n < 8 || (read.handle == int32_t(Le32(b)) && read.count == Le32(b + 4))));
  WriteRequest write;
  const bool fits = n >= 8 && Le32(b + 4) <= n - 8;
  Check(DecodeWrite(b, n, &write) == fits &&
        (!fits || (write.handle == int32_t(Le32(b)) && write.count == Le32(b + 4) && write.data == b + 8)));
  LseekRequest lseek;
  Check(DecodeLseek(b, n, &lseek) == (n >= 12) &&
        (n < 12 || (lseek.handle == int32_t(Le32(b)) && lseek.offset == int32_t(Le32(b + 4)) &&
                    lseek.whence == int32_t(Le32(b + 8)))));
  int32_t result = 0;
  Check(ReplyResult(b, n, &result) == (n >= 4) && (n < 4 || result == int32_t(Le32(b))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The last base ends with a kanji whose second byte is 0x5C in code page
  // 932: a backslash there only in the single-byte code pages.
  static const char* const kBases[] = {"C:\\share", "C:\\", "", "D:\\ps2\\", "C:\\\x95\x5C"};
  const std::string base = kBases[data[0] % 5];
  static const AnsiCodePage kPages[] = {KnownCodePage(1252), KnownCodePage(932), KnownCodePage(936),
                                         KnownCodePage(949), KnownCodePage(950)};
  const AnsiCodePage& page = kPages[data[0] / 5 % 5];
  // An exact-size copy, so any read past the body is caught.
  std::vector<uint8_t> body(data + 1, data + size);
  const uint8_t* b = body.empty() ? nullptr : body.data();
  const uint32_t n = static_cast<uint32_t>(body.size());

  DecodeAll(b, n, base, page);
  // The whole input as one console path.
  const std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
  MapPath(base, page, path.c_str());
  return 0;
}
