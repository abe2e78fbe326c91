// The device page made from template 106 and its commands: the controls
// and tooltips, Execute through the real open-file dialog, Reset, Clear
// log, dropped files, and Save log through the real save-file dialog in
// both formats. The page is connected to a console over the simulated
// cable; the worker runs, so that Save log can park it.
#include "ui/device_page.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <richedit.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "session/target_session.h"
#include "tests/support/console_link.h"
#include "tests/support/test_data.h"
#include "tests/support/worker_fixture.h"
#include "ui/log_queue.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

const char kEat[] = "Eat dropped file.\r\n";
const char kSent[] = "Send execute command.\r\n";
const char kExecuteFailed[] = "Execute failed.\r\n";

TEST(DevicePageTest, PageHasItsControlsWithExecuteAndResetDisabledAndARaisedLimit) {
  TestPage page;
  ASSERT_TRUE(page.ok());
  const struct {
    int id;
    bool enabled;
  } rows[] = {{IDC_LOG_VIEW, true}, {IDC_SAVE_LOG, true}, {IDC_CLEAR_LOG, true},
              {IDC_RESET, false}, {IDC_EXECUTE, false}};
  HWND control = GetWindow(page.page(), GW_CHILD);
  for (const auto& row : rows) {
    ASSERT_TRUE(control) << row.id;
    EXPECT_EQ(row.id, GetDlgCtrlID(control));
    EXPECT_EQ(row.enabled, IsWindowEnabled(control) != FALSE) << row.id;
    control = GetWindow(control, GW_HWNDNEXT);
  }
  char name[32] = {};
  GetClassNameA(page.view(), name, sizeof name);
  EXPECT_EQ(0, lstrcmpiA("RICHEDIT", name)) << name;
  EXPECT_EQ(kLogViewTextLimit, SendMessageA(page.view(), EM_GETLIMITTEXT, 0, 0));
  EXPECT_GE(kLogViewTextLimit, 10 * 1024 * 1024);
  // Setting the background again hands back the one the page chose.
  EXPECT_EQ(LRESULT(GetSysColor(COLOR_INACTIVEBORDER)),
            SendMessageA(page.view(), EM_SETBKGNDCOLOR, 0, RGB(1, 2, 3)));
}

// The page's fixture: a worker, and a page whose console is connected over
// the simulated cable. The test serves the console's requests itself.
class DevicePageCommandTest : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    link_ = std::make_unique<ConsoleLink>();
    ASSERT_TRUE(link_->ok());
    SetSharedFolder(folder_.Path().c_str());
    page_ = link_->page();
  }
  void TearDown() override {
    link_.reset();
    WorkerTest::TearDown();
  }

  void Click(int id) { SendMessageA(page_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const QueuedEntry& e : link_->TakeLog()) lines.push_back(e.text);
    return lines;
  }
  // Flushed, as the worker's notice would.
  std::string ViewText() {
    FlushLog(page_);
    return PageText(page_);
  }

  TempFolder folder_;
  std::unique_ptr<ConsoleLink> link_;
  HWND page_ = nullptr;
};

using DevicePageTooltipTest = WorkerTest;  // tooltips belong to the main window

