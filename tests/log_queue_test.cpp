// The LogQueue on a real device page with the real rich edit view: what is
// queued, and what the view is sent and shows.
#include "log/log_queue.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_data.h"
#include "tests/support/test_page.h"
#include "sim/program_probe.h"
#include "ui/device_page.h"
#include "ui/log_find.h"
#include "ui/log_menu.h"
#include "ui/log_view.h"

namespace {

// What a flush sends the view, as a subclass of it sees. Wine's rich edit
// scrolls to the caret by itself on every replace, so only the messages
// show that the view is told to follow the newest line.
std::vector<std::string> viewMessages;
WNDPROC viewProc;
HWND appendWhileDrawing;  // a page that gets "late\r\n" queued at the next replace

LRESULT CALLBACK RecordingViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
  char line[80] = "";
  const auto* f = reinterpret_cast<const CHARFORMATA*>(lParam);
  if (message == EM_SETSEL) snprintf(line, sizeof line, "select %d %d", int(wParam), int(lParam));
  if (message == EM_SETCHARFORMAT)
    snprintf(line, sizeof line, "format %u %u %lx %lx %06lx", unsigned(wParam), unsigned(f->cbSize),
             f->dwMask, f->dwEffects, f->crTextColor);
  if (message == EM_REPLACESEL)
    snprintf(line, sizeof line, "replace %d %s", int(wParam), reinterpret_cast<const char*>(lParam));
  if (message == EM_SCROLLCARET) snprintf(line, sizeof line, "scroll");
  if (*line) viewMessages.push_back(line);
  if (message == EM_REPLACESEL && appendWhileDrawing)
    AppendLogText(std::exchange(appendWhileDrawing, nullptr), "late\r\n", LogError);
  return CallWindowProcA(viewProc, view, message, wParam, lParam);
}

// Waits up to 100 ms for a message, then handles all there are.
void Pump() {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  for (MSG message; PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&message);
}

CHARRANGE Selection(HWND page) {
  CHARRANGE selection = {};
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  return selection;
}

class LogQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(page_.ok());
    viewProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        GetDlgItem(page(), IDC_LOG_VIEW), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingViewProc)));
  }
  HWND page() const { return page_.page(); }

  SettingsScope settings_;
  TestPage page_;
};

// Every entry at the end, in the colour its setting had when it was queued;
// texts up to 1024 characters whole, longer ones as nothing, raw bytes up to
// their first NUL.
TEST_F(LogQueueTest, EntriesGoToTheEndInOrderEachInTheColourItHadWhenQueued) {
  ASSERT_TRUE(AppendLogText(page(), "one\r\n", LogText));
  ASSERT_TRUE(FlushLog(page()));
  SendDlgItemMessageA(page(), IDC_LOG_VIEW, EM_SETSEL, 0, 2);  // wherever the user put the caret
  viewMessages.clear();
  EXPECT_TRUE(FlushLog(page()) && viewMessages.empty()) << "an empty flush touches nothing";

  const std::string t1024(1024, 't'), t1025(1025, 't'), b5000(5000, 'b');
  // bytes -1: appended as text.
  const struct { LogColour colour; COLORREF rgb; const char* text; int64_t bytes; std::string shown; } rows[] = {
      {LogNotice, 0xA00000, nullptr, -1, ""},   {LogError, 0x0000FF, t1024.c_str(), -1, t1024},
      {LogError, 0x030201, t1025.c_str(), -1, ""}, {LogText, 0x000000, "abc\0def", 7, "abc"},
      {LogText, 0x000000, "abcdef", 3, "abc"},  {LogText, 0x000000, nullptr, 0xFFFFFFFF, ""},
      {LogNotice, 0x0A0B0C, b5000.c_str(), 5000, b5000}};
  // Neighbours of one colour go to the view in one replace; nothing to show
  // sends nothing.
  std::vector<std::pair<COLORREF, std::string>> runs;
  std::string shown = "one\r\n";
  for (const auto& row : rows) {
    Settings.colours[row.colour] = row.rgb;
    EXPECT_TRUE(row.bytes < 0 ? AppendLogText(page(), row.text, row.colour)
                              : AppendLogBytes(page(), row.text, uint32_t(row.bytes), row.colour));
    if (runs.empty() || runs.back().first != row.rgb) runs.emplace_back(row.rgb, "");
    runs.back().second += row.shown;
    shown += row.shown;
  }
  std::vector<std::string> expected;
  for (const auto& [rgb, text] : runs) {
    if (text.empty()) continue;
    char format[40];
    snprintf(format, sizeof format, "format 1 %u 40000000 0 %06lx", unsigned(sizeof(CHARFORMATA)), rgb);
    expected.insert(expected.end(), {"select -1 -1", format, ("replace 0 " + text).substr(0, 79)});
  }
  for (COLORREF& colour : Settings.colours) colour = RGB(99, 99, 99);  // recolours nothing queued
  ASSERT_TRUE(FlushLog(page()));
  // The user's selection stays, and the view does not scroll away from it.
  EXPECT_EQ(expected, viewMessages);
  EXPECT_EQ(shown, ViewText(page()));
  EXPECT_TRUE(Selection(page()).cpMin == 0 && Selection(page()).cpMax == 2);
  // Without one, the view follows the newest line.
  SendDlgItemMessageA(page(), IDC_LOG_VIEW, EM_SETSEL, WPARAM(-1), -1);
  viewMessages.clear();
  ASSERT_TRUE(AppendLogText(page(), "two\r\n", LogText) && FlushLog(page()));
  EXPECT_EQ(1, std::count(viewMessages.begin(), viewMessages.end(), "scroll"));
}

