// The formats of the command line: the caller's arguments, the request one
// copy of the program hands the running one (the body of a WM_COPYDATA,
// checked like bytes from a cable), and the frames in which the running copy
// sends a console's text back through the caller's pipe. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrin {

// What the caller was asked to do.
struct CommandLine {
  std::string cable;        // empty: the shown device, else the only one
  bool reset = false;
  std::string file;         // empty: none
  bool tty = false;
  std::string until;        // empty: no text to wait for
  int timeoutSeconds = -1;  // -1: none
  bool help = false;
};

// `args` without the program's name. False, with a one-line reason, for bad use.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// ---- The hand-off request ----

// COPYDATASTRUCT's dwData of a request, and the most bytes one may hold.
constexpr uint32_t kHandOffTag = 0x31445654;  // "TVD1"
constexpr size_t kMaxHandOffBytes = 2048;
// The name of every caller's pipe starts so; the running copy opens no other.
constexpr char kPipePrefix[] = "\\\\.\\pipe\\Tavdesk-";
// A file name buffer's size in characters, terminator included.
constexpr size_t kFileChars = 520;
constexpr size_t kMaxCableChars = 255;

struct HandOffRequest {
  bool reset = false;
  std::string cable;  // empty: the shown device, else the only one
  std::string file;   // a full path, or empty: nothing to execute
  std::string pipe;   // the caller's pipe for the console's text, or empty
};

std::vector<uint8_t> EncodeHandOff(const HandOffRequest& request);
// False for anything but a well-formed request: unknown version or flags,
// strings without terminator, too long or holding what they may not, bytes
// left over, a file path that is not a full one, a pipe of another name,
// or a request that asks for nothing.
bool DecodeHandOff(const uint8_t* body, size_t size, HandOffRequest* out);

// The running copy's answer (the message's result). 0 is what a window that
// does not take the message answers.
enum class HandOffAnswer : intptr_t {
  Refused = 0,
  Done = 1,
  NoDevice = 2,
  NoSuchCable = 3,
  SeveralDevices = 4,
  NotConnected = 5,
  ExecuteFailed = 6,
  ResetFailed = 7,
  PipeFailed = 8,
};

// ---- Text frames on the pipe: kind (1 byte), length (4 bytes), bytes ----

constexpr uint8_t kFrameText = 'T';  // the console's text; length 0 keeps the pipe alive
constexpr uint8_t kFrameEnd = 'E';   // the last frame: a line saying why the copy ends
constexpr uint32_t kMaxFrameBytes = 64 * 1024;

std::string EncodeFrame(uint8_t kind, const char* bytes, uint32_t count);

// Takes the pipe's bytes as they come and yields whole frames; a frame of an
// unknown kind or a length over the bound is an error, for good.
class FrameReader {
 public:
  void Feed(const char* bytes, size_t count) { pending_.append(bytes, count); }
  // The next whole frame, if one is there.
  bool Next(uint8_t* kind, std::string* bytes);
  bool Failed() const { return failed_; }

 private:
  std::string pending_;
  size_t at_ = 0;
  bool failed_ = false;
};

// Watches a stream of text for `text`, also when it comes cut across pieces.
class TextWatch {
 public:
  explicit TextWatch(std::string text) : text_(std::move(text)) {}
  // True once the text has been seen, in this piece or before.
  bool Feed(const std::string& piece);

 private:
  std::string text_;
  std::string tail_;  // the last bytes seen, fewer than the text's length
  bool seen_ = false;
};

}  // namespace tavrin
