// The console session over the simulated link: TargetSession's command queue,
// the host file service's real ServeRequest against the console emulator
// with real files in a temporary folder, and the Windows half of path
// confinement (run a second time with the ANSI code page 932 in force).
#include "session/host_file_service.h"
#include "session/path_map_win32.h"
#include "session/target_session.h"

#include <gtest/gtest.h>

#include <io.h>
#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link/packet_format.h"
#include "tests/support/code_pages.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"

using namespace tavrin;

namespace {

const char kAny[] = "File access denied.\r\n", kWrite[] = "Write access denied.\r\n";
const char kNothingExecuted[] =
    "No folder is shared yet: the shared folder follows the executed file, and nothing was "
    "executed on this console.\r\n";

// The log lines of an open request that got through to a local path, and
// of one refused.
std::string OpenLine(const std::string& path) { return "N:Open file \"|N:" + path + "|N:\".\r\n|"; }
std::string Opened(const std::string& path, const std::string& local) {
  return OpenLine(path) + "N:Local path is \"|N:" + local + "|N:\".\r\n|";
}
std::string Refused(const std::string& path, const char* why = kAny) {
  return OpenLine(path) + "E:" + why + "|";
}
// The line after those of an open that found no file: the system's words.
std::string NotFound(const std::string& local) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, text, 256, nullptr);
  const std::string words(text, std::string(text).find_last_not_of(". \r\n") + 1);
  return "E:The file \"" + local + "\" can't be opened: " + words + ".\r\n|";
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.shareExecFolder = 0;
    SetSharedFolder(folder_.Path().c_str());
    ASSERT_TRUE(link_.ok());
  }
  void TearDown() override { EXPECT_TRUE(console_.Violations().empty()); }

  // Each serves one request of the console and gives what it got back.
  int32_t Serve(std::future<sim::HostReply> reply) { return link_.Serve(std::move(reply)).result; }
  int32_t Open(uint32_t flags, const std::string& p) { return Serve(console_.Open(flags, p)); }
  int32_t Close(int32_t h) { return Serve(console_.Close(h)); }
  sim::HostReply Read(int32_t h, uint32_t count) { return link_.Serve(console_.Read(h, count)); }
  int32_t Write(int32_t h, std::vector<uint8_t> data) { return Serve(console_.Write(h, data)); }
  int32_t Lseek(int32_t h, int32_t at, int32_t from) { return Serve(console_.Lseek(h, at, from)); }
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
      const COLORREF* c = Settings.colours;
      out += "TEN?"[std::find(c, c + 3, entry.colour) - c] + (":" + entry.text) + "|";
    }
    return out;
  }

  SettingsScope settings_;
  TempFolder folder_;
  ConsoleLink link_;
  TargetSession& session_ = link_.session();
  sim::ConsoleEmulator& console_ = link_.console();
};

