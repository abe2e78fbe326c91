// The host file service: the real ServeRequest against the console emulator
// over the simulated cable, with real files in a temporary folder.
#include "session/host_file_service.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"
#include "ui/log_queue.h"

using namespace tavrin;
using sim::HostReply;

namespace {

const char kDenied[] = "File access denied.\r\n";
const char kWriteDenied[] = "Write access denied.\r\n";

// The log lines of an open request that got through to a local path, and
// of one refused.
std::string OpenLine(const std::string& path) { return "N:Open file \"|N:" + path + "|N:\".\r\n|"; }
std::string Opened(const std::string& path, const std::string& local) {
  return OpenLine(path) + "N:Local path is \"|N:" + local + "|N:\".\r\n|";
}
std::string Refused(const std::string& path, const char* why = kDenied) {
  return OpenLine(path) + "E:" + why + "|";
}

class HostFileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.shareExecFolder = 0;
    SetSharedFolder(folder_.Path().c_str());
    ASSERT_TRUE(link_.ok());
  }
  void TearDown() override { EXPECT_TRUE(link_.console().Violations().empty()); }

  // Each serves one request of the console and gives what it got back.
  int32_t Open(uint32_t flags, const std::string& path) {
    return Serve(Console().Open(flags, path)).result;
  }
  int32_t Close(int32_t handle) { return Serve(Console().Close(handle)).result; }
  HostReply Read(int32_t handle, uint32_t count) { return Serve(Console().Read(handle, count)); }
  int32_t Write(int32_t h, const std::vector<uint8_t>& data) {
    return Serve(Console().Write(h, data)).result;
  }
  int32_t Lseek(int32_t h, int32_t offset, int32_t whence) {
    return Serve(Console().Lseek(h, offset, whence)).result;
  }
  HostReply Serve(std::future<HostReply> pending) { return link_.Serve(std::move(pending)); }
  sim::ConsoleEmulator& Console() { return link_.console(); }
  std::vector<uint8_t> OnDisk(const std::string& name) {
    std::vector<uint8_t> bytes;
    return folder_.Read(name, &bytes) ? bytes : Bytes("(no file)");
  }
  // The log queued since the last look: "colour:text|" for each entry (N
  // notice, E error, T text), the temporary folder written as @.
  std::string Log() {
    std::string out;
    for (QueuedEntry& entry : link_.TakeLog()) {
      for (size_t at; (at = entry.text.find(folder_.Path())) != std::string::npos;)
        entry.text.replace(at, folder_.Path().size(), "@");
      char tag = '?';
      for (int c : {LogText, LogError, LogNotice})
        if (entry.colour == Settings.colours[c]) tag = "TEN"[c];
      out += tag + (":" + entry.text) + "|";
    }
    return out;
  }

  SettingsScope settings_;
  TempFolder folder_;
  ConsoleLink link_;
};

TEST_F(HostFileServiceTest, FilesMoveByteExactBothWaysAndReadsStopAtTheEnd) {
  const std::vector<uint8_t> data = Pattern(1 << 20, 1);
  const int32_t h = Open(0x602, "/big.bin");  // write, create, truncate
  ASSERT_GE(h, 3);
  for (auto at = data.begin(); at != data.end(); at += 256 << 10)
    ASSERT_EQ(256 << 10, Write(h, std::vector<uint8_t>(at, at + (256 << 10))));
  EXPECT_EQ(0, Close(h));
  EXPECT_TRUE(OnDisk("big.bin") == data);

  const int32_t r = Open(1, "/big.bin");
  ASSERT_GE(r, 3);
  EXPECT_EQ(int32_t(data.size()), Lseek(r, 0, 2));
  EXPECT_EQ(int32_t(data.size()) - 10, Lseek(r, -10, 2));
  EXPECT_EQ(int32_t(data.size()) - 7, Lseek(r, 3, 1));
  EXPECT_EQ(std::vector<uint8_t>(data.end() - 7, data.end()), Read(r, 100).data);
  EXPECT_EQ(0, Read(r, 100).result);
  EXPECT_EQ(-1, Lseek(r, 0, 7));  // no such whence
  EXPECT_EQ(0, Lseek(r, 0, 0));
  EXPECT_EQ(0, Read(r, 0).result);  // a read of nothing
  EXPECT_EQ(0, Close(r));
  EXPECT_EQ(-1, Close(r));
  EXPECT_EQ(-1, Read(r, 1).result);

  // A console asking for everything gets at most 64 MiB at once (a buffer
  // of the count asked for might not even be had), the rest next time.
  const std::vector<uint8_t> huge = Pattern((64 << 20) + 1, 2);
  folder_.Write("huge.bin", huge);
  const int32_t all = Open(1, "/huge.bin");
  const HostReply first = Read(all, 0xFFFFFFFF);
  EXPECT_EQ(64 << 20, first.result);
  EXPECT_TRUE(first.data == std::vector<uint8_t>(huge.begin(), huge.end() - 1));
  EXPECT_EQ(std::vector<uint8_t>(1, huge.back()), Read(all, 0xFFFFFFFF).data);
  EXPECT_EQ(0, Close(all));
}

