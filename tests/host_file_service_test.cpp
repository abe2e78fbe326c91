// The host file service: the real ServeRequest against the console emulator
// over the simulated cable, with real files in a temporary folder.
#include "session/host_file_service.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"
#include "ui/log_queue.h"

using namespace tavrin;
using sim::Call;
using sim::HostReply;
using sim::SimDriver;

namespace {

class HostFileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.shareExecFolder = 0;
    SetSharedFolder(folder_.Path().c_str());
    ASSERT_TRUE(link_.ok());
  }
  void TearDown() override { EXPECT_TRUE(link_.console().Violations().empty()); }

  // Each serves one request of the console and gives what it got back.
  HostReply Open(uint32_t flags, const std::string& path) { return Serve(Console().Open(flags, path)); }
  int32_t Close(int32_t handle) { return Serve(Console().Close(handle)).result; }
  HostReply Read(int32_t handle, uint32_t count) { return Serve(Console().Read(handle, count)); }
  int32_t Write(int32_t h, const std::vector<uint8_t>& data) { return Serve(Console().Write(h, data)).result; }
  int32_t Lseek(int32_t h, int32_t offset, int32_t whence) {
    return Serve(Console().Lseek(h, offset, whence)).result;
  }
  HostReply Serve(std::future<HostReply> pending) { return link_.Serve(std::move(pending)); }
  sim::ConsoleEmulator& Console() { return link_.console(); }
  // The texts queued for the log since the last look, each with its colour.
  std::vector<QueuedEntry> Log() { return link_.TakeLog(); }
  // The "Open file" line: three texts at the head of the log.
  static void ExpectOpenLine(const std::vector<QueuedEntry>& log, const std::string& path) {
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ("Open file \"", log[0].text);
    EXPECT_EQ(path, log[1].text);
    EXPECT_EQ("\".\r\n", log[2].text);
  }

  SettingsScope settings_;
  TempFolder folder_;
  ConsoleLink link_;
};

TEST_F(HostFileServiceTest, FilesMoveByteExactBothWaysAndReadsStopAtTheEnd) {
  const std::vector<uint8_t> data = Pattern(1 << 20, 1);
  const int32_t h = Open(0x602, "/big.bin").result;  // write, create, truncate
  ASSERT_GE(h, 3);
  for (auto at = data.begin(); at != data.end(); at += 64 << 10)
    ASSERT_EQ(64 << 10, Write(h, std::vector<uint8_t>(at, at + (64 << 10))));
  EXPECT_EQ(0, Close(h));
  std::vector<uint8_t> onDisk;
  ASSERT_TRUE(folder_.Read("big.bin", &onDisk));
  EXPECT_TRUE(onDisk == data);

  const int32_t r = Open(1, "/big.bin").result;
  ASSERT_GE(r, 3);
  EXPECT_EQ(int32_t(data.size()), Lseek(r, 0, 2));
  EXPECT_EQ(int32_t(data.size()) - 10, Lseek(r, -10, 2));
  EXPECT_EQ(int32_t(data.size()) - 7, Lseek(r, 3, 1));
  EXPECT_EQ(std::vector<uint8_t>(data.end() - 7, data.end()), Read(r, 100).data);
  EXPECT_EQ(0, Read(r, 100).result);
  EXPECT_EQ(-1, Lseek(r, 0, 7));  // no such whence
  // A read of nothing, and a console asking for everything gets what there is.
  EXPECT_EQ(0, Lseek(r, 0, 0));
  EXPECT_EQ(0, Read(r, 0).result);
  EXPECT_TRUE(Read(r, 0xFFFFFFFF).data == data);
  EXPECT_EQ(0, Close(r));
  EXPECT_EQ(-1, Close(r));
  EXPECT_EQ(-1, Read(r, 1).result);
}

