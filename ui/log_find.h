// Find over a device page's log: the system's Find dialog (FindTextA), one
// for the program at a time, searching the page it was opened from. UI
// thread only.
#pragma once

#include <windows.h>

// Ctrl+F: opens the dialog over the page's log, or brings it to the front.
void OpenLogFind(HWND page);
// F3: the next match of the last search in its direction; opens the dialog
// when nothing was searched for yet.
void FindNextInLog(HWND page);
// The page's handler of the dialog's registered message; false for any
// other message.
bool LogFindNotice(HWND page, UINT message, LPARAM lParam);
// For the message loop: gives the dialog its keys (Tab, Enter, Escape).
bool LogFindDialogMessage(MSG* message);
// The page is going: a dialog searching it closes.
void CloseLogFind(HWND page);
// Selects the next match of `text` from the selection on, down or up by
// FR_DOWN, with FR_MATCHCASE and FR_WHOLEWORD, and scrolls it into view.
// False, with the selection left as it was, when there is none.
bool FindInLog(HWND page, const char* text, DWORD flags);