// What the file system shows after an open with each flag combination and a
// write of "XY" through the handle.
TEST_F(HostFileServiceTest, OpenFlagsAgainstTheFileSystem) {
  struct Row {
    uint32_t flags;
    bool exists;        // "abc" is there before the open
    int32_t written;    // result of writing "XY"; none: the open fails
    const char* after;  // the file afterwards
  } rows[] = {
      {0x001, true, -1, "abc"},         {0x000, true, -1, "abc"},  // read, and none given
      {0x001, false, 0, "(no file)"},   {0x002, true, 2, "XYc"},   // write
      {0x003, true, 2, "XYc"},          {0x102, true, 2, "abcXY"},  // read and write; append
      {0x202, false, 2, "XY"},          {0x202, true, 2, "XYc"},   // create keeps a file
      {0x402, true, 2, "XY"},           {0x402, false, 0, "(no file)"},  // truncate needs one
      {0x201, false, -1, ""},           {0x8000F002, true, 2, "XYc"},  // other bits ignored
  };
  int n = 0;
  for (auto& row : rows) {
    const std::string name = "f" + std::to_string(n++) + ".bin";
    if (row.exists) folder_.Write(name, Bytes("abc"));
    const int32_t h = Open(row.flags, "/" + name);
    EXPECT_EQ(row.written != 0, h >= 3) << name;
    if (h >= 3) {
      EXPECT_EQ(row.written, Write(h, Bytes("XY"))) << name;
      EXPECT_EQ(0, Close(h));
    }
    EXPECT_EQ(Bytes(row.after), OnDisk(name)) << name;
  }
}

// Each open request with the settings of its row: its result (3: a file's
// handle, closed again) and the whole log it leaves.
TEST_F(HostFileServiceTest, OpenRequestsAndTheirLogLines) {
  CreateDirectoryA(folder_.File("dev").c_str(), nullptr);
  CreateDirectoryA(folder_.File("a").c_str(), nullptr);
  folder_.Write("dev\\tty0", Bytes("t"));
  folder_.Write("b.txt", Bytes("inside"));
  struct Row {
    uint32_t denyAll, readOnly, flags;
    const char* path;
    int32_t result;
    std::string log;
  } rows[] = {
      // The tty is handle 1 by its exact path only, and neither setting touches it.
      {1, 1, 0x703, "/dev/tty", 1, ""},
      {0, 0, 0x000, "/dev/tty", 1, ""},
      {0, 0, 0x001, "/dev/tty0", 3, Opened("/dev/tty0", "@\\dev\\tty0")},
      {1, 0, 0x001, "/b.txt", -1, Refused("/b.txt")},
      {0, 1, 0x001, "/b.txt", 3, Opened("/b.txt", "@\\b.txt")},
      {0, 1, 0x000, "/b.txt", 3, Opened("/b.txt", "@\\b.txt")},
      {0, 1, 0x002, "/b.txt", -1, Refused("/b.txt", kWriteDenied)},
      {0, 1, 0x003, "/b.txt", -1, Refused("/b.txt", kWriteDenied)},
      {0, 1, 0x101, "/b.txt", -1, Refused("/b.txt", kWriteDenied)},
      {0, 1, 0x201, "/b.txt", -1, Refused("/b.txt", kWriteDenied)},
      {0, 1, 0x401, "/b.txt", -1, Refused("/b.txt", kWriteDenied)},
      // The path rules are path_map_test's; here, that requests go through them.
      {0, 0, 0x001, "/a/../b.txt", 3, Opened("/a/../b.txt", "@\\a\\..\\b.txt")},
      {0, 0, 0x001, "/../b.txt", -1, Refused("/../b.txt")},
      {0, 0, 0x001, "/b.txt:s", -1, Refused("/b.txt:s")},
      // Nothing executed yet.
      {0, 0, 0x001, "/exec/elf", -1, "E:Exec failed.|"},
  };
  for (auto& row : rows) {
    Settings.denyAll = row.denyAll;
    Settings.readOnly = row.readOnly;
    const int32_t h = Open(row.flags, row.path);
    EXPECT_EQ(row.result, h >= 3 ? 3 : h) << row.path << std::hex << " " << row.flags;
    if (h >= 3) {
      EXPECT_EQ(0, Close(h));
    }
    EXPECT_EQ(row.log, Log()) << row.path << std::hex << " " << row.flags;
  }
}

