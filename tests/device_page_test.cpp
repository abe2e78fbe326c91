// The device page: template 106 as the resource holds it (the rich edit
// control rewrites its own style once created, so styles are read from the
// template), and the page it makes.
#include "ui/device_page.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include <cstring>
#include <iterator>
#include <string>

#include "tests/support/test_page.h"
#include "ui/resource.h"

namespace {

// A reader of the extended dialog template: fixed fields, then strings or
// ordinals (0xFFFF and a number), items aligned to four bytes.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* bytes) : at_(bytes) {}
  template <typename T>
  T Read() {
    T value;
    memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  std::string Text() {  // an ordinal reads as "#number"
    if (Read<WORD>() == 0xFFFF) return "#" + std::to_string(Read<WORD>());
    at_ -= 2;
    std::string text;
    for (WORD c; (c = Read<WORD>()) != 0;) text += static_cast<char>(c);
    return text;
  }
  void Align() { at_ = reinterpret_cast<const BYTE*>((reinterpret_cast<UINT_PTR>(at_) + 3) & ~3); }

 private:
  const BYTE* at_;
};

struct TemplateItem {
  DWORD style, exStyle;
  short x, y, width, height;
  DWORD id;
  std::string className, text;
};

TEST(DevicePageTest, TemplateIsAChildDialogWithItsControlsInTabOrder) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), MAKEINTRESOURCEA(5));
  ASSERT_TRUE(found);
  TemplateReader reader(static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found))));
  ASSERT_EQ(1, reader.Read<WORD>());  // version
  ASSERT_EQ(0xFFFF, reader.Read<WORD>());
  reader.Read<DWORD>();  // help id
  EXPECT_EQ(static_cast<DWORD>(WS_EX_CONTROLPARENT | WS_EX_ACCEPTFILES), reader.Read<DWORD>());
  EXPECT_EQ(static_cast<DWORD>(WS_CHILD | DS_SETFONT), reader.Read<DWORD>());
  WORD count = reader.Read<WORD>();
  reader.Read<short>();
  reader.Read<short>();
  EXPECT_EQ(199, reader.Read<short>());
  EXPECT_EQ(165, reader.Read<short>());
  EXPECT_EQ("", reader.Text());  // menu
  EXPECT_EQ("", reader.Text());  // class
  EXPECT_EQ("", reader.Text());  // caption
  EXPECT_EQ(8, reader.Read<WORD>());
  reader.Read<WORD>();
  reader.Read<WORD>();  // italic, charset
  EXPECT_EQ("MS Sans Serif", reader.Text());

  constexpr DWORD kControl = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
  constexpr DWORD kButton = kControl | BS_PUSHBUTTON;
  const TemplateItem expected[] = {
      {kControl | WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
           ES_AUTOHSCROLL | ES_READONLY | ES_WANTRETURN,
       0, 0, 0, 199, 144, IDC_LOG_VIEW, "RICHEDIT", ""},
      {kButton, 0, 19, 151, 40, 14, IDC_SAVE_LOG, "#128", "&Save log"},
      {kButton, 0, 65, 151, 40, 14, IDC_CLEAR_LOG, "#128", "&Clear log"},
      {kButton | WS_DISABLED, 0, 113, 151, 40, 14, IDC_RESET, "#128", "&Reset"},
      {kButton | WS_DISABLED, 0, 159, 151, 40, 14, IDC_EXECUTE, "#128", "&Execute"},
  };
  ASSERT_EQ(std::size(expected), count);
  for (const TemplateItem& want : expected) {
    SCOPED_TRACE(want.id);
    reader.Align();
    reader.Read<DWORD>();  // help id
    TemplateItem item;
    item.exStyle = reader.Read<DWORD>();
    item.style = reader.Read<DWORD>();
    item.x = reader.Read<short>();
    item.y = reader.Read<short>();
    item.width = reader.Read<short>();
    item.height = reader.Read<short>();
    item.id = reader.Read<DWORD>();
    item.className = reader.Text();
    item.text = reader.Text();
    EXPECT_EQ(0, reader.Read<WORD>());  // no creation data
    EXPECT_EQ(want.id, item.id);
    EXPECT_EQ(want.style, item.style);
    EXPECT_EQ(want.exStyle, item.exStyle);
    EXPECT_EQ(want.className, item.className);
    EXPECT_EQ(want.text, item.text);
    EXPECT_EQ(want.x, item.x);
    EXPECT_EQ(want.y, item.y);
    EXPECT_EQ(want.width, item.width);
    EXPECT_EQ(want.height, item.height);
  }
}

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
}

}  // namespace
