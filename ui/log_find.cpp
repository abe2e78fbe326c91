// The Find dialog over a page's log. The dialog keeps pointing at the
// FINDREPLACE block and its text, so both live as long as the program; the
// dialog tells the page what to find through a registered message. A match
// is searched by the rich edit itself (EM_FINDTEXTEX), upwards too.
#include "ui/log_find.h"

#include <commdlg.h>
#include <richedit.h>

#include "ui/resource.h"

namespace {

char findWhat[256];
FINDREPLACEA find;
HWND dialog;      // none while no dialog is open
HWND searched;    // the page the dialog was opened from
UINT findNotice;  // FINDMSGSTRING, registered on first use

HWND LogView(HWND page) { return GetDlgItem(page, IDC_LOG_VIEW); }

}  // namespace

void OpenLogFind(HWND page) {
  HWND view = LogView(page);
  if (!IsWindow(view)) return;
  // The match stays visible while the dialog has the focus.
  SendMessageA(view, EM_SETOPTIONS, ECOOP_OR, ECO_NOHIDESEL);
  if (dialog && searched == page) {
    SetFocus(dialog);
    return;
  }
  // The dialog answers only the page it was made for: move it to this one.
  CloseLogFind(searched);
  if (!findNotice) findNotice = RegisterWindowMessageA(FINDMSGSTRINGA);
  const DWORD kept = find.Flags & (FR_DOWN | FR_MATCHCASE | FR_WHOLEWORD);
  find = {};
  find.lStructSize = sizeof find;
  find.hwndOwner = page;
  find.Flags = kept ? kept : FR_DOWN;
  find.lpstrFindWhat = findWhat;
  find.wFindWhatLen = sizeof findWhat;
  dialog = FindTextA(&find);
  searched = dialog ? page : nullptr;
}

void FindNextInLog(HWND page) {
  if (!findWhat[0]) {
    OpenLogFind(page);
    return;
  }
  if (!FindInLog(page, findWhat, find.Flags)) MessageBeep(MB_ICONASTERISK);
}

bool LogFindNotice(HWND page, UINT message, LPARAM lParam) {
  if (!findNotice || message != findNotice) return false;
  const auto* notice = reinterpret_cast<const FINDREPLACEA*>(lParam);
  if (notice->Flags & FR_DIALOGTERM) {
    dialog = searched = nullptr;
  } else if ((notice->Flags & FR_FINDNEXT) && !FindInLog(page, findWhat, notice->Flags)) {
    MessageBeep(MB_ICONASTERISK);
  }
  return true;
}

bool LogFindDialogMessage(MSG* message) {
  return dialog && IsDialogMessageA(dialog, message);
}

void CloseLogFind(HWND page) {
  if (!dialog || searched != page) return;
  HWND closing = dialog;
  dialog = searched = nullptr;
  DestroyWindow(closing);
}

bool FindInLog(HWND page, const char* text, DWORD flags) {
  HWND view = LogView(page);
  if (!IsWindow(view) || !text || !text[0]) return false;
  CHARRANGE selection = {};
  SendMessageA(view, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  const WPARAM how = FR_DOWN | (flags & (FR_MATCHCASE | FR_WHOLEWORD));
  FINDTEXTEXA request = {};
  request.lpstrText = text;
  CHARRANGE match = {-1, -1};
  if (flags & FR_DOWN) {
    request.chrg = {selection.cpMax, -1};
    if (SendMessageA(view, EM_FINDTEXTEX, how, reinterpret_cast<LPARAM>(&request)) >= 0)
      match = request.chrgText;
  } else {
    // Rich edit 1.0 searches only down (FR_DOWN is ignored), so the match
    // above is the last one found down from the start that ends before the
    // selection.
    for (LONG from = 0;; from = request.chrgText.cpMin + 1) {
      request.chrg = {from, selection.cpMin};
      if (SendMessageA(view, EM_FINDTEXTEX, how, reinterpret_cast<LPARAM>(&request)) < 0 ||
          request.chrgText.cpMax > selection.cpMin)
        break;
      match = request.chrgText;
    }
  }
  if (match.cpMin < 0) return false;
  SendMessageA(view, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&match));
  SendMessageA(view, EM_SCROLLCARET, 0, 0);
  return true;
}
