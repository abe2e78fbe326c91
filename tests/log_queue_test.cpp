// The LogQueue on a real device page with the real rich edit view: what is
// queued, what the view shows and in which colour, and producers on other
// threads while the UI thread flushes.
#include "ui/log_queue.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>

#include "config/settings.h"
#include "tests/support/test_page.h"
#include "ui/device_page.h"

namespace {

// Lines of 80 characters: Wine's rich edit is quadratic in one line's length.
std::string Lines(size_t count, char fill) {
  std::string text;
  char number[16];
  for (size_t i = 0; i < count; ++i) {
    snprintf(number, sizeof number, "%05zu", i);
    text += number + std::string(73, fill) + "\r\n";
  }
  return text;
}

class LogQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Settings;
    IniPath[0] = 0;
    SetDefaultSettings();
    ASSERT_TRUE(page_.ok());
  }
  void TearDown() override { Settings = saved_; }

  SettingsRecord saved_;
  TestPage page_;
};

TEST_F(LogQueueTest, TextsUpTo1024CharactersShowWholeLongerOnesShowNothing) {
  struct Row {
    bool none;
    size_t length;
    size_t shown;
  } rows[] = {{true, 0, 0}, {false, 0, 0}, {false, 1, 1}, {false, 1023, 1023},
              {false, 1024, 1024}, {false, 1025, 0}, {false, 5000, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "length " << row.length << (row.none ? " (none)" : ""));
    TestPage page;
    ASSERT_TRUE(page.ok());
    std::string text(row.length, 't');
    EXPECT_TRUE(AppendLogText(page.page(), "before\r\n", LogNotice));
    EXPECT_TRUE(AppendLogText(page.page(), row.none ? nullptr : text.c_str(), LogText));
    EXPECT_TRUE(AppendLogText(page.page(), "\r\nafter\r\n", LogError));

    auto queued = page.Queued();
    ASSERT_EQ(3u, queued.size());
    EXPECT_EQ(std::string(row.shown, 't'), queued[1].text);
    ASSERT_TRUE(FlushLog(page.page()));
    EXPECT_EQ("before\r\n" + std::string(row.shown, 't') + "\r\nafter\r\n", page.ViewText());
  }
}

TEST_F(LogQueueTest, RawBytesAreCopiedExactlyAndShowUpToTheirFirstNul) {
  const std::string fiveThousand = Lines(62, 'b') + std::string(40, 'e');
  ASSERT_EQ(5000u, fiveThousand.size());
  struct Row {
    const char* what;
    const char* bytes;
    uint32_t length;
    std::string shown;
  } rows[] = {
      {"NUL at 3", "abc\0def", 7, "abc"},
      {"NUL at 0", "\0xyz", 4, ""},
      {"length shorter than the text", "abcdef", 3, "abc"},
      {"no bytes, any length", nullptr, 0xFFFFFFFFu, ""},
      {"5000 bytes", fiveThousand.c_str(), 5000, fiveThousand},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TestPage page;
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE(AppendLogBytes(page.page(), row.bytes, row.length, LogText));
    auto queued = page.Queued();
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ(row.shown, queued[0].text);
    ASSERT_TRUE(FlushLog(page.page()));
    EXPECT_EQ(row.shown, page.ViewText());
  }
}

TEST_F(LogQueueTest, EntriesShowInOrderEachInTheColourItHadWhenQueued) {
  struct Row {
    LogColour colour;
    COLORREF setting;  // Settings.colours[colour] just before the append
    const char* text;
  } rows[] = {
      {LogNotice, RGB(0, 0, 160), "Peer found.\r\n"},
      {LogError, RGB(255, 0, 0), "Open failed: "},
      {LogError, RGB(1, 2, 3), "game.elf"},
      {LogText, RGB(0, 0, 0), "\r\nconsole says hello\r\n"},
      {LogNotice, RGB(10, 200, 30), "Send reset command.\r\n"},
  };
  std::string expected;
  for (const Row& row : rows) {
    Settings.colours[row.colour] = row.setting;
    ASSERT_TRUE(AppendLogText(page_.page(), row.text, row.colour));
    expected += row.text;
  }
  // A later change of the settings recolours nothing already queued.
  for (COLORREF& colour : Settings.colours) colour = RGB(99, 99, 99);

  auto queued = page_.Queued();
  ASSERT_EQ(std::size(rows), queued.size());
  for (size_t i = 0; i < queued.size(); ++i) {
    EXPECT_EQ(rows[i].setting, queued[i].colour) << i;
    EXPECT_EQ(rows[i].text, queued[i].text) << i;
  }

  ASSERT_TRUE(FlushLog(page_.page()));
  EXPECT_EQ(expected, page_.ViewText());
  EXPECT_TRUE(page_.Queued().empty());
  for (const Row& row : rows) {
    std::string visible = row.text;
    while (visible.find("\r\n") != std::string::npos) visible.erase(visible.find("\r\n"), 2);
    COLORREF colour = 0xFFFFFFFF;
    EXPECT_TRUE(page_.ColourOf(visible.c_str(), &colour)) << visible;
    EXPECT_EQ(row.setting, colour) << visible;
  }
}

