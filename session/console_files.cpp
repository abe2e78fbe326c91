#include "session/console_files.h"

#include <io.h>

bool ConsoleFiles::Owns(int handle) const {
  for (size_t i = 0; i < count_; ++i)
    if (handles_[i] == handle) return true;
  return false;
}

bool ConsoleFiles::Add(int handle) {
  if (Full()) return false;
  handles_[count_++] = handle;
  return true;
}

int ConsoleFiles::Close(int handle) {
  for (size_t i = 0; i < count_; ++i) {
    if (handles_[i] != handle) continue;
    handles_[i] = handles_[--count_];
    return _close(handle);
  }
  return -1;
}

void ConsoleFiles::CloseAll() {
  while (count_) _close(handles_[--count_]);
}