TEST_F(HostFileServiceTest, ExecutedFileIsServedAndItsFolderShared) {
  // Sharing the executed file's folder, with nothing executed yet: no base.
  Settings.shareExecFolder = 1;
  EXPECT_EQ(-1, Open(1, "/data.bin"));
  EXPECT_EQ(OpenLine("/data.bin"), Log());

  // Execute an IRX module; "/exec/elf" serves it all the same.
  CreateDirectoryA(folder_.File("ps2").c_str(), nullptr);
  const std::vector<uint8_t> module = ElfHead(0x80, 0xFF);
  folder_.Write("ps2\\mod.irx", module);
  folder_.Write("ps2\\data.bin", Bytes("beside the module"));
  ASSERT_TRUE(QueueExecute(link_.page(), HeapCopy(folder_.File("ps2\\mod.irx"))));
  EXPECT_EQ(0x02, link_.Serve(Console().Poll(0)).code);

  Settings.denyAll = 1;  // does not touch the executed file
  for (const char* special : {"/exec/elf", "/exec/iop"}) {
    const int32_t h = Open(0x703, special);
    ASSERT_GE(h, 3) << special;
    EXPECT_EQ(module, Read(h, 1000).data) << special;
    EXPECT_EQ(-1, Write(h, Bytes("no"))) << special;  // opened for reading only
    EXPECT_EQ(0, Close(h));
  }
  Settings.denyAll = 0;
  const int32_t h = Open(1, "/data.bin");
  ASSERT_GE(h, 3);
  EXPECT_EQ(Bytes("beside the module"), Read(h, 100).data);
  EXPECT_EQ(0, Close(h));
  EXPECT_EQ(Opened("/data.bin", "@\\ps2\\data.bin"), Log());

  // An executed file named without a folder gives an empty base: paths stay
  // relative, and a second leading separator, which would root the path, is
  // refused. No shared folder at all: nothing beyond the "Open file" line.
  ASSERT_TRUE(link_.session().Append(kTagExecElf, HeapCopy("demo.elf")));
  link_.Serve(Console().Poll(0));
  Open(1, "/x.bin");
  EXPECT_EQ(-1, Open(1, "//srv/share/x"));
  Settings.shareExecFolder = 0;
  SetSharedFolder("");
  EXPECT_EQ(-1, Open(1, "/b.txt"));
  EXPECT_EQ(Opened("/x.bin", "x.bin") + Refused("//srv/share/x") + OpenLine("/b.txt"), Log());
}

