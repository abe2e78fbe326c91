// The yardstick for Tavdesk's start-up time: the least a Win32 dialog
// program does (a modal dialog from a template in memory, shown at once),
// built and started the same way as Tavdesk.exe. Closes on WM_CLOSE.
#include <windows.h>

namespace {

INT_PTR CALLBACK MinimalProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_CLOSE: EndDialog(dialog, 0); return TRUE;
    default: return FALSE;
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // A template with no controls: style, sizes, then empty menu and class,
  // and the title.
  struct {
    DLGTEMPLATE header;
    WORD menu, windowClass;
    wchar_t title[15];
  } dialog = {};
  dialog.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_CENTER;
  dialog.header.cx = 200;
  dialog.header.cy = 100;
  lstrcpyW(dialog.title, L"Minimal dialog");
  return static_cast<int>(DialogBoxIndirectParamW(instance, &dialog.header, nullptr, MinimalProc, 0));
}
