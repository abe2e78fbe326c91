// The Settings page's dialog procedure and its operations. The page writes
// the record in place on the UI thread; the shared folder goes through
// SetSharedFolder, under the lock the worker copies it under, so that a file
// request served meanwhile never sees half a path.
#include "ui/settings_page.h"

#include <commdlg.h>
#include <shlobj.h>

#include "config/settings.h"
#include "session/link_worker.h"
#include "ui/main_window.h"
#include "ui/resource.h"

int SettingsPageInitialising = 0;

namespace {

HWND PageTooltips = nullptr;

const TooltipEntry kTooltips[] = {
    {IDC_TEXT_COLOUR, "Choose default textcolor"},
    {IDC_ERROR_COLOUR, "Choose error textcolor"},
    {IDC_NOTIFY_COLOUR, "Choose notification textcolor"},
    {IDC_BROWSE, "Browse for shared folder"},
    {IDC_PRIORITY_LOW, "Set thread to low priority"},
    {IDC_PRIORITY_MIDDLE, "Set thread to middle priority (default)"},
    {IDC_PRIORITY_HIGH, "Set thread to high priority"},
    {IDC_SOUNDS_OFF, "Turn off notification sounds"},
    {IDC_DENY_ALL, "Deny access on host files"},
    {IDC_READ_ONLY, "Deny write access on host files (default)"},
    {IDC_SHARE_EXEC_FOLDER, "Share folder of last executed file (default)"},
    {0, nullptr},
};

// The swatch of each LogColour: default text, error, notification.
const int kSwatches[3] = {IDC_TEXT_SWATCH, IDC_ERROR_SWATCH, IDC_NOTIFY_SWATCH};

bool Checked(HWND page, int id) {
  return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetChecked(HWND page, int id, bool checked) {
  SendDlgItemMessageA(page, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Enable(HWND page, int id, bool enabled) { EnableWindow(GetDlgItem(page, id), enabled); }

BOOL SettingsPage_OnInitDialog(HWND page) {
  SettingsPageInitialising = 1;
  PageTooltips = CreateTooltips(page, kTooltips);
  HICON browse = LoadIconA(ProgramInstance, MAKEINTRESOURCEA(IDI_BROWSE_FOLDER));
  SendDlgItemMessageA(page, IDC_BROWSE, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(browse));
  SetChecked(page, IDC_DENY_ALL, Settings.denyAll != 0);
  SetChecked(page, IDC_READ_ONLY, Settings.readOnly != 0);
  SetChecked(page, IDC_SHARE_EXEC_FOLDER, Settings.shareExecFolder != 0);
  SendDlgItemMessageA(page, IDC_SHARED_FOLDER, EM_LIMITTEXT, kPathChars, 0);
  char folder[kPathChars];
  CopySharedFolder(folder, sizeof folder);
  SetDlgItemTextA(page, IDC_SHARED_FOLDER, folder);
  const int priority = Settings.priority == 0   ? IDC_PRIORITY_LOW
                       : Settings.priority == 1 ? IDC_PRIORITY_MIDDLE
                                                : IDC_PRIORITY_HIGH;
  SetChecked(page, priority, true);
  SetChecked(page, IDC_SOUNDS_OFF, Settings.soundsOff != 0);
  for (int colour = 0; colour < 3; ++colour) UpdateColourSwatch(page, colour);
  SettingsPageInitialising = 0;
  ApplySettingsPage(page);
  return TRUE;
}

BOOL SettingsPage_OnCommand(HWND page, int id) {
  switch (id) {
    case IDC_BROWSE:
      BrowseSharedFolder(page);
      break;
    case IDC_PRIORITY_LOW:
    case IDC_PRIORITY_MIDDLE:
    case IDC_PRIORITY_HIGH:
      ApplySettingsPage(page);
      ApplyWorkerPriority();
      return TRUE;
    case IDC_TEXT_COLOUR:
      ChooseLogColour(page, LogText);
      break;
    case IDC_NOTIFY_COLOUR:
      ChooseLogColour(page, LogNotice);
      break;
    case IDC_ERROR_COLOUR:
      ChooseLogColour(page, LogError);
      break;
  }
  ApplySettingsPage(page);
  return TRUE;
}

BOOL SettingsPage_OnDestroy(HWND page) {
  SettingsPage = nullptr;
  if (IsWindow(PageTooltips)) DestroyWindow(PageTooltips);
  PageTooltips = nullptr;
  // Take each bitmap out of its swatch before deleting it: a static control
  // does not delete the picture it was given.
  for (int id : kSwatches) {
    auto bitmap = reinterpret_cast<HBITMAP>(
        SendDlgItemMessageA(page, id, STM_SETIMAGE, IMAGE_BITMAP, 0));
    if (bitmap) DeleteObject(bitmap);
  }
  ShownPage = nullptr;
  StoreSettings();
  RemovePageTab(page);
  return TRUE;
}

}  // namespace

BOOL CreateSettingsPage() {
  HWND page = CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_SETTINGS_PAGE), MainWindow,
                                 SettingsPageProc, 0);
  if (!page) return FALSE;
  SettingsPage = page;
  return AddPageTab("Settings", kSettingsTabImage, page);
}

INT_PTR CALLBACK SettingsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return SettingsPage_OnInitDialog(page);
    case WM_COMMAND:
      return SettingsPage_OnCommand(page, LOWORD(wParam));
    case WM_DESTROY:
      return SettingsPage_OnDestroy(page);
  }
  return FALSE;
}

