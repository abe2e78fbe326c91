// Tavdesk.exe's entry point. The DLL search is narrowed to the system
// folder; a start with arguments is the command line's and opens no window;
// otherwise descriptors 0 to 2 are made valid, so that the C runtime never
// hands out 1, the console's tty, for a file the console opens.
#include <windows.h>

#include "session/host_file_service.h"
#include "ui/command_line.h"
#include "ui/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  // DLLs from the system folder only, never from the program's own folder,
  // which is the console's default shared folder.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (HasCommandLine()) return RunCommandLine();
  ReserveStandardDescriptors();
  return RunProgram(instance, showCommand);
}