TEST_F(LogQueueTest, NoWindowNoRecordOrNoViewQueuesAndFlushesNothing) {
  const HWND gone = TestPage().page();  // destroyed with the temporary
  page_.Attach(false);
  for (HWND page : {HWND(nullptr), gone, page_.page()})
    EXPECT_FALSE(AppendLogText(page, "lost\r\n", LogNotice) || AppendLogBytes(page, "lost", 4, LogText) ||
                 FlushLog(page)) << page;
  page_.Attach(true);
  EXPECT_FALSE(FreeLogEntries(nullptr));
  ASSERT_TRUE(AppendLogText(page(), "kept\r\n", LogError));
  ASSERT_TRUE(DestroyWindow(GetDlgItem(page(), IDC_LOG_VIEW)));
  EXPECT_FALSE(FlushLog(page()));
  EXPECT_EQ(1u, page_.Queued().size());
}

// A flood of console text is drawn in slices: a flush with no time to spare
// still draws one piece, cut at a line end, and puts the rest back ahead of
// what is appended meanwhile; the page then carries on by itself (a timer,
// with the worker's notices held off) until everything is shown.
TEST_F(LogQueueTest, SlicedFlushesKeepTheOrderAndThePageCarriesOnToTheEnd) {
  std::string flood;  // far more than the page draws in one slice on any machine
  for (int i = 0; flood.size() < 256 * 1024; ++i) flood += "console line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(AppendLogBytes(page(), flood.data(), uint32_t(flood.size()), LogText));
  ASSERT_TRUE(AppendLogText(page(), "next\r\n", LogNotice));
  appendWhileDrawing = page();
  bool more = false;
  EXPECT_TRUE(FlushLogFor(page(), 0, &more) && more);
  const std::string shown = ViewText(page());
  EXPECT_TRUE(!shown.empty() && shown.size() <= 8192u && shown.back() == '\n') << shown.size();
  EXPECT_EQ(flood.substr(0, shown.size()), shown);

  SendMessageA(page(), WM_PAGE_FLUSH, 0, 0);
  for (int i = 0; i < 200 && page_.record()->flushPending; ++i) Pump();
  EXPECT_EQ(0, page_.record()->flushPending);
  EXPECT_EQ(flood + "next\r\nlate\r\n", ViewText(page()));
}

// The colour of the view's characters from `from` to `to`, or ~0 when they
// are not all of one colour.
COLORREF ViewColour(HWND page, LONG from, LONG to) {
  CHARRANGE range = {from, to};
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  CHARFORMATA format = {};
  format.cbSize = sizeof format;
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  return format.dwMask & CFM_COLOR ? format.crTextColor : ~COLORREF(0);
}