TEST_F(LogQueueTest, PageThatIsNoWindowOrHasNoRecordQueuesNothing) {
  HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(gone);
  DestroyWindow(gone);
  page_.Attach(false);
  struct Row {
    const char* what;
    HWND page;
  } rows[] = {{"no page", nullptr}, {"destroyed window", gone}, {"no record", page_.page()}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_FALSE(AppendLogText(row.page, "lost\r\n", LogNotice));
    EXPECT_FALSE(AppendLogBytes(row.page, "lost", 4, LogText));
    EXPECT_FALSE(FlushLog(row.page));
  }
  page_.Attach(true);
  EXPECT_TRUE(page_.Queued().empty());
  EXPECT_TRUE(FlushLog(page_.page()));
  EXPECT_EQ("", page_.ViewText());
}

TEST_F(LogQueueTest, FlushWithoutViewFailsAndKeepsTheQueue) {
  ASSERT_TRUE(AppendLogText(page_.page(), "one\r\n", LogNotice));
  ASSERT_TRUE(AppendLogText(page_.page(), "two\r\n", LogError));
  ASSERT_TRUE(DestroyWindow(page_.view()));
  EXPECT_FALSE(FlushLog(page_.page()));
  auto queued = page_.Queued();
  ASSERT_EQ(2u, queued.size());
  EXPECT_EQ("one\r\n", queued[0].text);
  EXPECT_EQ(Settings.colours[LogNotice], queued[0].colour);
  EXPECT_EQ("two\r\n", queued[1].text);
  EXPECT_EQ(Settings.colours[LogError], queued[1].colour);
}

TEST_F(LogQueueTest, EntriesGoToTheEndWhereverTheCaretIsAndAnEmptyFlushTouchesNothing) {
  ASSERT_TRUE(AppendLogText(page_.page(), "one\r\n", LogText));
  ASSERT_TRUE(FlushLog(page_.page()));
  SendMessageA(page_.view(), EM_SETSEL, 0, 2);

  EXPECT_TRUE(FlushLog(page_.page()));
  CHARRANGE selection = {};
  SendMessageA(page_.view(), EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  EXPECT_EQ(0, selection.cpMin);
  EXPECT_EQ(2, selection.cpMax);
  EXPECT_EQ("one\r\n", page_.ViewText());

  ASSERT_TRUE(AppendLogText(page_.page(), "two\r\n", LogText));
  ASSERT_TRUE(FlushLog(page_.page()));
  EXPECT_EQ("one\r\ntwo\r\n", page_.ViewText());
}

TEST_F(LogQueueTest, ViewTakesFarMoreThan32KiB) {
  // Wine accepts text beyond the default limit anyway, so the raised limit
  // itself is checked as well as the text.
  EXPECT_EQ(kLogViewTextLimit, SendMessageA(page_.view(), EM_GETLIMITTEXT, 0, 0));
  const std::string text = Lines(1300, 'k');
  ASSERT_GT(text.size(), 100u * 1024);
  for (size_t at = 0; at < text.size(); at += 80)
    ASSERT_TRUE(AppendLogBytes(page_.page(), text.data() + at, 80, LogText));
  ASSERT_TRUE(FlushLog(page_.page()));
  EXPECT_EQ(text, page_.ViewText());
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
  for (long round = 0; running > 0 && round < 50000000; ++round) {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  a.join();
  b.join();
  // The producers' last notices are still pending and flush the rest.
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  EXPECT_TRUE(page_.Queued().empty());

  std::string text = page_.ViewText();
  int next[2] = {0, 0};
  size_t lines = 0;
  for (size_t at = 0; at + 8 <= text.size(); at += 8, ++lines) {
    char name = 0;
    int number = -1;
    ASSERT_EQ(2, sscanf(text.c_str() + at, "%c %4d", &name, &number)) << at;
    ASSERT_TRUE(name == 'A' || name == 'B') << at;
    ASSERT_EQ(next[name - 'A'], number) << name;
    ++next[name - 'A'];
  }
  EXPECT_EQ(2u * kEach, lines);
  EXPECT_EQ(8u * 2 * kEach, text.size());
}

}  // namespace
