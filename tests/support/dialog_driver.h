// The user of the common dialogs that the code under test opens: a thread of
// its own waits for the dialog, fills it in and presses a button, while the
// calling thread runs the code, whose modal loop the dialog runs in.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "sim/program_probe.h"

enum class Dialog { File, Colour, Folder };

struct DialogAnswer {
  const char* text = nullptr;  // File: the name typed; Folder: the folder chosen; none: kept
  int filter = 0;              // File: the type picked, 1-based; 0: kept
  COLORREF colour = 0;         // Colour: the colour, also added to the custom colours
  int button = IDOK;
  std::string* offered = nullptr;   // File: the name the dialog offered
  std::function<void(HWND)> first = nullptr;  // anything else the user does first
};

// Runs `open` while the user waits (10 s at most) for a dialog of `kind` of
// this process and answers it; true when one came.
inline bool AnswerDialog(Dialog kind, const std::function<void()>& open, const DialogAnswer& answer) {
  // Each kind by a control of its own: the file name box (cmb13), the red
  // field, the folder tree.
  const int control = kind == Dialog::File ? 1148 : kind == Dialog::Colour ? 706 : 0x3741;
  bool found = false;
  std::thread user([&] {
    HWND dialog = nullptr;
    found = probe::WaitFor([&] {
      return (dialog = probe::FindTopLevel(GetCurrentProcessId(), nullptr, control)) != nullptr;
    }, 10000);
    if (!found) return;
    if (answer.first) answer.first(dialog);
    if (answer.offered) *answer.offered = probe::Text(GetDlgItem(dialog, 1148));
    if (answer.filter) {
      HWND types = GetDlgItem(dialog, 1136);
      SendMessageA(types, CB_SETCURSEL, answer.filter - 1, 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1136, CBN_SELENDOK), LPARAM(types));
    }
    if (kind == Dialog::File && answer.text) SetDlgItemTextA(dialog, 1148, answer.text);
    if (kind == Dialog::Folder && answer.text)  // again until the tree, filled late, shows it
      probe::WaitFor([&] {
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, LPARAM(answer.text));
        char name[MAX_PATH] = "";
        TVITEMA item = {};
        item.mask = TVIF_TEXT, item.pszText = name, item.cchTextMax = MAX_PATH;
        item.hItem = HTREEITEM(SendDlgItemMessageA(dialog, 0x3741, TVM_GETNEXTITEM, TVGN_CARET, 0));
        SendDlgItemMessageA(dialog, 0x3741, TVM_GETITEMA, 0, LPARAM(&item));
        return !lstrcmpiA(name, strrchr(answer.text, '\\') + 1);
      }, 10000);
    if (kind == Dialog::Colour) {
      for (int i = 0; i < 3; ++i) SetDlgItemInt(dialog, 706 + i, answer.colour >> 8 * i & 0xFF, FALSE);
      SendMessageA(dialog, WM_COMMAND, 712, 0);  // "Add to Custom Colors"
    }
    PostMessageA(dialog, WM_COMMAND, answer.button, 0);
  });
  open();
  user.join();
  return found;
}
