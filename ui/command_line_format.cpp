#include "ui/command_line_format.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "link/byte_reader.h"

namespace tavrin {

namespace {

constexpr uint32_t kHandOffVersion = 1;
constexpr uint32_t kFlagReset = 1;
constexpr size_t kMaxUntilChars = 1024;
constexpr size_t kMaxPipeSuffix = 64;
constexpr int kMostTimeoutSeconds = 24 * 60 * 60;
constexpr size_t kFrameHead = 5;

bool ReadSeconds(const std::string& text, int* seconds) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > kMostTimeoutSeconds) return false;
  *seconds = value;
  return true;
}

// A full path: a drive letter with its backslash, or a share
// (\\server\share\...). Device namespaces (\\.\ and \\?\) are no file.
bool IsFullPath(const std::string& path) {
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                     path[1] == ':' && path[2] == '\\';
  const bool share = path.size() >= 5 && path[0] == '\\' && path[1] == '\\' && path[2] != '.' &&
                     path[2] != '?' && path[2] != '\\';
  return drive || share;
}

bool IsPipeName(const std::string& name) {
  const size_t prefix = std::strlen(kPipePrefix);
  if (name.size() <= prefix || name.size() > prefix + kMaxPipeSuffix) return false;
  if (name.compare(0, prefix, kPipePrefix) != 0) return false;
  return std::all_of(name.begin() + prefix, name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
  });
}

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutString(std::vector<uint8_t>* out, const std::string& text) {
  out->insert(out->end(), text.begin(), text.end());
  out->push_back(0);
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
  CommandLine line;
  std::set<std::string> given;
  bool optionsEnded = false;
  auto fail = [error](const std::string& why) {
    *error = why;
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (arg.empty()) return fail("FILE is empty");
      if (!line.file.empty()) return fail("more than one FILE: " + arg);
      line.file = arg;
      continue;
    }
    if (!given.insert(arg).second) return fail(arg + " is given twice");
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--reset") {
      line.reset = true;
    } else if (arg == "--tty") {
      line.tty = true;
    } else if (arg == "--cable" || arg == "--until" || arg == "--timeout") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--cable") {
        if (value.empty() || value.size() > kMaxCableChars)
          return fail("--cable needs a device name of 1 to 255 characters");
        line.cable = value;
      } else if (arg == "--until") {
        if (value.empty() || value.size() > kMaxUntilChars)
          return fail("--until needs a text of 1 to 1024 characters");
        line.until = value;
      } else if (!ReadSeconds(value, &line.timeoutSeconds)) {
        return fail("--timeout needs a whole number of seconds from 0 to 86400");
      }
    } else {
      return fail("unknown option " + arg);
    }
  }
  if (!line.help && line.file.empty() && !line.reset && !line.tty && line.until.empty())
    return fail("nothing to do: give a FILE, --reset, --tty or --until");
  *out = line;
  return true;
}

std::vector<uint8_t> EncodeHandOff(const HandOffRequest& request) {
  std::vector<uint8_t> body;
  PutU32(&body, kHandOffVersion);
  PutU32(&body, request.reset ? kFlagReset : 0);
  PutString(&body, request.cable);
  PutString(&body, request.file);
  PutString(&body, request.pipe);
  return body;
}

bool DecodeHandOff(const uint8_t* body, size_t size, HandOffRequest* out) {
  if (size > kMaxHandOffBytes) return false;
  ByteReader reader(body, size);
  const uint32_t version = reader.U32();
  const uint32_t flags = reader.U32();
  const char* cable = reader.CString();
  const char* file = reader.CString();
  const char* pipe = reader.CString();
  if (!reader.Ok() || reader.Remaining() != 0) return false;
  if (version != kHandOffVersion || (flags & ~kFlagReset) != 0) return false;
  HandOffRequest request;
  request.reset = (flags & kFlagReset) != 0;
  request.cable = cable;
  request.file = file;
  request.pipe = pipe;
  if (request.cable.size() > kMaxCableChars || request.file.size() >= kFileChars) return false;
  if (!request.file.empty() && !IsFullPath(request.file)) return false;
  if (!request.pipe.empty() && !IsPipeName(request.pipe)) return false;
  if (!request.reset && request.file.empty() && request.pipe.empty()) return false;
  *out = request;
  return true;
}

std::string EncodeFrame(uint8_t kind, const char* bytes, uint32_t count) {
  std::string frame(kFrameHead, '\0');
  frame[0] = static_cast<char>(kind);
  for (int i = 0; i < 4; ++i) frame[1 + i] = static_cast<char>(count >> (8 * i));
  frame.append(bytes, count);
  return frame;
}

bool FrameReader::Next(uint8_t* kind, std::string* bytes) {
  if (failed_) return false;
  if (at_ > 0) {
    pending_.erase(0, at_);
    at_ = 0;
  }
  if (pending_.size() < kFrameHead) return false;
  const auto* head = reinterpret_cast<const uint8_t*>(pending_.data());
  const uint32_t length = head[1] | head[2] << 8 | head[3] << 16 | uint32_t(head[4]) << 24;
  if ((head[0] != kFrameText && head[0] != kFrameEnd) || length > kMaxFrameBytes) {
    failed_ = true;
    return false;
  }
  if (pending_.size() - kFrameHead < length) return false;
  *kind = head[0];
  bytes->assign(pending_, kFrameHead, length);
  at_ = kFrameHead + length;
  return true;
}

bool TextWatch::Feed(const std::string& piece) {
  if (seen_ || text_.empty()) return seen_ = true;
  const std::string window = tail_ + piece;
  if (window.find(text_) != std::string::npos) return seen_ = true;
  const size_t keep = std::min(window.size(), text_.size() - 1);
  tail_.assign(window, window.size() - keep, keep);
  return false;
}

}  // namespace tavrin
