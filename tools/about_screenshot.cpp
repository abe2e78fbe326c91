// Shows the main window with the About page selected, built by the program's
// own CreateMainWindow and one device page, and saves what the window shows
// as a 24-bit BMP file (the first argument). Run under an X server by
// tools/screenshot.sh; not part of any program that ships.
#include <cstdio>

#include "session/device_record.h"
#include "ui/device_page.h"
#include "ui/main_window.h"

namespace {

void DrainMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (!IsDialogMessageA(MainWindow, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

bool SaveWindowBitmap(HWND window, const char* path) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  void* bits = nullptr;
  HDC screen = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  const DWORD stride = (width * 3 + 3) & ~3u;
  info.biSizeImage = stride * height;
  BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, sizeof file + sizeof info};
  file.bfSize = file.bfOffBits + info.biSizeImage;
  FILE* out = std::fopen(path, "wb");
  bool ok = out && std::fwrite(&file, sizeof file, 1, out) == 1 &&
            std::fwrite(&info, sizeof info, 1, out) == 1 &&
            std::fwrite(bits, info.biSizeImage, 1, out) == 1;
  if (out) std::fclose(out);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !CreateMainWindow()) return 1;
  ComputePageOrigin(MainWindow);
  HWND cable = CreateDevicePage(MainWindow);
  if (!cable || !AddPageTab("Demo cable", kDeviceTabImage, cable)) return 1;
  DeviceCount = 1;
  UpdateDeviceCountText(AboutPage);
  SendDlgItemMessageA(MainWindow, 1000, TCM_SETCURSEL, 0, 0);
  ShowSelectedPage(MainWindow);
  ShowWindow(MainWindow, SW_SHOWNORMAL);
  SetForegroundWindow(MainWindow);
  // Let the window paint and the X server catch up, a bounded number of times.
  for (int round = 0; round < 20; ++round) {
    DrainMessages();
    RedrawWindow(MainWindow, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(50);
  }
  return SaveWindowBitmap(MainWindow, argv[1]) ? 0 : 1;
}