// The tooltip window whose tools sit on `page`, or none.
HWND TooltipsOf(HWND page) {
  struct Search {
    HWND page, found;
  } search = {page, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), [](HWND w, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    char name[64] = {};
    GetClassNameA(w, name, sizeof name);
    TOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    if (lstrcmpiA(name, TOOLTIPS_CLASSA) == 0 && SendMessageA(w, TTM_ENUMTOOLSA, 0, LPARAM(&tool)) &&
        tool.hwnd == s->page)
      s->found = w;
    return s->found ? FALSE : TRUE;
  }, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(DevicePageTooltipTest, TooltipsNameTheFourButtonsAndGoWithThePage) {
  TestPage page;
  HWND tooltips = TooltipsOf(page.page());
  ASSERT_TRUE(tooltips);
  const struct {
    int id;
    const char* text;
  } rows[] = {{IDC_SAVE_LOG, "Save protocol to file"}, {IDC_CLEAR_LOG, "Clear protocol"},
              {IDC_EXECUTE, "Execute file on target"}, {IDC_RESET, "Reset target"}};
  ASSERT_EQ(4, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
  for (int i = 0; i < 4; ++i) {
    char text[80] = {};
    TOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.lpszText = text;
    ASSERT_TRUE(SendMessageA(tooltips, TTM_ENUMTOOLSA, i, LPARAM(&tool)));
    EXPECT_EQ(GetDlgItem(page.page(), rows[i].id), HWND(tool.uId));
    EXPECT_STREQ(rows[i].text, text);
  }
  DestroyWindow(page.page());
  EXPECT_FALSE(IsWindow(tooltips));
}

TEST_F(DevicePageCommandTest, ExecuteQueuesTheChosenFileAndSaveLogOffersItsName) {
  folder_.Write("prog.elf", ElfHead(0x02, 0x00));
  {
    FileDialogDriver dialog("Execute file...", nullptr, 0, true);
    Click(IDC_EXECUTE);
    ASSERT_TRUE(dialog.Finish());
  }
  std::vector<QueuedEntry> log = link_->TakeLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(kExecuteFailed, log[0].text) << "a cancel fails";
  EXPECT_EQ(Settings.colours[LogError], log[0].colour);
  EXPECT_EQ(std::vector<int>{int(NotifySound::Error)}, sounds_.Take());
  EXPECT_TRUE(link_->session().QueueEmpty());

  {
    // A bare name: the dialog opens in the shared folder.
    FileDialogDriver dialog("Execute file...", "prog.elf");
    Click(IDC_EXECUTE);
    ASSERT_TRUE(dialog.Finish());
  }
  EXPECT_EQ(std::vector<std::string>{kSent}, Lines());
  EXPECT_TRUE(sounds_.Take().empty());
  EXPECT_EQ(folder_.File("prog.elf"), link_->record()->lastFile);
  sim::PollOutcome poll = link_->Serve(link_->console().Poll(0));
  ASSERT_TRUE(poll.command);
  EXPECT_EQ(1, poll.code);
  EXPECT_EQ(folder_.File("prog.elf"), link_->session().LastExecuted());

  AppendLogText(page_, "console text\r\n", LogText);
  FileDialogDriver dialog("Save log...", nullptr, 1);
  Click(IDC_SAVE_LOG);
  EXPECT_EQ("prog", dialog.Offered());
  std::vector<uint8_t> saved;
  ASSERT_TRUE(folder_.Read("prog.TXT", &saved));
  EXPECT_EQ("console text\r\n", std::string(saved.begin(), saved.end()));
  EXPECT_TRUE(Lines().empty());
}

TEST_F(DevicePageCommandTest, SaveLogWritesTheFormatOfTheFilterNotOfTheName) {
  CreateDirectoryA(folder_.File("my.logs").c_str(), nullptr);
  AppendLogText(page_, "plain\r\n", LogText);
  AppendLogText(page_, "failure\r\n", LogError);
  AppendLogText(page_, "notice\r\n", LogNotice);
  const struct Row {
    const char* typed;
    int filter;
    const char* file;  // what is written; none for a cancel
    bool rtf;
  } rows[] = {
      {"a.txt", 2, "a.txt", true},
      {"b.rtf", 1, "b.rtf", false},
      {"plain", 2, "plain.RTF", true},
      {"my.logs\\run", 1, "my.logs\\run", false},
      {"never", 1, nullptr, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    const std::string typed = folder_.File(row.typed);
    FileDialogDriver dialog("Save log...", typed.c_str(), row.filter, !row.file);
    Click(IDC_SAVE_LOG);
    ASSERT_TRUE(dialog.Finish());
    EXPECT_TRUE(Lines().empty()) << "nothing logged";
    EXPECT_TRUE(sounds_.Take().empty());
    if (!row.file) {
      EXPECT_FALSE(folder_.Exists(row.typed));
      continue;
    }
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(folder_.Read(row.file, &bytes));
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(row.rtf, text.rfind("{\\rtf", 0) == 0) << text;
    if (!row.rtf) {
      EXPECT_EQ("plain\r\nfailure\r\nnotice\r\n", text);
      continue;
    }

    // Each text runs in its own colour: \cfN before it names entry N of the
    // colour table, entries being "\redR\greenG\blueB;" after an automatic one.
    const size_t table = text.find("{\\colortbl");
    ASSERT_NE(std::string::npos, table);
    std::vector<std::string> colours;
    size_t at = text.find(';', table) + 1;
    for (size_t end; (end = text.find(';', at)) < text.find('}', table); at = end + 1)
      colours.push_back(text.substr(at, end - at));
    const struct {
      const char* text;
      LogColour colour;
    } runs[] = {{"plain", LogText}, {"failure", LogError}, {"notice", LogNotice}};
    for (const auto& run : runs) {
      const COLORREF c = Settings.colours[run.colour];
      char want[64];
      snprintf(want, sizeof want, "\\red%d\\green%d\\blue%d", GetRValue(c), GetGValue(c),
               GetBValue(c));
      const size_t cf = text.rfind("\\cf", text.find(run.text, text.find("\\pard")));
      ASSERT_NE(std::string::npos, cf) << run.text;
      const int index = std::atoi(text.c_str() + cf + 3);
      ASSERT_LT(0, index) << run.text;
      ASSERT_LE(size_t(index), colours.size()) << run.text;
      EXPECT_EQ(want, colours[index - 1]) << run.text;
    }
  }
}

// Decision 9: the extension goes in only when it fits the 520-character
// buffer; the bytes behind the buffer are never touched.
TEST(SaveExtensionTest, AddsTheFilterExtensionOnlyWhereThereIsNoDotAndRoom) {
  const struct Row {
    std::string path;
    DWORD filter;
    bool ok;
    std::string result;
  } rows[] = {
      {"C:\\games\\demo", 1, true, "C:\\games\\demo.TXT"},
      {"C:\\games\\demo", 2, true, "C:\\games\\demo.RTF"},
      {"C:\\my.logs\\run", 1, true, "C:\\my.logs\\run"},
      {std::string(515, 'x'), 1, true, std::string(515, 'x') + ".TXT"},
      {std::string(516, 'x'), 2, false, std::string(516, 'x')},
      {std::string(519, 'x'), 1, false, std::string(519, 'x')},
  };
  for (const Row& row : rows) {
    char buffer[kPathChars + 16];
    std::memset(buffer, 0x5A, sizeof buffer);
    std::memcpy(buffer, row.path.c_str(), row.path.size() + 1);
    EXPECT_EQ(row.ok, AddSaveExtension(buffer, kPathChars, row.filter)) << row.path.size();
    EXPECT_EQ(row.result, buffer) << row.path.size();
    for (size_t i = kPathChars; i < sizeof buffer; ++i) ASSERT_EQ(0x5A, buffer[i]) << i;
  }
}

TEST(SaveExtensionTest, WriteCallbackFailsUnlessEveryByteWasWritten) {
  TempFolder folder;
  folder.Write("ro", {});
  const std::string path = folder.File("ro");
  const struct {
    DWORD access;
    DWORD result;
    LONG written;
  } rows[] = {{GENERIC_WRITE, 0, 5}, {GENERIC_READ, 1, 0}};
  for (const auto& row : rows) {
    HANDLE file = CreateFileA(path.c_str(), row.access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    BYTE bytes[] = "12345";
    LONG written = -1;
    EXPECT_EQ(row.result, WriteLogChunk(DWORD_PTR(file), bytes, 5, &written));
    EXPECT_EQ(row.written, written);
    CloseHandle(file);
  }
}

TEST_F(DevicePageCommandTest, ResetNeedsAConnectionAndWaitsForTheNextOne) {
  SendMessageA(page_, WM_PAGE_CONNECTION, 1, 0);
  HWND reset = GetDlgItem(page_, IDC_RESET);
  link_->record()->connected = 0;
  Click(IDC_RESET);
  std::vector<QueuedEntry> log = link_->TakeLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Reset failed.\r\n", log[0].text);
  EXPECT_EQ(std::vector<int>{int(NotifySound::Error)}, sounds_.Take());
  EXPECT_EQ(Settings.colours[LogError], log[0].colour);
  EXPECT_TRUE(IsWindowEnabled(reset));

  link_->record()->connected = 1;
  Click(IDC_RESET);
  EXPECT_EQ(std::vector<std::string>{"Send reset command.\r\n"}, Lines());
  EXPECT_FALSE(IsWindowEnabled(reset));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page_, IDC_EXECUTE)));
  sim::PollOutcome poll = link_->Serve(link_->console().Poll(0));
  EXPECT_EQ(0, poll.code);
  EXPECT_FALSE(IsWindowEnabled(reset)) << "until the next connection notice";
  SendMessageA(page_, WM_PAGE_CONNECTION, 1, 0);
  EXPECT_TRUE(IsWindowEnabled(reset));
  SendMessageA(page_, WM_PAGE_CONNECTION, 0, 0);
  EXPECT_FALSE(IsWindowEnabled(reset));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page_, IDC_EXECUTE)));
}

