// The LogQueue on a real device page with the real rich edit view: what is
// queued, what the view is sent and shows, and producers on other threads
// while the UI thread flushes.
#include "ui/log_queue.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_data.h"
#include "tests/support/test_page.h"
#include "ui/device_page.h"

namespace {

class LogQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(page_.ok()); }

  SettingsScope settings_;
  TestPage page_;
};

// Each row between two other entries, which must show whole around it.
TEST_F(LogQueueTest, TextsUpTo1024CharactersShowWholeLongerOnesAndRawNulsShowNothingPast) {
  const std::string t1024(1024, 't'), t1025(1025, 't'), b5000(5000, 'b');
  struct Row {
    const char* text;
    int64_t bytes;  // -1: appended as text
    std::string shown;
  } rows[] = {
      {nullptr, -1, ""},      {t1024.c_str(), -1, t1024},     {t1025.c_str(), -1, ""},
      {"abc\0def", 7, "abc"}, {"abcdef", 3, "abc"},           {nullptr, 0xFFFFFFFF, ""},
      {b5000.c_str(), 5000, b5000},
  };
  for (const Row& row : rows) {
    TestPage page;
    EXPECT_TRUE(AppendLogText(page.page(), "before\r\n", LogNotice));
    EXPECT_TRUE(row.bytes < 0 ? AppendLogText(page.page(), row.text, LogText)
                              : AppendLogBytes(page.page(), row.text, uint32_t(row.bytes), LogText));
    EXPECT_TRUE(AppendLogText(page.page(), "\r\nafter\r\n", LogError));
    ASSERT_TRUE(FlushLog(page.page()));
    EXPECT_EQ("before\r\n" + row.shown + "\r\nafter\r\n", page.ViewText()) << row.shown.size();
  }
}

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

TEST_F(LogQueueTest, EntriesGoToTheEndInOrderEachInTheColourItHadWhenQueued) {
  ASSERT_TRUE(AppendLogText(page_.page(), "one\r\n", LogText));
  ASSERT_TRUE(FlushLog(page_.page()));
  SendMessageA(page_.view(), EM_SETSEL, 0, 2);  // wherever the user put the caret
  viewProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      page_.view(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingViewProc)));
  viewMessages.clear();
  EXPECT_TRUE(FlushLog(page_.page()));  // an empty flush touches nothing
  EXPECT_TRUE(viewMessages.empty());

  const struct {
    LogColour colour;
    COLORREF setting;  // Settings.colours[colour] just before the append
    const char* text;
  } rows[] = {{LogNotice, 0xA00000, "two"}, {LogError, 0x0000FF, "3"}, {LogError, 0x030201, "4"},
              {LogText, 0x000000, "5"}};
  std::vector<std::string> expected;
  for (const auto& row : rows) {
    Settings.colours[row.colour] = row.setting;
    ASSERT_TRUE(AppendLogText(page_.page(), row.text, row.colour));
    char format[40];
    snprintf(format, sizeof format, "format 1 %u 40000000 0 %06lx", unsigned(sizeof(CHARFORMATA)),
             row.setting);
    expected.insert(expected.end(), {"select -1 -1", format, "replace 0 " + std::string(row.text),
                                     "scroll"});
  }
  for (COLORREF& colour : Settings.colours) colour = RGB(99, 99, 99);  // recolours nothing queued
  ASSERT_TRUE(FlushLog(page_.page()));
  EXPECT_EQ(expected, viewMessages);
  EXPECT_EQ("one\r\ntwo345", page_.ViewText());
  EXPECT_TRUE(page_.Queued().empty());
}

