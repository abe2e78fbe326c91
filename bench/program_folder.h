// Benchmarks and trials start the programs built beside them: the path of a
// file in the running program's own folder.
#pragma once

#include <windows.h>

#include <string>

inline std::string Beside(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of('\\') + 1) + name;
}