TEST_F(DevicePageCommandTest, ClearLogEmptiesTheViewButNotTheQueue) {
  AppendLogText(page_, "shown\r\n", LogText);
  FlushLog(page_);
  AppendLogText(page_, "queued\r\n", LogText);
  Click(IDC_CLEAR_LOG);
  EXPECT_EQ("", PageText(page_));
  EXPECT_EQ("queued\r\n", ViewText());
}

// A drop as the shell hands it over: DROPFILES and the names, ANSI.
HDROP MakeDrop(const std::vector<std::string>& names) {
  std::string list;
  for (const auto& name : names) list += name + '\0';
  list += '\0';
  HGLOBAL block = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size());
  auto* drop = static_cast<DROPFILES*>(GlobalLock(block));
  drop->pFiles = sizeof(DROPFILES);
  std::memcpy(drop + 1, list.data(), list.size());
  GlobalUnlock(block);
  return static_cast<HDROP>(block);
}

TEST_F(DevicePageCommandTest, DropExecutesExactlyOneFileAndAlwaysFinishesTheDrop) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  folder_.Write("b.txt", Bytes("not an executable"));
  const struct Row {
    std::vector<std::string> files;
    const char* outcome;
  } rows[] = {
      {{"a.elf", "a.elf"}, kExecuteFailed},
      {{}, kExecuteFailed},
      {{"b.txt"}, kExecuteFailed},
      {{"a.elf"}, kSent},
  };
  for (const Row& row : rows) {
    std::vector<std::string> paths;
    for (const auto& f : row.files) paths.push_back(folder_.File(f));
    HDROP drop = MakeDrop(paths);
    SendMessageA(page_, WM_DROPFILES, WPARAM(drop), 0);
    EXPECT_EQ((std::vector<std::string>{kEat, row.outcome}), Lines()) << row.files.size();
    EXPECT_EQ(row.outcome == kSent ? 0u : 1u, sounds_.Take().size());
    EXPECT_EQ(0u, GlobalSize(drop)) << "the drop was not finished";
    EXPECT_EQ(row.outcome == kSent, !link_->session().QueueEmpty());
  }
  EXPECT_STREQ("", link_->record()->lastFile) << "a drop is no last file";
  sim::PollOutcome poll = link_->Serve(link_->console().Poll(0));
  EXPECT_EQ(1, poll.code);
  EXPECT_EQ(folder_.File("a.elf"), link_->session().LastExecuted());
}

}  // namespace
