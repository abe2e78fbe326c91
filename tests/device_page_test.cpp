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

#include "tests/support/console_link.h"
#include "tests/support/worker_fixture.h"
#include "ui/log_queue.h"
#include "ui/main_window.h"

namespace {

const char kSent[] = "Send execute command.\r\n";
const char kFailed[] = "Execute failed.\r\n";
const std::vector<int> kError = {int(NotifySound::Error)}, kSilent;

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
  // The lines queued and the sounds played since the last call.
  void ExpectLog(const std::vector<std::string>& lines, const std::vector<int>& sounds) {
    std::vector<std::string> logged;
    for (const QueuedEntry& e : link_->TakeLog()) logged.push_back(e.text);
    EXPECT_EQ(lines, logged);
    EXPECT_EQ(sounds, sounds_.Take());
  }
  int Served() { return link_->Serve(link_->console().Poll(0)).code; }

  TempFolder folder_;
  std::unique_ptr<ConsoleLink> link_;
  HWND page_ = nullptr;
};

// Template 106 as the user meets it: the view read-only, files accepted, the
// buttons with their texts and access keys in their places, four tooltips.
TEST_F(DevicePageTest, TheTemplateGivesTheControlsTheirStylesTextsAndPlaces) {
  EXPECT_TRUE(GetWindowLongA(page_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
  EXPECT_TRUE(GetWindowLongA(GetDlgItem(page_, IDC_LOG_VIEW), GWL_STYLE) & ES_READONLY);
  EXPECT_EQ(kLogViewTextLimit, SendDlgItemMessageA(page_, IDC_LOG_VIEW, EM_GETLIMITTEXT, 0, 0));
  const struct {
    int id;
    const char* text;
    int x;
  } buttons[] = {{IDC_SAVE_LOG, "&Save log", 19}, {IDC_CLEAR_LOG, "&Clear log", 65},
                 {IDC_RESET, "&Reset", 113}, {IDC_EXECUTE, "&Execute", 159}};
  for (const auto& button : buttons) {
    char text[32] = {};
    GetDlgItemTextA(page_, button.id, text, sizeof text);
    EXPECT_STREQ(button.text, text);
    RECT expected = {button.x, 151, button.x + 40, 165}, shown;
    MapDialogRect(page_, &expected);
    GetWindowRect(GetDlgItem(page_, button.id), &shown);
    MapWindowPoints(nullptr, page_, reinterpret_cast<POINT*>(&shown), 2);
    EXPECT_EQ(expected.left, shown.left) << text;
    EXPECT_EQ(expected.top, shown.top) << text;
  }
  HWND tooltips = static_cast<HWND>(GetPropA(page_, "TavdeskTooltips"));
  EXPECT_EQ(4, SendMessageA(tooltips, TTM_GETTOOLCOUNT, 0, 0));
}

TEST_F(DevicePageTest, ResetAndExecuteWaitForAConnectionAndClearEmptiesTheView) {
  EXPECT_FALSE(Enabled(IDC_EXECUTE));
  EXPECT_FALSE(Enabled(IDC_RESET));
  SendMessageA(page_, WM_PAGE_CONNECTION, 1, 0);
  EXPECT_TRUE(Enabled(IDC_EXECUTE));
  EXPECT_TRUE(Enabled(IDC_RESET));
  const struct {
    uint8_t connected;
    const char* line;
    std::vector<int> sounds;
  } resets[] = {{0, "Reset failed.\r\n", kError}, {1, "Send reset command.\r\n", kSilent}};
  for (const auto& reset : resets) {
    link_->record()->connected = reset.connected;
    Click(IDC_RESET);
    ExpectLog({reset.line}, reset.sounds);
  }
  EXPECT_FALSE(Enabled(IDC_RESET)) << "until the next connection notice";
  EXPECT_EQ(0, Served());
  SendMessageA(page_, WM_PAGE_CONNECTION, 0, 0);
  EXPECT_FALSE(Enabled(IDC_EXECUTE));

  AppendLogText(page_, "shown\r\n", LogText);
  FlushLog(page_);
  Click(IDC_CLEAR_LOG);
  EXPECT_EQ("", ViewText(page_));
}

// Save log offers the executed file's name without its extension (a '.' in
// a folder name is none); the filter, not the name, picks the format, and
// the log is flushed before it is written. A cancel fails Execute only.
TEST_F(DevicePageTest, ExecuteTakesTheChosenFileAndSaveLogWritesTheFormatOfTheFilter) {
  CreateDirectoryA(folder_.File("v1.2").c_str(), nullptr);
  folder_.Write("v1.2\\prog", ElfHead(0x02, 0x00));
  auto execute = [&] { Click(IDC_EXECUTE); };
  ASSERT_TRUE(UseFileDialog(execute, nullptr, 0, true));
  ExpectLog({kFailed}, kError);
  ASSERT_TRUE(UseFileDialog(execute, "v1.2\\prog"));  // from the shared folder
  ExpectLog({kSent}, kSilent);
  EXPECT_EQ(1, Served());
  EXPECT_EQ(folder_.File("v1.2\\prog"), link_->session().LastExecuted());

  AppendLogText(page_, "plain\r\n", LogText);
  auto save = [&] { Click(IDC_SAVE_LOG); };
  std::string offered;
  ASSERT_TRUE(UseFileDialog(save, nullptr, 0, true, &offered));
  EXPECT_EQ("prog", offered);
  ASSERT_TRUE(UseFileDialog(save, folder_.File("a.txt").c_str(), 2));
  ExpectLog({}, kSilent);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(folder_.Read("a.txt", &bytes));
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(0u, text.rfind("{\\rtf", 0));
  EXPECT_NE(std::string::npos, text.find("plain"));
}

// The extension goes in only when it fits the 520-character buffer. A short
// write fails.
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
    char buffer[kPathChars];
    std::memcpy(buffer, row.path.c_str(), row.path.size() + 1);
    EXPECT_EQ(row.ok, AddSaveExtension(buffer, kPathChars, row.filter)) << row.path.size();
    EXPECT_EQ(row.result, buffer) << row.path.size();
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

// A drop of exactly one file executes it; every drop is finished.
TEST_F(DevicePageTest, DropExecutesExactlyOneFileAndAlwaysFinishesTheDrop) {
  folder_.Write("a.elf", ElfHead(0x02, 0x00));
  const std::string elf = folder_.File("a.elf");
  for (int files : {2, 1}) {
    // DROPFILES and the names, ANSI, as the shell hands a drop over.
    std::string list;
    for (int i = 0; i < files; ++i) list += elf + '\0';
    list += '\0';
    HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size());
    auto* head = static_cast<DROPFILES*>(GlobalLock(drop));
    head->pFiles = sizeof(DROPFILES);
    std::memcpy(head + 1, list.data(), list.size());
    GlobalUnlock(drop);
    SendMessageA(page_, WM_DROPFILES, WPARAM(drop), 0);
    ExpectLog({"Eat dropped file.\r\n", files == 1 ? kSent : kFailed}, files == 1 ? kSilent : kError);
    EXPECT_EQ(0u, GlobalSize(drop)) << "the drop was not finished";
  }
  EXPECT_EQ(1, Served());
  EXPECT_EQ(elf, link_->session().LastExecuted());
}

}  // namespace