// Past the scrollback the view starts afresh: its first line counts every
// line removed so far, and the newest whole lines follow it again in their
// colours, ahead of what was queued meanwhile; Clear log forgets the count
// and the kept lines. (The flush trims at kLogScrollbackChars and keeps
// kLogKeptChars; the bounds here are small.)
TEST_F(LogQueueTest, ScrollbackRemovesTheOldLinesInOneBlockAndDrawsTheNewestAgain) {
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += "line " + std::to_string(i) + "\r\n";
  Settings.colours[LogText] = RGB(1, 2, 3);
  Settings.colours[LogError] = RGB(200, 0, 0);
  ASSERT_TRUE(AppendLogBytes(page(), lines.data(), uint32_t(lines.size()), LogText) &&
              AppendLogText(page(), "failed\r\n", LogError) && FlushLog(page()));
  EXPECT_FALSE(TrimLogView(page(), LONG(lines.size() + 8), 0));
  EXPECT_EQ(lines + "failed\r\n", ViewText(page()));
  ASSERT_TRUE(AppendLogText(page(), "queued\r\n", LogError));
  // 17 characters are the newest two lines exactly: both stay whole.
  EXPECT_TRUE(TrimLogView(page(), 500, 17));
  EXPECT_EQ("[99 earlier lines removed]\r\n", ViewText(page()));
  ASSERT_TRUE(FlushLog(page()));
  const std::string note = "[99 earlier lines removed]\r\n";
  EXPECT_EQ(note + "line 99\r\nfailed\r\nqueued\r\n", ViewText(page()));
  const LONG at = LONG(note.size());
  EXPECT_EQ(RGB(1, 2, 3), ViewColour(page(), at, at + 9));
  EXPECT_EQ(RGB(200, 0, 0), ViewColour(page(), at + 9, at + 25));
  EXPECT_EQ(99, RemovedLogLines(page()));
  EXPECT_TRUE(TrimLogView(page(), 10, 0));
  EXPECT_EQ("[102 earlier lines removed]\r\n", ViewText(page()));

  // Cleared while kept lines wait to be drawn again, and while lines are
  // kept: they are gone either way.
  ASSERT_TRUE(AppendLogText(page(), "late\r\n", LogText) && FlushLog(page()));
  EXPECT_TRUE(TrimLogView(page(), 10, 100));
  ASSERT_TRUE(AppendLogText(page(), "gone\r\n", LogText));
  SendMessageA(page(), WM_COMMAND, IDC_CLEAR_LOG, 0);
  EXPECT_TRUE(ViewText(page()).empty() && RemovedLogLines(page()) == 0);
  ASSERT_TRUE(FlushLog(page()));
  EXPECT_EQ("gone\r\n", ViewText(page()));
  SendMessageA(page(), WM_COMMAND, IDC_CLEAR_LOG, 0);
  ASSERT_TRUE(AppendLogText(page(), "after\r\n", LogText) && FlushLog(page()));
  EXPECT_TRUE(TrimLogView(page(), 0, 100));
  ASSERT_TRUE(FlushLog(page()));
  EXPECT_EQ("[0 earlier lines removed]\r\nafter\r\n", ViewText(page()));

  // Lines a console ends with "\r" alone are whole lines to keep as well.
  SendMessageA(page(), WM_COMMAND, IDC_CLEAR_LOG, 0);
  ASSERT_TRUE(AppendLogText(page(), "one\rtwo\rthree\r", LogText) && FlushLog(page()));
  EXPECT_TRUE(TrimLogView(page(), 0, 8));
  ASSERT_TRUE(FlushLog(page()));
  EXPECT_EQ(2, RemovedLogLines(page()));
  EXPECT_EQ("[2 earlier lines removed]\r\nthree\r", ViewText(page()));
}

