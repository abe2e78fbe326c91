// The Settings page: the tab page (template 105) through which the user edits
// the SettingsRecord while the program runs. Every command copies all its
// controls into the record, so each change takes effect at once; the record
// is stored when the page is destroyed, at the end of the run.
#pragma once

#include <windows.h>

#include "log/log_queue.h"

// 1 while WM_INITDIALOG fills the controls from the record: the edit reports
// its new text as a command before the other controls are set, and such
// half-filled controls must not reach the record. UI thread only.
extern int SettingsPageInitialising;

// Creates dialog 105 as a modeless child of the main window and adds its tab
// "Settings"; nonzero only when both happened.
BOOL CreateSettingsPage();
INT_PTR CALLBACK SettingsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Copies the controls into the record and sets the enabled states; 0, with
// nothing changed, while the page initialises.
int ApplySettingsPage(HWND page);
// Repaints one swatch from the record; 0 for an unknown LogColour, a missing
// control or a bitmap that could not be made (the old picture stays).
int UpdateColourSwatch(HWND page, int colour);
// 1 when the user chose a colour, 0 when the dialog was cancelled or failed.
int ChooseLogColour(HWND page, int colour);
void BrowseSharedFolder(HWND page);