int ApplySettingsPage(HWND page) {
  if (SettingsPageInitialising) return 0;
  const bool denyAll = Checked(page, IDC_DENY_ALL);
  const bool shareExecFolder = Checked(page, IDC_SHARE_EXEC_FOLDER);
  Settings.denyAll = denyAll;
  Settings.shareExecFolder = shareExecFolder;
  Enable(page, IDC_READ_ONLY, !denyAll);
  Enable(page, IDC_SHARE_EXEC_FOLDER, !denyAll);
  const bool folderEditable = !denyAll && !shareExecFolder;
  static const int kFolderControls[] = {IDC_SHARED_FOLDER_GROUP, IDC_SHARED_FOLDER, IDC_BROWSE};
  for (int id : kFolderControls) Enable(page, id, folderEditable);
  // Read even while disabled, so the mark survives "Disable sharing".
  Settings.readOnly = Checked(page, IDC_READ_ONLY);
  char folder[kPathChars] = {};
  GetDlgItemTextA(page, IDC_SHARED_FOLDER, folder, kPathChars);
  SetSharedFolder(folder);
  Settings.priority = Checked(page, IDC_PRIORITY_LOW)      ? 0
                      : Checked(page, IDC_PRIORITY_MIDDLE) ? 1
                                                           : 2;
  Settings.soundsOff = Checked(page, IDC_SOUNDS_OFF);
  return 1;
}

int UpdateColourSwatch(HWND page, int colour) {
  if (colour < 0 || colour > 2) return 0;
  HWND swatch = GetDlgItem(page, kSwatches[colour]);
  if (!swatch) return 0;

  // A 16 x 16 one-bit picture whose pixels all take colour table entry 0.
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD table[2];
  } info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = 16;
  info.header.biHeight = 16;
  info.header.biPlanes = 1;
  info.header.biBitCount = 1;
  info.header.biCompression = BI_RGB;
  const COLORREF value = Settings.colours[colour];
  info.table[0] = {GetBValue(value), GetGValue(value), GetRValue(value), 0};
  info.table[1] = {0, 0, 0, 0};
  static const BYTE kPixels[64] = {};

  HDC dc = GetDC(swatch);
  HBITMAP bitmap = CreateDIBitmap(dc, &info.header, CBM_INIT, kPixels,
                                  reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS);
  ReleaseDC(swatch, dc);
  if (!bitmap) return 0;
  auto old = reinterpret_cast<HBITMAP>(
      SendMessageA(swatch, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  if (old) DeleteObject(old);
  return 1;
}

int ChooseLogColour(HWND page, int colour) {
  if (colour < 0 || colour > 2) return 0;
  CHOOSECOLORA choice = {};
  choice.lStructSize = sizeof choice;
  choice.hwndOwner = page;
  choice.hInstance = reinterpret_cast<HWND>(ProgramInstance);
  choice.rgbResult = Settings.colours[colour];
  choice.lpCustColors = Settings.customColours;  // kept with the settings
  choice.Flags = CC_RGBINIT;
  if (!ChooseColorA(&choice)) return 0;
  Settings.colours[colour] = choice.rgbResult;
  UpdateColourSwatch(page, colour);
  return 1;
}

void BrowseSharedFolder(HWND page) {
  BROWSEINFOA browse = {};
  browse.hwndOwner = MainWindow;
  browse.lpszTitle = "Choose shared folder:";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;
  LPITEMIDLIST item = SHBrowseForFolderA(&browse);
  if (!item) return;
  char folder[kPathChars] = {};
  if (SHGetPathFromIDListA(item, folder)) {
    SetSharedFolder(folder);
    SetDlgItemTextA(page, IDC_SHARED_FOLDER, folder);
  }
  IMalloc* malloc = nullptr;
  if (SUCCEEDED(SHGetMalloc(&malloc))) {
    malloc->Free(item);
    malloc->Release();
  }
}