// The system's Find dialog over the log, driven through its controls as a
// user would: what to find (edt1), whole word (chx1), match case (chx2), up
// (rad1) or down (rad2), Find Next (IDOK); F3 repeats the search.
TEST_F(LogQueueTest, FindSelectsTheNextMatchByCaseWordAndDirection) {
  const std::string text = "alphabet Alpha\r\nbeta alpha\r\n";
  ASSERT_TRUE(AppendLogText(page(), text.c_str(), LogText) && FlushLog(page()));
  SendDlgItemMessageA(page(), IDC_LOG_VIEW, EM_SETSEL, 0, 0);
  SendMessageA(page(), WM_COMMAND, IDM_LOG_FIND, 0);
  HWND dialog = probe::FindTopLevel(GetCurrentProcessId(), "Find", 1152);
  ASSERT_TRUE(dialog);
  auto find = [&](const char* what, bool word, bool match, bool down) {
    SetDlgItemTextA(dialog, 1152, what);
    CheckDlgButton(dialog, 1040, word ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, 1041, match ? BST_CHECKED : BST_UNCHECKED);
    CheckRadioButton(dialog, 1056, 1057, down ? 1057 : 1056);
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
    return std::make_pair(Selection(page()).cpMin, Selection(page()).cpMax);
  };
  // Positions count a line end as two characters, as rich edit 1.0 keeps it.
  const struct { const char* what; bool word, match, down; LONG from, to; } rows[] = {
      {"alpha", false, false, true, 0, 5},    {"alpha", false, false, true, 9, 14},
      {"alpha", false, true, true, 21, 26},   {"alpha", false, true, false, 0, 5},
      {"alpha", true, false, true, 9, 14},    {"alpha", true, false, true, 21, 26},
      {"alpha", true, false, false, 9, 14},   {"gamma", false, false, true, 9, 14},
  };
  for (const auto& row : rows)
    EXPECT_EQ(std::make_pair(row.from, row.to), find(row.what, row.word, row.match, row.down))
        << row.what << " word " << row.word << " case " << row.match << " down " << row.down;
  SendMessageA(page(), WM_COMMAND, IDM_LOG_FIND_NEXT, 0);  // "gamma" is still not there
  EXPECT_EQ(9, Selection(page()).cpMin);
  find("ALPHA", false, false, true);
  for (LONG next : {21, 21}) {
    SendMessageA(page(), WM_COMMAND, IDM_LOG_FIND_NEXT, 0);
    EXPECT_EQ(next, Selection(page()).cpMin) << "F3 goes on down, and stays at the last";
  }
  SendMessageA(page(), WM_COMMAND, IDM_LOG_FIND, 0);
  EXPECT_EQ(dialog, probe::FindTopLevel(GetCurrentProcessId(), "Find", 1152)) << "one dialog";
  DestroyWindow(page());
  EXPECT_FALSE(IsWindow(dialog)) << "the dialog goes with its page";
}

// The context menu's items as it shows them, and what each does.
TEST_F(LogQueueTest, ContextMenuCopiesSelectsWrapsAndClears) {
  const std::string line(600, 'w');
  ASSERT_TRUE(AppendLogText(page(), "first\r\n", LogText) && FlushLog(page()));
  ASSERT_TRUE(AppendLogBytes(page(), line.data(), uint32_t(line.size()), LogText) && FlushLog(page()));
  auto items = [&] {  // a separator shows as "-"
    std::string out;
    HMENU menu = CreateLogMenu(page());
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      char name[40] = "-";
      UINT state = GetMenuState(menu, i, MF_BYPOSITION);
      if (!(state & MF_SEPARATOR)) GetMenuStringA(menu, i, name, sizeof name, MF_BYPOSITION);
      else state = 0;  // greyed, always
      out += name + std::string(state & MF_GRAYED ? " (grey)" : "") + (state & MF_CHECKED ? " (on)" : "") + "|";
    }
    DestroyMenu(menu);
    return out;
  };
  SendDlgItemMessageA(page(), IDC_LOG_VIEW, EM_SETSEL, 0, 0);
  EXPECT_EQ("&Copy (grey)|Select &all|-|&Find...\tCtrl+F|&Word wrap|-|&Save log...|C&lear log|", items());
  HWND view = GetDlgItem(page(), IDC_LOG_VIEW);
  const LRESULT lines = SendMessageA(view, EM_GETLINECOUNT, 0, 0);
  SendMessageA(page(), WM_COMMAND, IDM_LOG_WORD_WRAP, 0);
  EXPECT_LT(lines, SendMessageA(view, EM_GETLINECOUNT, 0, 0)) << "the long line wraps";
  SendMessageA(page(), WM_COMMAND, IDM_LOG_SELECT_ALL, 0);
  EXPECT_EQ("&Copy|Select &all|-|&Find...\tCtrl+F|&Word wrap (on)|-|&Save log...|C&lear log|", items());
  SendMessageA(page(), WM_COMMAND, IDM_LOG_WORD_WRAP, 0);
  EXPECT_EQ(lines, SendMessageA(view, EM_GETLINECOUNT, 0, 0));

  ASSERT_TRUE(OpenClipboard(nullptr) && EmptyClipboard() && CloseClipboard());
  SendMessageA(page(), WM_COMMAND, IDM_LOG_COPY, 0);
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_TEXT);
  EXPECT_EQ(ViewText(page()), data ? static_cast<const char*>(GlobalLock(data)) : "");
  CloseClipboard();
  SendMessageA(page(), WM_COMMAND, IDM_LOG_CLEAR, 0);
  EXPECT_EQ("", ViewText(page()));
}

}  // namespace
