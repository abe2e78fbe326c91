// The device page made from template 106 and its commands: Execute through
// the real open-file dialog, Reset, Clear log, dropped files, and Save log
// through the real save-file dialog in both formats. The page's console is
// connected over the simulated cable and served by the test; the worker
// runs, so that Save log can park it.
#include "ui/device_page.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "session/target_session.h"
#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "ui/log_queue.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

const char kSent[] = "Send execute command.\r\n";
const char kExecuteFailed[] = "Execute failed.\r\n";
const int kError = int(NotifySound::Error);

class DevicePageTest : public WorkerTest {
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
  bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(page_, id)) != FALSE; }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const QueuedEntry& e : link_->TakeLog()) lines.push_back(e.text);
    return lines;
  }

  TempFolder folder_;
  std::unique_ptr<ConsoleLink> link_;
  HWND page_ = nullptr;
};

TEST_F(DevicePageTest, ResetAndExecuteWaitForAConnectionAndClearEmptiesTheView) {
  EXPECT_FALSE(Enabled(IDC_EXECUTE));
  EXPECT_FALSE(Enabled(IDC_RESET));
  EXPECT_EQ(kLogViewTextLimit, SendDlgItemMessageA(page_, IDC_LOG_VIEW, EM_GETLIMITTEXT, 0, 0));
  SendMessageA(page_, WM_PAGE_CONNECTION, 1, 0);
  EXPECT_TRUE(Enabled(IDC_EXECUTE));
  EXPECT_TRUE(Enabled(IDC_RESET));

  link_->record()->connected = 0;
  Click(IDC_RESET);
  EXPECT_EQ(std::vector<std::string>{"Reset failed.\r\n"}, Lines());
  EXPECT_EQ(std::vector<int>{kError}, sounds_.Take());
  link_->record()->connected = 1;
  Click(IDC_RESET);
  EXPECT_EQ(std::vector<std::string>{"Send reset command.\r\n"}, Lines());
  EXPECT_FALSE(Enabled(IDC_RESET)) << "until the next connection notice";
  EXPECT_EQ(0, link_->Serve(link_->console().Poll(0)).code);
  SendMessageA(page_, WM_PAGE_CONNECTION, 0, 0);
  EXPECT_FALSE(Enabled(IDC_EXECUTE));

  AppendLogText(page_, "shown\r\n", LogText);
  FlushLog(page_);
  Click(IDC_CLEAR_LOG);
  EXPECT_EQ("", link_->testPage().ViewText());
}