// What the file system shows after an open with each flag combination and a
// write of "XY" through the handle.
TEST_F(HostFileServiceTest, OpenFlagsAgainstTheFileSystem) {
  struct Row {
    uint32_t flags;
    bool exists;        // "abc" is there before the open
    bool opens;
    int32_t written;    // result of writing "XY"
    const char* after;  // the file afterwards; null: no file
  } rows[] = {
      {0x001, true, true, -1, "abc"},      // read
      {0x000, true, true, -1, "abc"},      // none given: read
      {0x001, false, false, 0, nullptr},
      {0x002, true, true, 2, "XYc"},       // write
      {0x003, true, true, 2, "XYc"},       // read and write
      {0x102, true, true, 2, "abcXY"},     // write, append
      {0x202, false, true, 2, "XY"},       // write, create
      {0x202, true, true, 2, "XYc"},       // create keeps an existing file
      {0x402, true, true, 2, "XY"},        // write, truncate
      {0x402, false, false, 0, nullptr},   // truncate needs the file
      {0x201, false, true, -1, ""},        // read, create: an empty file
      {0x8000F002, true, true, 2, "XYc"},  // other bits are ignored
  };
  int n = 0;
  for (auto& row : rows) {
    const std::string name = "f" + std::to_string(n++) + ".bin";
    if (row.exists) folder_.Write(name, Bytes("abc"));
    const int32_t h = Open(row.flags, "/" + name).result;
    EXPECT_EQ(row.opens, h >= 3) << name;
    if (h >= 3) {
      EXPECT_EQ(row.written, Write(h, Bytes("XY"))) << name;
      EXPECT_EQ(0, Close(h));
    }
    std::vector<uint8_t> content;
    EXPECT_EQ(row.after != nullptr, folder_.Read(name, &content)) << name;
    if (row.after) {
      EXPECT_EQ(Bytes(row.after), content) << name;
    }
  }
}

TEST_F(HostFileServiceTest, TheTtyIsHandleOneAndOnlyItsExactPath) {
  Settings.denyAll = Settings.readOnly = 1;  // neither touches the tty
  for (uint32_t flags : {0u, 0x703u}) EXPECT_EQ(1, Open(flags, "/dev/tty").result);
  EXPECT_EQ(5, Write(1, Bytes("hello")));
  // A write to the tty takes its bytes as they come, NULs and all.
  EXPECT_EQ(3, Write(1, {'a', 0, 'b'}));
  auto log = Log();
  ASSERT_EQ(2u, log.size());  // nothing but the text: no "Open file" lines
  for (auto& entry : log) EXPECT_EQ(Settings.colours[LogText], entry.colour);
  EXPECT_EQ("hello", log[0].text);
  EXPECT_EQ("a", log[1].text);
  EXPECT_EQ(0, Close(1));
  EXPECT_EQ(0, Read(1, 10).result);

  Settings.denyAll = Settings.readOnly = 0;
  CreateDirectoryA(folder_.File("dev").c_str(), nullptr);
  folder_.Write("dev\\tty0", Bytes("t"));
  const int32_t h = Open(1, "/dev/tty0").result;
  EXPECT_GE(h, 3);
  EXPECT_EQ(0, Close(h));
  log = Log();
  ASSERT_EQ(6u, log.size());
  ExpectOpenLine(log, "/dev/tty0");
  EXPECT_EQ("Local path is \"", log[3].text);
  EXPECT_EQ(folder_.File("dev\\tty0"), log[4].text);
  for (auto& entry : log) EXPECT_EQ(Settings.colours[LogNotice], entry.colour);
}