TEST_F(LogQueueTest, NoWindowNoRecordOrNoViewQueuesAndFlushesNothing) {
  HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  DestroyWindow(gone);
  page_.Attach(false);
  for (HWND page : {HWND(nullptr), gone, page_.page()}) {
    EXPECT_FALSE(AppendLogText(page, "lost\r\n", LogNotice));
    EXPECT_FALSE(AppendLogBytes(page, "lost", 4, LogText));
    EXPECT_FALSE(FlushLog(page));
  }
  page_.Attach(true);
  EXPECT_TRUE(page_.Queued().empty());
  EXPECT_FALSE(FreeLogEntries(nullptr));

  ASSERT_TRUE(AppendLogText(page_.page(), "kept\r\n", LogError));
  ASSERT_TRUE(DestroyWindow(page_.view()));
  EXPECT_FALSE(FlushLog(page_.page()));
  ASSERT_EQ(1u, page_.Queued().size());
  EXPECT_EQ("kept\r\n", page_.Queued()[0].text);
}

// Two producers queue and send the flush notice, as the worker does, while
// the UI thread handles the notices. Nothing may be lost or reordered.
TEST_F(LogQueueTest, TwoThreadsAppendWhileTheUiThreadFlushes) {
  constexpr int kEach = 1000;
  std::atomic<int> running{2}, ready{0};
  auto produce = [&](char name) {
    // Start together, or the first producer may be done before the second runs.
    ++ready;
    for (long spin = 0; ready < 2 && spin < 100000000; ++spin) {}
    char line[16];
    for (int i = 0; i < kEach; ++i) {
      snprintf(line, sizeof line, "%c %04d\r\n", name, i);
      AppendLogText(page_.page(), line, LogText);
      // Bursts between notices, so that the two producers meet at the tail.
      if (i % 32 == 31 || i == kEach - 1) SendNotifyMessageA(page_.page(), WM_PAGE_FLUSH, 0, 0);
    }
    --running;
  };
  std::thread a(produce, 'A'), b(produce, 'B');
  MSG message;
  for (long round = 0; running > 0 && round < 50000000; ++round)
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  a.join();
  b.join();
  // The producers' last notices are still pending and flush the rest.
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);

  const std::string text = page_.ViewText();
  int next[2] = {0, 0};
  for (size_t at = 0; at + 8 <= text.size(); at += 8) {
    char name = 0;
    int number = -1;
    ASSERT_EQ(2, sscanf(text.c_str() + at, "%c %4d", &name, &number)) << at;
    ASSERT_TRUE(name == 'A' || name == 'B') << at;
    ASSERT_EQ(next[name - 'A']++, number) << name;
  }
  EXPECT_EQ(8u * 2 * kEach, text.size());
}

}  // namespace

// A flood of console text is drawn in slices: a flush with no time to spare
// still draws one piece, cut at a line end, and puts the rest back ahead of
// what is appended meanwhile; the page then carries on by itself (a timer,
// with the worker's notices held off) until everything is shown.
TEST_F(LogQueueTest, SlicedFlushesKeepTheOrderAndThePageCarriesOnToTheEnd) {
  std::string flood;
  // Far more than the page draws in one slice on any machine.
  for (int i = 0; flood.size() < 256 * 1024; ++i) flood += "console line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(AppendLogBytes(page_.page(), flood.data(), uint32_t(flood.size()), LogText));
  ASSERT_TRUE(AppendLogText(page_.page(), "next\r\n", LogNotice));
  viewProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      page_.view(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingViewProc)));
  appendWhileDrawing = page_.page();
  bool more = false;
  ASSERT_TRUE(FlushLogFor(page_.page(), 0, &more));
  EXPECT_TRUE(more);
  const std::string shown = page_.ViewText();
  ASSERT_FALSE(shown.empty());
  EXPECT_LE(shown.size(), 16384u);
  EXPECT_EQ(flood.substr(0, shown.size()), shown);
  EXPECT_EQ('\n', shown.back());
  std::vector<QueuedEntry> queued = page_.Queued();
  ASSERT_EQ(3u, queued.size());
  EXPECT_EQ(flood.substr(shown.size()), queued[0].text);

  SendMessageA(page_.page(), WM_PAGE_FLUSH, 0, 0);
  for (int i = 0; i < 200 && page_.record()->flushPending; ++i) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  EXPECT_EQ(0, page_.record()->flushPending);
  EXPECT_EQ(flood + "next\r\nlate\r\n", page_.ViewText());
}
