// A DLL that a console could plant in the program's folder: when a process
// loads it, it leaves a marker file beside itself (its own path with
// ".loaded" appended), so a test sees that it ran without asking the process.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  char marker[MAX_PATH + 8];
  const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
  if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyA(marker + length, ".loaded");
  HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