TEST_F(HostFileServiceTest, DenyAllAndReadOnlyRefuseOpensButNotHandlesOpenedBefore) {
  folder_.Write("a.txt", Bytes("data"));
  const int32_t reader = Open(1, "/a.txt").result;
  const int32_t writer = Open(2, "/a.txt").result;
  ASSERT_GE(reader, 3);
  ASSERT_GE(writer, 3);
  struct Row {
    uint32_t denyAll, readOnly, flags;
    const char* refusal;  // none: the open succeeds
  } rows[] = {
      {1, 0, 0x001, "File access denied.\r\n"}, {0, 1, 0x001, nullptr},
      {0, 1, 0x000, nullptr},                   {0, 1, 0x002, "Write access denied.\r\n"},
      {0, 1, 0x003, "Write access denied.\r\n"}, {0, 1, 0x101, "Write access denied.\r\n"},
      {0, 1, 0x201, "Write access denied.\r\n"}, {0, 1, 0x401, "Write access denied.\r\n"},
  };
  for (auto& row : rows) {
    Settings.denyAll = row.denyAll;
    Settings.readOnly = row.readOnly;
    Log();
    const int32_t h = Open(row.flags, "/a.txt").result;
    EXPECT_EQ(!row.refusal, h >= 3) << std::hex << row.flags;
    if (h >= 3) {
      EXPECT_EQ(0, Close(h));
    }
    auto log = Log();
    ASSERT_EQ(row.refusal ? 4u : 6u, log.size()) << std::hex << row.flags;
    ExpectOpenLine(log, "/a.txt");
    EXPECT_EQ(row.refusal ? row.refusal : "Local path is \"", log[3].text);
    EXPECT_EQ(Settings.colours[row.refusal ? LogError : LogNotice], log[3].colour);
  }
  Settings.denyAll = 1;
  EXPECT_EQ(Bytes("data"), Read(reader, 10).data);
  Log();
  EXPECT_EQ(-1, Write(writer, Bytes("XY")));
  auto log = Log();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Write access denied.\r\n", log[0].text);
  EXPECT_EQ(Settings.colours[LogError], log[0].colour);
  std::vector<uint8_t> content;
  ASSERT_TRUE(folder_.Read("a.txt", &content));
  EXPECT_EQ(Bytes("data"), content);
  EXPECT_EQ(0, Close(reader));
  EXPECT_EQ(0, Close(writer));
}

TEST_F(HostFileServiceTest, ExecutedFileIsServedAndItsFolderShared) {
  EXPECT_EQ(-1, Open(1, "/exec/elf").result);
  auto log = Log();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Exec failed.", log[0].text);
  EXPECT_EQ(Settings.colours[LogError], log[0].colour);

  // Sharing the executed file's folder, with nothing executed yet: no base.
  Settings.shareExecFolder = 1;
  EXPECT_EQ(-1, Open(1, "/data.bin").result);
  EXPECT_EQ(3u, Log().size());  // the "Open file" line alone

  // Execute an IRX module; "/exec/elf" serves it all the same.
  CreateDirectoryA(folder_.File("ps2").c_str(), nullptr);
  const std::vector<uint8_t> module = ElfHead(0x80, 0xFF);
  folder_.Write("ps2\\mod.irx", module);
  folder_.Write("ps2\\data.bin", Bytes("beside the module"));
  ASSERT_TRUE(QueueExecute(link_.page(), HeapCopy(folder_.File("ps2\\mod.irx"))));
  EXPECT_EQ(0x02, link_.Serve(Console().Poll(0)).code);

  Settings.denyAll = 1;  // does not touch the executed file
  for (const char* special : {"/exec/elf", "/exec/iop"}) {
    const int32_t h = Open(0x703, special).result;
    ASSERT_GE(h, 3) << special;
    EXPECT_EQ(module, Read(h, 1000).data) << special;
    EXPECT_EQ(-1, Write(h, Bytes("no"))) << special;  // opened for reading only
    EXPECT_EQ(0, Close(h));
  }
  EXPECT_TRUE(Log().empty());
  Settings.denyAll = 0;
  const int32_t h = Open(1, "/data.bin").result;
  ASSERT_GE(h, 3);
  EXPECT_EQ(Bytes("beside the module"), Read(h, 100).data);
  EXPECT_EQ(0, Close(h));
  log = Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(folder_.File("ps2\\data.bin"), log[4].text);
}

