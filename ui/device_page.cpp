// The device page's creation and dialog procedure. The rich edit 1.0 class
// of the log view is registered by RICHED32.DLL, loaded once and kept for the
// life of the process.
#include "ui/device_page.h"

#include <richedit.h>

#include "ui/log_queue.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

bool LoadRichEdit() { return LoadRichEditLibrary() != nullptr; }

BOOL DevicePage_OnInitDialog(HWND page) {
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_EXLIMITTEXT, 0, kLogViewTextLimit);
  return TRUE;
}

}  // namespace

HWND CreateDevicePage(HWND parent) {
  if (!LoadRichEdit()) return nullptr;
  return CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_DEVICE_PAGE),
                            parent, DevicePageProc, 0);
}

INT_PTR CALLBACK DevicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return DevicePage_OnInitDialog(page);
    case WM_PAGE_FLUSH:
      FlushLog(page);
      return TRUE;
  }
  return FALSE;
}
