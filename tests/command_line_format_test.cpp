// The command line's formats: the caller's arguments, the hand-off request
// a running copy takes from any process, and the text frames on the pipe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/command_line_format.h"

using namespace tavrin;

namespace {

// What a parse gave, in one line: the error, or the fields.
std::string Parse(std::vector<std::string> args) {
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, &line, &error)) return "error: " + error;
  return "cable=" + line.cable + " reset=" + std::to_string(line.reset) + " file=" + line.file +
         " tty=" + std::to_string(line.tty) + " until=" + line.until +
         " timeout=" + std::to_string(line.timeoutSeconds) + " help=" + std::to_string(line.help);
}

TEST(CommandLineFormatTest, Arguments) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"--until", "entry point", "--tty", "hello.elf"},
       "cable= reset=0 file=hello.elf tty=1 until=entry point timeout=-1 help=0"},
      {{"--cable", "Demo cable", "--reset", "--timeout", "30"},
       "cable=Demo cable reset=1 file= tty=0 until= timeout=30 help=0"},
      {{"--", "--odd.elf"}, "cable= reset=0 file=--odd.elf tty=0 until= timeout=-1 help=0"},
      {{"--help"}, "cable= reset=0 file= tty=0 until= timeout=-1 help=1"},
      {{"--timeout", "0", "--tty"}, "cable= reset=0 file= tty=1 until= timeout=0 help=0"},
      {{}, "error: nothing to do: give a FILE, --reset, --tty or --until"},
      {{"--timeout", "5"}, "error: nothing to do: give a FILE, --reset, --tty or --until"},
      {{"a.elf", "b.elf"}, "error: more than one FILE: b.elf"},
      {{"--tty", "--tty"}, "error: --tty is given twice"},
      {{"--until"}, "error: --until needs a value"},
      {{"--until", "", "a.elf"}, "error: --until needs a text of 1 to 1024 characters"},
      {{"--cable", "", "a.elf"}, "error: --cable needs a device name of 1 to 255 characters"},
      {{"--timeout", "-1", "a.elf"}, "error: --timeout needs a whole number of seconds from 0 to 86400"},
      {{"--timeout", "86401", "a.elf"}, "error: --timeout needs a whole number of seconds from 0 to 86400"},
      {{"--timeout", "1.5", "a.elf"}, "error: --timeout needs a whole number of seconds from 0 to 86400"},
      {{"-x", "a.elf"}, "error: unknown option -x"},
      {{""}, "error: FILE is empty"},
  };
  for (const auto& [args, expected] : rows) EXPECT_EQ(expected, Parse(args)) << args.size();
}

const char kPipe[] = "\\\\.\\pipe\\Tavdesk-1f-0123abcd";

std::vector<uint8_t> Body(uint32_t version, uint32_t flags, const std::string& strings) {
  std::vector<uint8_t> body;
  for (uint32_t value : {version, flags})
    for (int i = 0; i < 4; ++i) body.push_back(uint8_t(value >> (8 * i)));
  body.insert(body.end(), strings.begin(), strings.end());
  return body;
}

TEST(CommandLineFormatTest, HandOffRequestsDecodeOnlyWhenWellFormed) {
  const HandOffRequest sent = {true, "Demo cable", "C:\\games\\hello.elf", kPipe};
  const std::vector<uint8_t> body = EncodeHandOff(sent);
  HandOffRequest got;
  ASSERT_TRUE(DecodeHandOff(body.data(), body.size(), &got));
  EXPECT_EQ(std::make_tuple(true, sent.cable, sent.file, sent.pipe),
            std::make_tuple(got.reset, got.cable, got.file, got.pipe));

  using namespace std::string_literals;
  const std::pair<const char*, std::vector<uint8_t>> refused[] = {
      {"cut short", std::vector<uint8_t>(body.begin(), body.end() - 1)},
      {"a byte left over", Body(1, 1, "\0\0\0\0"s)},
      {"version 2", Body(2, 1, "\0\0\0"s)},
      {"unknown flag", Body(1, 3, "\0\0\0"s)},
      {"asks for nothing", Body(1, 0, "\0\0\0"s)},
      {"relative file", Body(1, 0, "\0hello.elf\0\0"s)},
      {"rooted file", Body(1, 0, "\0\\hello.elf\0\0"s)},
      {"device file", Body(1, 0, "\0\\\\.\\PhysicalDrive0\0\0"s)},
      {"file of 520", Body(1, 0, "\0C:\\" + std::string(517, 'a') + "\0\0"s)},
      {"other pipe", Body(1, 0, "\0\0\\\\.\\pipe\\other\0"s)},
      {"pipe prefix only", Body(1, 0, "\0\0\\\\.\\pipe\\Tavdesk-\0"s)},
      {"pipe with a slash", Body(1, 0, "\0\0\\\\.\\pipe\\Tavdesk-1\\x\0"s)},
      {"cable of 256", Body(1, 1, std::string(256, 'c') + "\0\0\0"s)},
      {"over the size bound", Body(1, 1, std::string(kMaxHandOffBytes, 'c') + "\0\0\0"s)},
  };
  for (const auto& [what, bad] : refused) EXPECT_FALSE(DecodeHandOff(bad.data(), bad.size(), &got)) << what;
  const std::vector<uint8_t> share = Body(1, 0, "\0\\\\server\\share\\a.elf\0\0"s);
  EXPECT_TRUE(DecodeHandOff(share.data(), share.size(), &got));
  EXPECT_FALSE(DecodeHandOff(nullptr, 0, &got));
}

TEST(CommandLineFormatTest, FramesAndTextAcrossAnyCut) {
  const std::string stream = EncodeFrame(kFrameText, "entry", 5) + EncodeFrame(kFrameText, "", 0) +
                             EncodeFrame(kFrameText, " point", 6) + EncodeFrame(kFrameEnd, "gone", 4);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameReader reader;
    TextWatch watch("entry point");
    std::string text, end;
    bool seenAt = false;
    for (const std::string& piece : {stream.substr(0, cut), stream.substr(cut)}) {
      reader.Feed(piece.data(), piece.size());
      uint8_t kind;
      std::string bytes;
      while (reader.Next(&kind, &bytes)) {
        (kind == kFrameEnd ? end : text) += bytes;
        if (kind == kFrameText && watch.Feed(bytes)) seenAt = true;
      }
    }
    EXPECT_EQ("entry point|gone|1", text + "|" + end + "|" + std::to_string(seenAt)) << cut;
  }
  const std::string unknown = "X" + EncodeFrame(kFrameText, "", 0).substr(1);
  std::string huge = EncodeFrame(kFrameText, "", 0);
  huge[1] = huge[3] = 1;  // one byte over the bound
  for (const std::string& frame : {unknown, huge}) {
    FrameReader reader;
    reader.Feed(frame.data(), frame.size());
    uint8_t kind;
    std::string bytes;
    EXPECT_TRUE(!reader.Next(&kind, &bytes) && reader.Failed()) << frame.size();
  }
}

}  // namespace