// The path rules themselves are path_map_test's; here, that an open request
// goes through them and says so in the log.
TEST_F(HostFileServiceTest, PathsThatLeaveTheBaseAreDenied) {
  CreateDirectoryA(folder_.File("a").c_str(), nullptr);
  folder_.Write("b.txt", Bytes("inside"));
  struct Row {
    const char* path;
    bool opens;
  } rows[] = {{"/a/../b.txt", true}, {"/../b.txt", false}, {"/b.txt:s", false}};
  for (auto& row : rows) {
    const int32_t h = Open(1, row.path).result;
    EXPECT_EQ(row.opens, h >= 3) << row.path;
    auto log = Log();
    if (row.opens) {
      Close(h);
      continue;
    }
    ASSERT_EQ(4u, log.size()) << row.path;
    EXPECT_EQ(row.path, log[1].text);
    EXPECT_EQ("File access denied.\r\n", log[3].text) << row.path;
  }
  // No shared folder: nothing beyond the "Open file" line.
  SetSharedFolder("");
  EXPECT_EQ(-1, Open(1, "/b.txt").result);
  EXPECT_EQ(3u, Log().size());

  // An executed file named without a folder gives an empty base: paths stay
  // relative, and a second leading separator, which would root the path, is
  // refused.
  ASSERT_TRUE(link_.session().Append(kTagExecElf, HeapCopy("demo.elf")));
  link_.Serve(link_.console().Poll(0));
  Settings.shareExecFolder = 1;
  Log();
  Open(1, "/x.bin");
  auto relative = Log();
  ASSERT_EQ(6u, relative.size());
  EXPECT_EQ("x.bin", relative[4].text);
  EXPECT_EQ(-1, Open(1, "//srv/share/x").result);
  auto rooted = Log();
  ASSERT_EQ(4u, rooted.size());
  EXPECT_EQ("File access denied.\r\n", rooted[3].text);
}

