// The log view's context menu on a device page: Copy, Select all, Find...,
// Word wrap (on or off for this page), Save log..., Clear log. UI thread.
#pragma once

#include <windows.h>

// The menu as it would show now (Copy greyed without a selection, Word
// wrap checked while on); the caller destroys it.
HMENU CreateLogMenu(HWND page);
// Shows the menu at `point` (screen coordinates from WM_CONTEXTMENU; -1, -1
// from the keyboard: at the view's corner) and carries out the choice.
void ShowLogMenu(HWND page, LPARAM point);
// The page's commands of the menu and of the Find keys; false for any
// other id.
bool LogMenu_OnCommand(HWND page, WORD id);
