// The log view's context menu, built in code so that its items show the
// page's state. Save log and Clear log are the page's own buttons'
// commands; word wrap is the log view's (ui/log_view.h).
#include "ui/log_menu.h"

#include <richedit.h>
#include <windowsx.h>

#include "ui/log_find.h"
#include "ui/log_view.h"
#include "ui/resource.h"

namespace {

HWND LogView(HWND page) { return GetDlgItem(page, IDC_LOG_VIEW); }

}  // namespace

HMENU CreateLogMenu(HWND page) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return nullptr;
  CHARRANGE selection = {};
  SendMessageA(LogView(page), EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  const UINT copy = selection.cpMin == selection.cpMax ? MF_GRAYED : MF_ENABLED;
  AppendMenuA(menu, MF_STRING | copy, IDM_LOG_COPY, "&Copy");
  AppendMenuA(menu, MF_STRING, IDM_LOG_SELECT_ALL, "Select &all");
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_LOG_FIND, "&Find...\tCtrl+F");
  AppendMenuA(menu, MF_STRING | (LogWordWrap(page) ? MF_CHECKED : MF_UNCHECKED), IDM_LOG_WORD_WRAP,
              "&Word wrap");
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_LOG_SAVE, "&Save log...");
  AppendMenuA(menu, MF_STRING, IDM_LOG_CLEAR, "C&lear log");
  return menu;
}

void ShowLogMenu(HWND page, LPARAM point) {
  POINT at = {GET_X_LPARAM(point), GET_Y_LPARAM(point)};
  if (at.x == -1 && at.y == -1) {
    at = {0, 0};
    ClientToScreen(LogView(page), &at);
  }
  HMENU menu = CreateLogMenu(page);
  if (!menu) return;
  const UINT id = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, page, nullptr));
  DestroyMenu(menu);
  // The menu ran a message loop: the page may be gone.
  if (id && IsWindow(page)) LogMenu_OnCommand(page, static_cast<WORD>(id));
}

bool LogMenu_OnCommand(HWND page, WORD id) {
  HWND view = LogView(page);
  switch (id) {
    case IDM_LOG_COPY:
      SendMessageA(view, WM_COPY, 0, 0);
      return true;
    case IDM_LOG_SELECT_ALL:
      SendMessageA(view, EM_SETSEL, 0, -1);
      return true;
    case IDM_LOG_FIND:
      OpenLogFind(page);
      return true;
    case IDM_LOG_FIND_NEXT:
      FindNextInLog(page);
      return true;
    case IDM_LOG_WORD_WRAP:
      SetLogWordWrap(page, !LogWordWrap(page));
      return true;
    case IDM_LOG_SAVE:
      SendMessageA(page, WM_COMMAND, IDC_SAVE_LOG, 0);
      return true;
    case IDM_LOG_CLEAR:
      SendMessageA(page, WM_COMMAND, IDC_CLEAR_LOG, 0);
      return true;
  }
  return false;
}