TEST_F(DevicePageTest, TooltipsGoWithThePage) {
  TestPage page;
  // The page keeps its tooltip window in this property.
  HWND tooltips = static_cast<HWND>(GetPropA(page.page(), "TavdeskTooltips"));
  ASSERT_TRUE(IsWindow(tooltips));
  EXPECT_EQ(4, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
  DestroyWindow(page.page());
  EXPECT_FALSE(IsWindow(tooltips));
}

TEST_F(DevicePageTest, ExecuteQueuesTheChosenFileAndSaveLogOffersItsName) {
  // A '.' in a folder name is no extension.
  CreateDirectoryA(folder_.File("v1.2").c_str(), nullptr);
  folder_.Write("v1.2\\prog", ElfHead(0x02, 0x00));
  {
    FileDialogDriver cancel("Execute file...", nullptr, 0, true);
    Click(IDC_EXECUTE);
    ASSERT_TRUE(cancel.Finish());
  }
  EXPECT_EQ(std::vector<std::string>{kExecuteFailed}, Lines()) << "a cancel fails";
  EXPECT_EQ(std::vector<int>{kError}, sounds_.Take());
  {
    FileDialogDriver dialog("Execute file...", "v1.2\\prog");  // from the shared folder
    Click(IDC_EXECUTE);
    ASSERT_TRUE(dialog.Finish());
  }
  EXPECT_EQ(std::vector<std::string>{kSent}, Lines());
  EXPECT_EQ(1, link_->Serve(link_->console().Poll(0)).code);
  EXPECT_EQ(folder_.File("v1.2\\prog"), link_->session().LastExecuted());

  std::string offered;
  FileDialogDriver dialog("Save log...", nullptr, 0, true, &offered);
  Click(IDC_SAVE_LOG);
  ASSERT_TRUE(dialog.Finish());
  EXPECT_EQ("prog", offered);
}

// The filter, not the name, picks the format; a cancel is no failure.
TEST_F(DevicePageTest, SaveLogWritesTheFormatOfTheFilter) {
  AppendLogText(page_, "plain\r\n", LogText);
  for (const char* name : {"a.txt", "never"}) {
    const bool cancel = name[0] == 'n';
    FileDialogDriver dialog("Save log...", folder_.File(name).c_str(), 2, cancel);
    Click(IDC_SAVE_LOG);
    ASSERT_TRUE(dialog.Finish());
    EXPECT_TRUE(Lines().empty()) << name;
    EXPECT_TRUE(sounds_.Take().empty()) << name;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(!cancel, folder_.Read(name, &bytes));
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(!cancel, text.rfind("{\\rtf", 0) == 0);
    EXPECT_EQ(!cancel, text.find("plain") != std::string::npos) << "flushed before it is written";
  }
}

// The extension goes in only when it fits the 520-character buffer; the
// bytes behind the buffer are never touched.
TEST(SaveLogFileTest, ExtensionOnlyWhereThereIsNoDotAndRoomAndWritesMustBeWhole) {
  const struct Row {
    std::string path;
    DWORD filter;
    bool ok;
    std::string result;
  } rows[] = {
      {"C:\\games\\demo", 1, true, "C:\\games\\demo.TXT"},
      {"C:\\my.logs\\run", 1, true, "C:\\my.logs\\run.TXT"},
      {"C:\\my.logs\\run.log", 1, true, "C:\\my.logs\\run.log"},
      {std::string(515, 'x'), 2, true, std::string(515, 'x') + ".RTF"},
      {std::string(516, 'x'), 2, false, std::string(516, 'x')},
  };
  for (const Row& row : rows) {
    char buffer[kPathChars + 16];
    std::memset(buffer, 0x5A, sizeof buffer);
    std::memcpy(buffer, row.path.c_str(), row.path.size() + 1);
    EXPECT_EQ(row.ok, AddSaveExtension(buffer, kPathChars, row.filter)) << row.path.size();
    EXPECT_EQ(row.result, buffer) << row.path.size();
    for (size_t i = kPathChars; i < sizeof buffer; ++i) ASSERT_EQ(0x5A, buffer[i]) << i;
  }

  TempFolder folder;
  folder.Write("log", {});
  for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(GENERIC_READ)}) {
    HANDLE file = CreateFileA(folder.File("log").c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    BYTE bytes[] = "12345";
    LONG written = -1;
    EXPECT_EQ(access == GENERIC_READ ? 1u : 0u, WriteLogChunk(DWORD_PTR(file), bytes, 5, &written));
    EXPECT_EQ(access == GENERIC_READ ? 0 : 5, written);
    CloseHandle(file);
  }
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

TEST_F(DevicePageTest, DropExecutesExactlyOneFileAndAlwaysFinishesTheDrop) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  const std::string elf = folder_.File("a.elf");
  const struct Row {
    std::vector<std::string> files;
    const char* outcome;
  } rows[] = {{{elf, elf}, kExecuteFailed}, {{elf}, kSent}};
  for (const Row& row : rows) {
    HDROP drop = MakeDrop(row.files);
    SendMessageA(page_, WM_DROPFILES, WPARAM(drop), 0);
    EXPECT_EQ((std::vector<std::string>{"Eat dropped file.\r\n", row.outcome}), Lines());
    EXPECT_EQ(row.outcome == kSent ? 0u : 1u, sounds_.Take().size());
    EXPECT_EQ(0u, GlobalSize(drop)) << "the drop was not finished";
  }
  EXPECT_EQ(1, link_->Serve(link_->console().Poll(0)).code);
  EXPECT_EQ(elf, link_->session().LastExecuted());
}

}  // namespace