// Each malformed body is too short for its fields or its count, and names a
// handle that is open: a decoder that took it anyway would act on that
// handle. Handles opened before deny all or read only are set keep what
// they were opened for, but a write through one is refused under read
// only; the tty takes the console's bytes as they come, NULs and all,
// whatever is set.
TEST_F(HostFileServiceTest, OpenHandlesOutlastMalformedRequestsAndLaterSettings) {
  folder_.Write("a.txt", Bytes("data"));
  const int32_t reader = Open(1, "/a.txt"), writer = Open(3, "/a.txt");  // read; read and write
  ASSERT_GE(reader, 3);
  ASSERT_GE(writer, 3);
  const uint8_t b = static_cast<uint8_t>(writer);
  Log();
  const std::pair<uint8_t, std::vector<uint8_t>> rows[] = {
      {0x10, {}},                                    // open, empty
      {0x10, {1, 0, 0, 0, '/', 'a', '.', 't'}},      // open, path unterminated
      {0x11, {b, 0, 0}},                             // close, 3 bytes
      {0x12, {b, 0, 0, 0}},                          // read, 4 bytes
      {0x13, {b, 0, 0, 0, 200, 0, 0, 0, 'h', 'i'}},  // write, count beyond body
      {0x13, {1, 0, 0, 0, 3, 0, 0, 0, 'h', 'i'}},    // tty write, count one beyond
      {0x13, {b, 0, 0, 0, 0, 0}},                    // write, 6 bytes
      {0x14, {b, 0, 0, 0, 0, 0, 0, 0}},              // lseek, 8 bytes
  };
  for (auto& [code, body] : rows) {
    HostReply reply = Serve(Console().Request(code, body));
    EXPECT_TRUE(reply.ok && reply.result == -1 && reply.data.empty()) << int(code) << body.size();
  }
  // A poll's body is not looked at.
  EXPECT_EQ(0, Serve(Console().Request(0x15, {1, 2, 3})).result);
  EXPECT_EQ("", Log());

  Settings.denyAll = Settings.readOnly = 1;
  EXPECT_EQ(Bytes("data"), Read(reader, 10).data);
  EXPECT_EQ(-1, Write(writer, Bytes("XY")));
  EXPECT_EQ(5, Write(1, Bytes("hello")));
  EXPECT_EQ(3, Write(1, {'a', 0, 'b'}));
  EXPECT_EQ(0, Read(1, 10).result);
  EXPECT_EQ(0, Close(1));
  EXPECT_EQ("E:Write access denied.\r\n|T:hello|T:a|", Log());
  EXPECT_EQ(Bytes("data"), OnDisk("a.txt"));  // nothing written
  EXPECT_EQ(0, Close(reader));
  EXPECT_EQ(0, Close(writer));
}

TEST_F(HostFileServiceTest, UnknownTagsAreAnsweredZeroAndNothingReceivedIsNotServed) {
  for (uint8_t code : {0x16, 0x20, 0x00}) {
    HostReply reply = link_.Serve(Console().Request(code, {1, 0, 0, 0}), false);
    EXPECT_TRUE(reply.ok && reply.result == 0) << int(code);
    EXPECT_EQ("E:Bad packet recieved.\r\n|", Log());
  }
  Console().Detach();
  const uint64_t writes = sim::SimDriver::Count(sim::Call::Write);
  EXPECT_FALSE(ServeRequest(&link_.session()));
  EXPECT_EQ("E:Error recieving packet.\r\n|", Log());
  EXPECT_EQ(writes, sim::SimDriver::Count(sim::Call::Write));  // no reply went out
}

// Descriptors 0, 1 and 2 are the host's own standard streams, here files of
// "abcde" at position 1. Requests on 0 and 2 answer -1 and leave them as
// they were; the tty's close never closes 1, its lseek is the host's own.
TEST_F(HostFileServiceTest, StandardDescriptorsStayTheHosts) {
  ReserveStandardDescriptors();
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) saved[fd] = _dup(fd);
  // Something closed descriptor 1: the next file must still not get it.
  _close(1);
  const int32_t h = Open(0x202, "/new.bin");
  EXPECT_GE(h, 3);
  Close(h);
  for (int fd = 0; fd < 3; ++fd) {
    const std::string name = "stream" + std::to_string(fd);
    folder_.Write(name, Bytes("abcde"));
    const int file = _open(folder_.File(name).c_str(), _O_RDWR | _O_BINARY);
    _dup2(file, fd);
    _close(file);
    _lseek(fd, 1, SEEK_SET);
  }
  for (int32_t fd : {0, 2}) {
    EXPECT_EQ(-1, Read(fd, 2).result) << fd;
    EXPECT_EQ(-1, Write(fd, Bytes("XY"))) << fd;
    EXPECT_EQ(-1, Lseek(fd, 0, SEEK_END)) << fd;
    EXPECT_EQ(-1, Close(fd)) << fd;
    EXPECT_EQ(1, _lseek(fd, 0, SEEK_CUR)) << fd;  // still open, not moved
  }
  EXPECT_EQ(0, Close(1));
  EXPECT_EQ(5, Lseek(1, 0, SEEK_END));
  for (int fd = 0; fd < 3; ++fd) {
    EXPECT_EQ(fd == 1 ? 5 : 1, _lseek(fd, 0, SEEK_CUR)) << fd;
    _dup2(saved[fd], fd);
    _close(saved[fd]);
    EXPECT_EQ(Bytes("abcde"), OnDisk("stream" + std::to_string(fd))) << fd;
  }
}