// The page's file reaches the queue only unshared (its head must be what the
// console will load) and only on a page with a record, a session and a
// connected console; which command the head asks for is the ELF check's own
// test. What was queued goes out one command per console poll, in order;
// the last executed file is then served as "/exec/elf" and "/exec/iop", and
// its folder can be the shared one.
TEST_F(SessionTest, CommandsGoOutOnePerPollInOrderAndTheExecutedFileIsServed) {
  CreateDirectoryA(folder_.File("ps2").c_str(), nullptr);
  const std::vector<uint8_t> module = ElfHead(0x80, 0xFF);
  folder_.Write("ps2\\a.irx", module);
  folder_.Write("ps2\\data.bin", Bytes("beside the module"));
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  auto execute = [&](const char* name) {
    char* path = _strdup(folder_.File(name).c_str());
    const bool queued = QueueExecute(link_.page(), path);
    if (!queued) std::free(path);
    return queued;
  };
  // Nothing executed yet: no file to serve, and no folder to share.
  Settings.shareExecFolder = 1;
  EXPECT_EQ(-1, Open(1, "/exec/elf"));
  EXPECT_EQ(-1, Open(1, "/data.bin"));
  EXPECT_EQ("E:Exec failed.|" + Refused("/data.bin", kNothingExecuted), Log());

  HANDLE other = CreateFileA(folder_.File("ps2\\a.irx").c_str(), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(execute("ps2\\a.irx"));
  CloseHandle(other);
  for (int broken = 0; broken < 4; ++broken) {  // not connected, no session, no record; none
    link_.record()->connected = broken != 0;
    link_.record()->session = broken == 1 ? nullptr : &session_;
    link_.testPage().Attach(broken != 2);
    EXPECT_EQ(broken == 3, QueueReset(link_.page())) << broken;
    EXPECT_EQ(broken == 3, execute("a.elf")) << broken;
  }
  ASSERT_TRUE(execute("ps2\\a.irx"));
  ASSERT_TRUE(session_.Append(kTagQuit, nullptr));
  EXPECT_EQ(nullptr, session_.LastExecuted());  // set when sent, not when queued
  // The console answers the reset with -1: the host owes that poll a reply 0.
  const std::tuple<int32_t, int, std::string> polls[] = {
      {-1, 0x00, ""}, {0, 0x01, std::string(kExecElfPath, 15)},
      {0, 0x02, std::string(kExecIopPath, 15)}, {0, 0x03, ""}, {0, -1, "no command"}};
  for (auto& [answer, code, body] : polls) {
    sim::PollOutcome poll = link_.Serve(console_.Poll(answer));
    EXPECT_TRUE(poll.ok && poll.followUp == (answer == -1) && (poll.command || !poll.result));
    EXPECT_EQ(answer == -1 ? 0 : -1, poll.followUpResult);
    EXPECT_EQ(code, poll.command ? poll.code : -1);
    EXPECT_EQ(body, poll.command ? std::string(poll.body.begin(), poll.body.end()) : "no command");
  }
  EXPECT_STREQ(folder_.File("ps2\\a.irx").c_str(), session_.LastExecuted());

  Settings.denyAll = 1;  // does not touch the executed file
  for (const char* special : {"/exec/elf", "/exec/iop"}) {
    const int32_t h = Open(0x703, special);
    EXPECT_EQ(module, Read(h, 1000).data) << special;
    EXPECT_EQ(-1, Write(h, Bytes("no"))) << special;  // opened for reading only
    EXPECT_EQ(0, Close(h));
  }
  Settings.denyAll = 0;
  const int32_t h = Open(1, "/data.bin");
  EXPECT_EQ(Bytes("beside the module"), Read(h, 100).data);
  EXPECT_EQ(0, Close(h));
  EXPECT_EQ(Opened("/data.bin", "@\\ps2\\data.bin"), Log());

  // An executed file named without a folder gives an empty base: paths stay
  // relative, and a second leading separator, which would root the path, is
  // refused. No shared folder, or one that is not there: refused, and the
  // log says why; a file that can't be opened, in the system's words.
  ASSERT_TRUE(session_.Append(kTagExecElf, _strdup("demo.elf")));
  link_.Serve(console_.Poll(0));
  Open(1, "/x.bin");
  EXPECT_EQ(-1, Open(1, "//srv/share/x"));
  Settings.shareExecFolder = 0;
  SetSharedFolder("");
  EXPECT_EQ(-1, Open(1, "/b.txt"));
  SetSharedFolder(folder_.File("gone").c_str());
  EXPECT_EQ(-1, Open(0x202, "/new.txt"));
  EXPECT_EQ(Opened("/x.bin", "x.bin") + NotFound("x.bin") + Refused("//srv/share/x") +
                Refused("/b.txt", "No shared folder is set (Settings tab).\r\n") +
                Refused("/new.txt", "The shared folder \"@\\gone\" does not exist.\r\n"),
            Log());
}

// The last executed file is taken even when its command can't be sent. The
// session's memory is counted by the C runtime's heap blocks in use, which
// return to where they were once everything is released while no other
// thread is at work.
TEST(TargetSessionLifetime, TheLastExecutedFileIsKeptOnAFailedSendAndAllIsReleased) {
  auto blocksInUse = [] {
    _HEAPINFO info = {};
    size_t used = 0;
    while (_heapwalk(&info) == _HEAPOK) used += info._useflag == _USEDENTRY;
    return used;
  };
  sim::SimDriver::Reset();
  LinkDevice link;  // no cable: every send fails at once
  const size_t before = blocksInUse();
  {
    TargetSession session(nullptr, &link);
    ASSERT_TRUE(session.Append(kTagExecElf, _strdup("C:\\a.elf")));
    ASSERT_TRUE(session.Append(kTagExecIop, _strdup("C:\\b.irx")));
    EXPECT_EQ(-1, session.SendExecIop("C:\\c.irx"));
    EXPECT_EQ(-1, session.SendExecElf(nullptr));
    EXPECT_STREQ("C:\\c.irx", session.LastExecuted());
    EXPECT_GT(blocksInUse(), before);
  }
  EXPECT_EQ(before, blocksInUse());
}

// A console asking for everything gets at most 64 MiB at once (a buffer of
// the count asked for might not even be had), the rest next time.
TEST_F(SessionTest, FilesMoveByteExactBothWaysAndReadsStopAtTheEnd) {
  const std::vector<uint8_t> data = Pattern((64 << 20) + 1);
  const auto half = data.begin() + (32 << 20);
  const int32_t h = Open(0x602, "/big.bin");  // write, create, truncate
  EXPECT_EQ(32 << 20, Write(h, {data.begin(), half}));
  EXPECT_EQ((32 << 20) + 1, Write(h, {half, data.end()}));
  EXPECT_EQ(0, Close(h));
  const int32_t r = Open(1, "/big.bin");
  const sim::HostReply first = Read(r, 0xFFFFFFFF);
  EXPECT_EQ(64 << 20, first.result);
  EXPECT_TRUE(first.data == std::vector<uint8_t>(data.begin(), data.end() - 1));
  EXPECT_EQ(std::vector<uint8_t>(1, data.back()), Read(r, 0xFFFFFFFF).data);
  EXPECT_EQ(0, Read(r, 100).result);
  EXPECT_EQ(int32_t(data.size()) - 10, Lseek(r, -10, 2));
  EXPECT_EQ(int32_t(data.size()) - 7, Lseek(r, 3, 1));
  EXPECT_EQ(std::vector<uint8_t>(data.end() - 7, data.end()), Read(r, 100).data);
  EXPECT_EQ(-1, Lseek(r, 0, 7));  // no such whence
  EXPECT_EQ(0, Lseek(r, 0, 0));
  EXPECT_EQ(0, Read(r, 0).result);  // a read of nothing
  EXPECT_EQ(0, Close(r));
}

// What the file system shows after an open with each flag combination and a
// write of "XY" through the handle: flags, "abc" there before, the write's
// result (0: the open fails) and the file afterwards.
TEST_F(SessionTest, OpenFlagsAgainstTheFileSystem) {
  struct Row { uint32_t flags; bool exists; int32_t written; const char* after; } rows[] = {
      {0x001, true, -1, "abc"},         {0x000, true, -1, "abc"},  // read, and none given
      {0x001, false, 0, "(no file)"},   {0x002, true, 2, "XYc"},   // write
      {0x003, true, 2, "XYc"},          {0x102, true, 2, "abcXY"},  // read and write; append
      {0x202, false, 2, "XY"},          {0x202, true, 2, "XYc"},   // create keeps a file
      {0x402, true, 2, "XY"},           {0x402, false, 0, "(no file)"},  // truncate needs one
      {0x201, false, -1, ""},           {0x8000F002, true, 2, "XYc"},  // other bits ignored
  };
  for (auto& row : rows) {
    const std::string name = "f" + std::to_string(&row - rows) + ".bin";
    if (row.exists) folder_.Write(name, Bytes("abc"));
    const int32_t h = Open(row.flags, "/" + name);
    EXPECT_EQ(row.written, h >= 3 ? Write(h, Bytes("XY")) : 0) << name;
    EXPECT_EQ(h >= 3 ? 0 : -1, Close(h)) << name;
    EXPECT_EQ(Bytes(row.after), OnDisk(name)) << name;
  }
}

// Each open request with deny all and read only as in its row: the handle
// it gets (3: a file's, closed again), and why it was refused, if it was.
TEST_F(SessionTest, OpenRequestsAndTheirLogLines) {
  CreateDirectoryA(folder_.File("dev").c_str(), nullptr);
  CreateDirectoryA(folder_.File("a").c_str(), nullptr);
  folder_.Write("dev\\tty0", Bytes("t"));
  folder_.Write("b.txt", Bytes("inside"));
  struct Row { uint32_t deny, readOnly, flags; const char* path; int32_t handle; const char* why; };
  const Row rows[] = {
      // The tty is handle 1 by its exact path only, and neither setting touches it.
      {1, 1, 0x703, "/dev/tty", 1, nullptr}, {0, 0, 0x000, "/dev/tty", 1, nullptr},
      {0, 0, 0x001, "/dev/tty0", 3, nullptr}, {1, 0, 0x001, "/b.txt", -1, kAny},
      {0, 1, 0x001, "/b.txt", 3, nullptr}, {0, 1, 0x000, "/b.txt", 3, nullptr},
      {0, 1, 0x002, "/b.txt", -1, kWrite}, {0, 1, 0x003, "/b.txt", -1, kWrite},
      {0, 1, 0x101, "/b.txt", -1, kWrite}, {0, 1, 0x201, "/b.txt", -1, kWrite},
      {0, 1, 0x401, "/b.txt", -1, kWrite},
      // The path rules are session_portable_test's; here, that requests go through them.
      {0, 0, 0x001, "/a/../b.txt", 3, nullptr}, {0, 0, 0x001, "/../b.txt", -1, kAny},
      {0, 0, 0x001, "/b.txt:s", -1, kAny},
      // Harmless names of files not there yet: Windows trims the first two,
      // the third has a doubled separator after the first.
      {0, 0, 0x203, "/new.", 3, nullptr}, {0, 0, 0x203, "/a/new. ", 3, nullptr},
      {0, 0, 0x203, "/a//new.bin", 3, nullptr},
  };
  for (const Row& row : rows) {
    Settings.denyAll = row.deny;
    Settings.readOnly = row.readOnly;
    const int32_t h = Open(row.flags, row.path);
    EXPECT_EQ(row.handle, h >= 3 ? 3 : h) << row.path << std::hex << " " << row.flags;
    EXPECT_EQ(h == -1 ? -1 : 0, Close(h));
    std::string local = std::string("@") + row.path;
    std::replace(local.begin(), local.end(), '/', '\\');
    const std::string opened = row.handle == 3 ? Opened(row.path, local) : "";
    EXPECT_EQ(row.why ? Refused(row.path, row.why) : opened, Log()) << row.path << " " << row.flags;
  }
}

// Each malformed body is too short for its fields or its count, and names a
// handle that is open: a decoder that took it anyway would act on that
// handle. Handles opened before deny all or read only are set keep what
// they were opened for, but a write through one is refused under read
// only; the tty takes the console's bytes as they come, NULs and all,
// whatever is set. Unknown tags are answered 0 and not served; nothing
// received is not answered at all.
TEST_F(SessionTest, OpenHandlesOutlastHostileRequestsAndLaterSettings) {
  folder_.Write("a.txt", Bytes("data"));
  const int32_t reader = Open(1, "/a.txt"), writer = Open(3, "/a.txt");  // read; read and write
  ASSERT_TRUE(reader >= 3 && writer >= 3);
  const uint8_t b = static_cast<uint8_t>(writer);
  Log();
  const std::pair<uint8_t, std::vector<uint8_t>> rows[] = {
      {0x10, {}}, {0x10, {1, 0, 0, 0, '/', 'a', '.', 't'}},  // open: empty, path unterminated
      {0x11, {b, 0, 0}}, {0x12, {b, 0, 0, 0}},               // close 3 bytes, read 4
      {0x13, {b, 0, 0, 0, 200, 0, 0, 0, 'h', 'i'}},          // write, count beyond body
      {0x13, {1, 0, 0, 0, 3, 0, 0, 0, 'h', 'i'}},            // tty write, count one beyond
      {0x13, {b, 0, 0, 0, 0, 0}}, {0x14, {b, 0, 0, 0, 0, 0, 0, 0}},  // write 6 bytes, lseek 8
  };
  for (auto& [code, body] : rows) {
    sim::HostReply reply = link_.Serve(console_.Request(code, body));
    EXPECT_TRUE(reply.ok && reply.result == -1 && reply.data.empty()) << int(code) << body.size();
  }
  EXPECT_EQ(0, Serve(console_.Request(0x15, {1, 2, 3})));  // a poll's body is not looked at
  EXPECT_EQ("", Log());
  for (uint8_t code : {0x16, 0x20, 0x00}) {
    EXPECT_EQ(0, link_.Serve(console_.Request(code, {b, 0, 0, 0}), false).result) << int(code);
    EXPECT_EQ("E:Bad packet recieved.\r\n|", Log());
  }

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

  console_.Detach();
  const uint64_t writes = sim::SimDriver::Count(sim::Call::Write);
  EXPECT_FALSE(ServeRequest(&session_));
  EXPECT_EQ("E:Error recieving packet.\r\n|", Log());
  EXPECT_EQ(writes, sim::SimDriver::Count(sim::Call::Write));
}

// Descriptors 0, 1 and 2 are the host's own standard streams: no file of a
// console gets one, even one that was closed, and requests on 0 and 2 are
// refused; the tty's close never closes 1, and it has no position.
TEST_F(SessionTest, StandardDescriptorsStayTheHosts) {
  ReserveStandardDescriptors();
  const int saved = _dup(1);  // put back before anything is reported
  _close(1);
  const int32_t h = Open(0x202, "/new.bin");
  const int32_t ttySeek = Lseek(1, 0, SEEK_END);  // 1 is the null device now, which seeks
  _dup2(saved, 1);
  _close(saved);
  EXPECT_TRUE(h >= 3 && Close(h) == 0 && ttySeek == -1) << h << " " << ttySeek;
  for (int32_t fd : {0, 2}) {
    const std::vector<long> got = {Read(fd, 2).result, Write(fd, Bytes("XY")), Lseek(fd, 0, SEEK_END), Close(fd)};
    EXPECT_EQ(std::vector<long>(4, -1), got) << fd;
  }
  EXPECT_EQ(0, Close(1));
}

// A second session on the same cable stands for another console: it names
// none of the first one's files, and its limit leaves the first one served.
// What a console still holds closes with its session.
TEST_F(SessionTest, AConsoleNamesOnlyItsOwnFilesAndHoldsAtMost256) {
  folder_.Write("a.txt", Bytes("data"));
  const int32_t mine = Open(3, "/a.txt");
  auto other = std::make_unique<TargetSession>(link_.page(), link_.link());
  auto serve = [&](std::future<sim::HostReply> reply) {
    EXPECT_TRUE(ServeRequest(other.get()));
    return reply.get().result;
  };
  const std::vector<int32_t> refused = {
      serve(console_.Read(mine, 4)), serve(console_.Write(mine, Bytes("XY"))),
      serve(console_.Lseek(mine, 0, SEEK_END)), serve(console_.Close(mine))};
  EXPECT_EQ(std::vector<int32_t>(4, -1), refused);
  EXPECT_EQ(Bytes("data"), Read(mine, 10).data);

  std::vector<int32_t> held;
  for (size_t i = 0; i < kMaxConsoleFiles; ++i) held.push_back(serve(console_.Open(1, "/a.txt")));
  EXPECT_TRUE(std::all_of(held.begin(), held.end(), [](int32_t h) { return h >= 3; }));
  Log();
  EXPECT_EQ(-1, serve(console_.Open(0x202, "/new.bin")));
  EXPECT_EQ(OpenLine("/new.bin") + "E:Too many open files.\r\n|", Log());
  EXPECT_EQ(Bytes("(no file)"), OnDisk("new.bin"));
  EXPECT_EQ(0, serve(console_.Close(held.back())));
  EXPECT_LE(3, serve(console_.Open(1, "/a.txt"))) << "a close makes room";
  const int32_t another = Open(1, "/a.txt");
  EXPECT_LE(3, another) << "the first console is still served";
  EXPECT_EQ(0, Close(another));

  other.reset();
  held.pop_back();
  EXPECT_TRUE(std::all_of(held.begin(), held.end(), [](int32_t h) { return _get_osfhandle(h) == -1; }));
  EXPECT_EQ(0, Close(mine));
}

// The program's own exe and INI file, with the shared folder set to the
// program's folder. The running test program stands for Tavdesk.exe and
// IniPath is made from its path as at start-up, so the names below are the
// test program's, the code the same.
TEST_F(SessionTest, TheProgramsExeAndIniAreRefusedByAnyName) {
  char exe[MAX_PATH], shortPath[MAX_PATH], savedIni[kPathChars];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  const std::string path(exe), folder = path.substr(0, path.rfind('\\') + 1);
  const std::string stem = path.substr(folder.size(), path.rfind('.') - folder.size());
  const std::string alias = stem + "-alias.ini", other = stem + "-other.txt";
  std::memcpy(savedIni, IniPath, sizeof savedIni);
  const std::shared_ptr<void> restore(nullptr, [&](void*) {
    for (const std::string& made : {std::string(IniPath), folder + alias, folder + other})
      DeleteFileA(made.c_str());
    std::memcpy(IniPath, savedIni, sizeof savedIni);
  });
  ASSERT_TRUE(IniPathFromProgram(exe, IniPath, kPathChars));
  SetSharedFolder(folder.c_str());
  const std::string ini = IniPath + folder.size();
  ASSERT_TRUE(std::ofstream(IniPath, std::ios::binary) << "[Tavdesk]\r\nsettings=00\r\n");
  // Wine makes up 8.3 names on the fly (a hash, such as HOST~40U.INI) and
  // opens files by them, as Windows does by the names it stores.
  ASSERT_GT(GetShortPathNameA(IniPath, shortPath, sizeof shortPath), 0u);
  const std::string shortName = std::strrchr(shortPath, '\\') + 1;
  ASSERT_NE(0, _stricmp(shortName.c_str(), ini.c_str())) << shortName;
  // A hard link has a long name of its own: only the file's identity gives
  // it away.
  DeleteFileA((folder + alias).c_str());  // left by a run that was killed
  ASSERT_TRUE(CreateHardLinkA((folder + alias).c_str(), IniPath, nullptr));
  for (const std::string& name :
       {ini, stem + ".INI", shortName, stem + ".exe", "./" + ini, ini + ". .", alias}) {
    const std::string consolePath = (name[0] == '.' ? "" : "/") + name;
    for (uint32_t flags : {0x1u, 0x602u}) {  // read; write, create, truncate
      EXPECT_EQ(-1, Open(flags, consolePath)) << consolePath << std::hex << " " << flags;
      EXPECT_EQ(Refused(consolePath), Log()) << std::hex << flags;
    }
  }
  // Another file in the folder, on the program's volume, opens as before.
  ASSERT_TRUE(std::ofstream(folder + other, std::ios::binary) << "other");
  const int32_t h = Open(1, "/" + other);
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

// The tables the platform-free path suite runs on are the ones Windows uses.
TEST(PathMapWin32Test, CodePageRulesAreWhatWindowsReports) {
  for (unsigned page : kTestedCodePages) {
    const AnsiCodePage expected = KnownCodePage(page), got = AnsiCodePageRules(page);
    EXPECT_EQ(expected.leadBytes, got.leadBytes) << page;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(expected.superscripts[i], got.superscripts[i]) << page;
  }
}

TEST(PathMapWin32Test, FullPathCheckHoldsAtComponentBoundaries) {
  const std::tuple<const char*, std::string, bool> rows[] = {  // base, local path, inside
      {"C:\\share", "c:\\SHARE\\dir\\x", true}, {"C:\\share\\", "C:\\share\\a\\..\\b", true},
      {"C:\\share", "C:\\share", true},         {"C:\\share", "C:\\share2\\x", false},
      {"C:\\share", "C:\\share\\..\\x", false}, {"C:\\share", "C:\\shar", false},
      {"C:\\", "C:\\x", true},                  {"C:\\", "D:\\x", false},
      {"", "x.bin", true},                      {"", "..\\x.bin", false},  // the current folder
      {"C:\\share", "C:\\share\\CON", false},  // Wine, like Windows before 11: \\.\CON
      {"C:\\share", "C:\\share\\" + std::string(300, 'a'), false},  // too long for ANSI calls
  };
  for (auto& [base, local, inside] : rows)
    EXPECT_EQ(inside, FullPathStaysInside(base, local)) << base << " | " << local;
}

// Run by the ctest entry that starts Wine in a ja_JP locale. The console-path
// rules on these names are session_portable_test's; here the process's own code page
// and the full-path check meet them in a real open request. Each row: the
// console path, and the local path under the base it opens ("": refused).
class CodePage932Test : public SessionTest {};
TEST_F(CodePage932Test, EscapesAreRefusedByEitherCheckAndDoubleByteNamesOpenInside) {
  ASSERT_EQ(932u, GetACP()) << "this suite needs the ANSI code page 932";
  const std::string base = folder_.File("base");
  ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((base + "\\\x95\x5C").c_str(), nullptr));
  SetSharedFolder(base.c_str());
  const AnsiCodePage& page = ProcessAnsiCodePage();
  EXPECT_EQ(KnownCodePage(932).leadBytes, page.leadBytes);
  const std::pair<std::string, std::string> rows[] = {
      {"\x81\x5Cx/../../secret.txt", ""}, {"\x81\x5Cx\\..\\..\\secret.txt", ""},
      {"sub/\x83\x5Cx/../../../secret.txt", ""}, {"/\x95\x5C.txt", "\x95\x5C.txt"},
      {"/\x95\x5C/a.txt", "\x95\x5C\\a.txt"}, {"/COM\xB9.txt", "COM\xB9.txt"},  // 0xB9: a katakana
  };
  for (auto& [console, local] : rows) {
    const int32_t h = Open(0x202, console);
    EXPECT_EQ(local.empty() ? Refused(console) : Opened(console, "@\\base\\" + local), Log());
    EXPECT_EQ(local.empty() ? -1 : 0, Close(h)) << console;
    EXPECT_TRUE(!local.empty() ||  // refused by the full-path check too
                !FullPathStaysInside(base, JoinConsolePath(base, console.c_str(), page)));
  }
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(folder_.File("secret.txt").c_str()));
}

}  // namespace
