// Tavdesk.exe's entry point. The command line is not read. Descriptors 0 to 2
// are made valid first, so that the C runtime never hands out 1, the
// console's tty, for a file the console opens.
#include <windows.h>

#include "session/host_file_service.h"
#include "ui/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  ReserveStandardDescriptors();
  return RunProgram(instance, showCommand);
}
