// libFuzzer target over what a console can make the host decode: the bodies
// of the five file requests, the reply result word, and console paths
// through the textual mapping and the confinement check. The first input
// byte picks the base folder; the rest is the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "session/path_map.h"
#include "session/request_format.h"

using namespace tavrin;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void MapPath(const std::string& base, const char* path) {
  const bool inside = ConsolePathStaysInside(base.empty(), path);
  const std::string local = JoinConsolePath(base, path);
  Check(local.compare(0, base.size(), base) == 0);
  if (!inside) return;
  // What is let through never names another drive or stream, never climbs
  // out of the base, and never roots a path the base didn't root.
  const std::string tail = local.substr(base.size());
  Check(tail.find(':') == std::string::npos);
  long depth = 0;
  size_t start = 0;
  while (start <= tail.size()) {
    size_t end = tail.find('\\', start);
    if (end == std::string::npos) end = tail.size();
    const std::string part = tail.substr(start, end - start);
    if (part == "..") Check(--depth >= 0);
    else if (!part.empty() && part != ".") ++depth;
    start = end + 1;
  }
  if (base.empty()) Check(local.empty() || local[0] != '\\');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kBases[] = {"C:\\share", "C:\\", "", "D:\\ps2\\"};
  const std::string base = kBases[data[0] % 4];
  // An exact-size copy, so any read past the body is caught.
  std::vector<uint8_t> body(data + 1, data + size);
  const uint8_t* b = body.empty() ? nullptr : body.data();
  const uint32_t n = static_cast<uint32_t>(body.size());

  OpenRequest open;
  if (DecodeOpen(b, n, &open)) {
    Check(open.path >= reinterpret_cast<const char*>(b) &&
          open.path + std::strlen(open.path) < reinterpret_cast<const char*>(b) + n);
    TranslateOpenFlags(open.flags);
    MapPath(base, open.path);
  }
  WriteRequest write;
  if (DecodeWrite(b, n, &write)) Check(write.count <= n - 8 && (write.count == 0 || write.data));
  CloseRequest close;
  DecodeClose(b, n, &close);
  ReadRequest read;
  DecodeRead(b, n, &read);
  LseekRequest lseek;
  DecodeLseek(b, n, &lseek);
  int32_t result;
  ReplyResult(b, n, &result);

  // The whole input as one console path.
  std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
  MapPath(base, path.c_str());
  return 0;
}