// Each body is too short for its fields or its count, and names a handle
// that is open: a decoder that took it anyway would act on that handle.
TEST_F(HostFileServiceTest, MalformedRequestsAreAnsweredMinusOne) {
  folder_.Write("a.txt", Bytes("data"));
  const int32_t h = Open(3, "/a.txt").result;
  ASSERT_GE(h, 3);
  const uint8_t b = static_cast<uint8_t>(h);
  Log();
  struct Row {
    const char* what;
    uint8_t code;
    std::vector<uint8_t> body;
  } rows[] = {
      {"open, empty", 0x10, {}},
      {"open, path unterminated", 0x10, {1, 0, 0, 0, '/', 'a', '.', 't'}},
      {"close, 3 bytes", 0x11, {b, 0, 0}},
      {"read, 4 bytes", 0x12, {b, 0, 0, 0}},
      {"write, count beyond body", 0x13, {b, 0, 0, 0, 200, 0, 0, 0, 'h', 'i'}},
      {"tty write, count one beyond body", 0x13, {1, 0, 0, 0, 3, 0, 0, 0, 'h', 'i'}},
      {"write, 6 bytes", 0x13, {b, 0, 0, 0, 0, 0}},
      {"lseek, 8 bytes", 0x14, {b, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (auto& row : rows) {
    HostReply reply = Serve(Console().Request(row.code, row.body));
    EXPECT_TRUE(reply.ok && reply.result == -1 && reply.data.empty()) << row.what;
  }
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Bytes("data"), Read(h, 10).data);  // still open, nothing written
  EXPECT_EQ(0, Close(h));
  // A poll's body is not looked at.
  EXPECT_EQ(0, Serve(Console().Request(0x15, {1, 2, 3})).result);
}

TEST_F(HostFileServiceTest, UnknownTagsAreAnsweredZeroAndNothingReceivedIsNotServed) {
  for (uint8_t code : {0x16, 0x20, 0x00}) {
    HostReply reply = link_.Serve(Console().Request(code, {1, 0, 0, 0}), false);
    EXPECT_TRUE(reply.ok && reply.result == 0) << int(code);
    auto log = Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("Bad packet recieved.\r\n", log[0].text);
    EXPECT_EQ(Settings.colours[LogError], log[0].colour);
  }
  Console().Detach();
  const uint64_t writes = SimDriver::Count(Call::Write);
  EXPECT_FALSE(ServeRequest(&link_.session()));
  auto log = Log();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Error recieving packet.\r\n", log[0].text);
  EXPECT_EQ(writes, SimDriver::Count(Call::Write));  // no reply went out
}

TEST_F(HostFileServiceTest, HandleOneIsNeverAFileButItsSeekIsTheHosts) {
  folder_.Write("a.txt", Bytes("x"));
  // Something closed descriptor 1: the next file must still not get it.
  const int saved = _dup(1);
  ASSERT_GE(saved, 0);
  _close(1);
  const int32_t h = Open(1, "/a.txt").result;
  EXPECT_GE(h, 3);
  EXPECT_EQ(0, Close(h));
  // The tty's close never closes descriptor 1; its lseek is the host's own
  // seek on descriptor 1, here a file of 5 bytes.
  folder_.Write("out.txt", Bytes("12345"));
  const int out = _open(folder_.File("out.txt").c_str(), _O_RDWR | _O_BINARY);
  _dup2(out, 1);
  _close(out);
  EXPECT_EQ(0, Close(1));
  const intptr_t stillOpen = _get_osfhandle(1);
  const int32_t end = Lseek(1, 0, SEEK_END);
  _dup2(saved, 1);
  _close(saved);
  EXPECT_NE(-1, stillOpen);
  EXPECT_EQ(5, end);
}

// Descriptors 0 and 2 are the host's own standard streams, here files at
// position 1: each request kind on them answers -1 and leaves them as they
// were.
TEST_F(HostFileServiceTest, HandlesZeroAndTwoStayTheHosts) {
  ReserveStandardDescriptors();
  const int streams[] = {0, 2};
  int saved[2];
  for (int i = 0; i < 2; ++i) {
    const std::string name = "stream" + std::to_string(i);
    folder_.Write(name, Bytes("abc"));
    saved[i] = _dup(streams[i]);
    const int file = _open(folder_.File(name).c_str(), _O_RDWR | _O_BINARY);
    ASSERT_GE(file, 3);
    _dup2(file, streams[i]);
    _close(file);
    _lseek(streams[i], 1, SEEK_SET);
  }
  for (int32_t h : streams) {
    EXPECT_EQ(-1, Read(h, 2).result) << h;
    EXPECT_EQ(-1, Write(h, Bytes("XY"))) << h;
    EXPECT_EQ(-1, Lseek(h, 0, SEEK_END)) << h;
    EXPECT_EQ(-1, Close(h)) << h;
    EXPECT_EQ(1, _lseek(h, 0, SEEK_CUR)) << h;  // still open, not moved
  }
  for (int i = 0; i < 2; ++i) {
    _dup2(saved[i], streams[i]);
    _close(saved[i]);
    std::vector<uint8_t> content;
    ASSERT_TRUE(folder_.Read("stream" + std::to_string(i), &content));
    EXPECT_EQ(Bytes("abc"), content) << streams[i];
  }
  EXPECT_TRUE(Log().empty());
}

// The program's own exe and INI file, with the shared folder set to the
// program's folder. The running test program stands for Tavdesk.exe and
// IniPath is made from its path as at start-up, so the names below are the
// test program's, the code the same.
class ProgramFilesTest : public HostFileServiceTest {
 protected:
  void SetUp() override {
    HostFileServiceTest::SetUp();
    std::memcpy(savedIni_, IniPath, sizeof savedIni_);
    char exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
    exe_ = exe;
    programFolder_ = exe_.substr(0, exe_.rfind('\\'));
    const size_t dot = exe_.rfind('.');
    stem_ = exe_.substr(programFolder_.size() + 1, dot - programFolder_.size() - 1);
    ASSERT_TRUE(IniPathFromProgram(exe, IniPath, kPathChars));
    SetSharedFolder(programFolder_.c_str());
    ASSERT_TRUE(WriteText(IniPath, "[Tavdesk]\r\nsettings=00\r\n"));
  }
  void TearDown() override {
    for (const std::string& made : {std::string(IniPath), Here("alias.ini"), Here("other.txt"),
                                    Here("new.txt")})
      DeleteFileA(made.c_str());
    std::memcpy(IniPath, savedIni_, sizeof savedIni_);
    HostFileServiceTest::TearDown();
  }

  // A file of this test's own in the program's folder.
  std::string Here(const std::string& name) const {
    return programFolder_ + "\\" + stem_ + "-" + name;
  }
  static std::string Name(const std::string& path) { return path.substr(path.rfind('\\') + 1); }
  static bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    return bool(file << text);
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  void ExpectRefused(uint32_t flags, const std::string& path) {
    SCOPED_TRACE(path);
    EXPECT_EQ(-1, Open(flags, path).result) << std::hex << flags;
    auto log = Log();
    ASSERT_EQ(4u, log.size()) << std::hex << flags;  // no "Local path is" line
    EXPECT_EQ("File access denied.\r\n", log[3].text);
    EXPECT_EQ(Settings.colours[LogError], log[3].colour);
  }

  char savedIni_[kPathChars];
  std::string exe_;
  std::string programFolder_;
  std::string stem_;
};

TEST_F(ProgramFilesTest, TheExeAndIniAreRefusedByAnyNameForReadingAndWriting) {
  const std::string ini = Name(IniPath);
  std::string upper = stem_;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  // Wine makes up 8.3 names on the fly (a hash, such as HOST~40U.INI) and
  // opens files by them, as Windows does by the names it stores.
  char shortPath[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(IniPath, shortPath, sizeof shortPath), 0u);
  const std::string shortName = Name(shortPath);
  ASSERT_NE(0, _stricmp(shortName.c_str(), ini.c_str())) << shortName;
  // A hard link has a long name of its own: only the file's identity gives
  // it away.
  DeleteFileA(Here("alias.ini").c_str());  // left by a run that was killed
  ASSERT_TRUE(CreateHardLinkA(Here("alias.ini").c_str(), IniPath, nullptr));
  const std::string before = ReadText(IniPath);
  const std::string exeBefore = ReadText(exe_);

  const std::string refused[] = {
      "/" + ini,         "/" + upper + ".ini", "/" + stem_ + ".INI", "/" + shortName,
      "/" + stem_ + ".exe", "./" + ini,         "/" + ini + ". .",    "/" + Name(Here("alias.ini")),
  };
  for (const std::string& path : refused)
    for (uint32_t flags : {0x1u, 0x602u})  // read; write, create, truncate
      ExpectRefused(flags, path);
  EXPECT_EQ(before, ReadText(IniPath));
  EXPECT_EQ(exeBefore, ReadText(exe_));

  // Other files in the folder open as before, for reading and for writing.
  ASSERT_TRUE(WriteText(Here("other.txt"), "other"));
  const int32_t read = Open(0x1, "/" + Name(Here("other.txt"))).result;
  const int32_t written = Open(0x602, "/" + Name(Here("new.txt"))).result;
  EXPECT_GE(read, 3);
  EXPECT_GE(written, 3);
  EXPECT_EQ(Bytes("other"), Read(read, 10).data);
  EXPECT_EQ(3, Write(written, Bytes("new")));
  Close(read);
  Close(written);
  EXPECT_EQ("new", ReadText(Here("new.txt")));
}

// Before the first store there is no INI file to know by its identity; its
// name alone keeps a console from creating it.
TEST_F(ProgramFilesTest, AnIniNotWrittenYetCannotBeCreated) {
  ASSERT_TRUE(DeleteFileA(IniPath));
  ExpectRefused(0x602, "/" + Name(IniPath));
  ExpectRefused(0x202, "/" + stem_ + ".INI");
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(IniPath));
}

}  // namespace
