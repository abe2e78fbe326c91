// Runs TavdeskSim through the demo without a user: starts it, waits for the
// demo console's greeting, takes pictures of the About tab, the Settings tab
// and the device page, executes an ELF file through the Execute button's file
// dialog, saves the log through Save log, and closes the program as a user
// would. Pictures are 24-bit BMP files of the main window as the screen
// shows it. Exit code 0 only when every step happened, the program ended
// with 0 and its demo console saw the quit command.
//   demo_driver <TavdeskSim.exe> <ELF file> <saved log file> <picture folder>
//               <file for the program's standard error>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/program_probe.h"
#include "ui/resource.h"

namespace {

constexpr int kStepMs = 30000;
constexpr WPARAM kNextTab = 40001;

bool Fail(const char* what) {
  std::fprintf(stderr, "demo driver: %s\n", what);
  return false;
}

void Say(const char* what) {
  std::printf("demo driver: %s\n", what);
  std::fflush(stdout);
}

// The main window as the screen shows it, as a bottom-up 24-bit BMP file.
bool Picture(HWND window, const std::string& file) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
  const int rows = GetDIBits(memory, bitmap, 0, height, pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return Fail("the screen could not be read");

  BITMAPFILEHEADER fileHeader = {};
  fileHeader.bfType = 0x4D42;
  fileHeader.bfOffBits = sizeof fileHeader + sizeof header;
  fileHeader.bfSize = fileHeader.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) return Fail("a picture file could not be written");
  std::fwrite(&fileHeader, sizeof fileHeader, 1, out);
  std::fwrite(&header, sizeof header, 1, out);
  std::fwrite(pixels.data(), 1, pixels.size(), out);
  return std::fclose(out) == 0;
}

// Shows the tab after the current one, as Ctrl+Tab does, and lets it paint.
void NextTab(HWND main) {
  SendMessageA(main, WM_COMMAND, kNextTab, 0);
  RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);  // the picture wants the page painted; nothing is judged by it
}

// Whether the page that holds this control is the one shown.
bool Shown(HWND main, int control) {
  for (HWND page : probe::PagesWith(main, control))
    if (IsWindowVisible(page)) return true;
  return false;
}

bool LogHas(HWND device, const char* text) {
  return probe::Text(GetDlgItem(device, IDC_LOG_VIEW)).find(text) != std::string::npos;
}

bool Run(DWORD process, const std::string& elf, const std::string& savedLog,
         const std::string& pictures) {
  HWND main = nullptr;
  if (!probe::WaitFor([&] { return (main = probe::MainWindowOf(process)) != nullptr; }, kStepMs))
    return Fail("no main window");
  HWND device = nullptr;
  if (!probe::WaitFor(
          [&] {
            auto devices = probe::DevicePages(main);
            device = devices.empty() ? nullptr : devices.front();
            return device && LogHas(device, "Hello from the demo console");
          },
          kStepMs))
    return Fail("the demo console did not greet");
  Say("the demo console greeted");

  if (!probe::WaitFor([&] { return IsWindowEnabled(GetDlgItem(device, IDC_EXECUTE)) != FALSE; },
                      kStepMs))
    return Fail("Execute was never enabled");
  PostMessageA(GetDlgItem(device, IDC_EXECUTE), BM_CLICK, 0, 0);
  if (!probe::AnswerFileDialog(process, elf, kStepMs)) return Fail("no Execute file dialog");
  if (!probe::WaitFor([&] { return LogHas(device, "Refused, as it should be."); }, kStepMs))
    return Fail("the demo console did not run the ELF file through");
  Say("the ELF file was executed");

  // Device page (shown), then About and Settings by Ctrl+Tab's command.
  // Each page known by a control of its own.
  const struct {
    int control;
    const char* name;
  } shots[] = {{IDC_DEVICE_COUNT, "about"},
               {IDC_PRIORITY_LOW, "settings"},
               {IDC_EXECUTE, "device-page"}};
  for (const auto& shot : shots) {
    for (int i = 0; i < 4 && !Shown(main, shot.control); ++i) NextTab(main);
    if (!Shown(main, shot.control)) return Fail("a tab could not be shown");
    if (!Picture(main, pictures + "\\" + shot.name + ".bmp")) return false;
  }
  Say("pictures taken");

  DeleteFileA(savedLog.c_str());
  PostMessageA(GetDlgItem(device, IDC_SAVE_LOG), BM_CLICK, 0, 0);
  if (!probe::AnswerFileDialog(process, savedLog, kStepMs)) return Fail("no Save log dialog");
  if (!probe::WaitFor(
          [&] { return GetFileAttributesA(savedLog.c_str()) != INVALID_FILE_ATTRIBUTES; },
          kStepMs))
    return Fail("the log was not saved");
  Say("the log was saved");

  PostMessageA(main, WM_CLOSE, 0, 0);
  Say("close requested");
  return true;
}


bool QuitReachedTheConsole(const std::string& errorFile) {
  FILE* in = std::fopen(errorFile.c_str(), "rb");
  if (!in) return false;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
  std::fclose(in);
  return text.find("quit received") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: demo_driver <TavdeskSim.exe> <ELF file> <log file> <folder> "
                         "<error file>\n");
    return 2;
  }
  probe::Started program = probe::Start(argv[1], {}, argv[5]);
  if (!program.ok) return Fail("TavdeskSim could not be started"), 1;
  const bool done = Run(program.info.dwProcessId, argv[2], argv[3], argv[4]);
  if (WaitForSingleObject(program.info.hProcess, done ? kStepMs : 0) != WAIT_OBJECT_0) {
    TerminateProcess(program.info.hProcess, 3);
    return Fail("the program did not end"), 1;
  }
  DWORD code = 1;
  GetExitCodeProcess(program.info.hProcess, &code);
  std::printf("demo driver: the program ended with %lu\n", code);
  if (!QuitReachedTheConsole(argv[5])) return Fail("the quit command did not reach the console"), 1;
  Say("the demo console received the quit command");
  return done && code == 0 ? 0 : 1;
}