// The program's own exe and INI file, with the shared folder set to the
// program's folder. The running test program stands for Tavdesk.exe and
// IniPath is made from its path as at start-up, so the names below are the
// test program's, the code the same.
TEST_F(HostFileServiceTest, TheProgramsExeAndIniAreRefusedByAnyName) {
  char exe[MAX_PATH], shortPath[MAX_PATH], savedIni[kPathChars];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  const std::string path(exe), folder = path.substr(0, path.rfind('\\') + 1);
  const std::string stem = path.substr(folder.size(), path.rfind('.') - folder.size());
  std::memcpy(savedIni, IniPath, sizeof savedIni);
  struct Restore {
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] {
    DeleteFileA(IniPath);
    for (const char* made : {"-alias.ini", "-other.txt"})
      DeleteFileA((folder + stem + made).c_str());
    std::memcpy(IniPath, savedIni, sizeof savedIni);
  }};
  ASSERT_TRUE(IniPathFromProgram(exe, IniPath, kPathChars));
  SetSharedFolder(folder.c_str());
  const std::string ini = IniPath + folder.size();
  auto write = [&](const std::string& name, const char* text) {
    return bool(std::ofstream(folder + name, std::ios::binary) << text);
  };
  auto read = [&](const std::string& name) {
    std::ifstream file(folder + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  ASSERT_TRUE(write(ini, "[Tavdesk]\r\nsettings=00\r\n"));
  // Wine makes up 8.3 names on the fly (a hash, such as HOST~40U.INI) and
  // opens files by them, as Windows does by the names it stores.
  ASSERT_GT(GetShortPathNameA(IniPath, shortPath, sizeof shortPath), 0u);
  const std::string shortName = std::strrchr(shortPath, '\\') + 1;
  ASSERT_NE(0, _stricmp(shortName.c_str(), ini.c_str())) << shortName;
  // A hard link has a long name of its own: only the file's identity gives
  // it away.
  const std::string alias = stem + "-alias.ini";
  DeleteFileA((folder + alias).c_str());  // left by a run that was killed
  ASSERT_TRUE(CreateHardLinkA((folder + alias).c_str(), IniPath, nullptr));
  const std::string before = read(ini), exeBefore = read(stem + ".exe");

  for (const std::string& name :
       {ini, stem + ".INI", shortName, stem + ".exe", "./" + ini, ini + ". .", alias}) {
    const std::string consolePath = (name[0] == '.' ? "" : "/") + name;
    for (uint32_t flags : {0x1u, 0x602u}) {  // read; write, create, truncate
      EXPECT_EQ(-1, Open(flags, consolePath)) << consolePath << std::hex << " " << flags;
      EXPECT_EQ(Refused(consolePath), Log()) << std::hex << flags;
    }
  }
  EXPECT_EQ(before, read(ini));
  EXPECT_EQ(exeBefore, read(stem + ".exe"));

  // Another file in the folder, on the program's volume, opens as before.
  ASSERT_TRUE(write(stem + "-other.txt", "other"));
  const int32_t h = Open(0x1, "/" + stem + "-other.txt");
  EXPECT_EQ(Bytes("other"), Read(h, 10).data);
  EXPECT_EQ(0, Close(h));
  Log();

  // Before the first store there is no INI file to know by its identity;
  // its name alone keeps a console from creating it.
  ASSERT_TRUE(DeleteFileA(IniPath));
  for (const std::string& consolePath : {"/" + ini, "/" + stem + ".INI"}) {
    EXPECT_EQ(-1, Open(0x602, consolePath));
    EXPECT_EQ(Refused(consolePath), Log());
  }
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(IniPath));
}

}  // namespace
