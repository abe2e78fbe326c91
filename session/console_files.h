// The files one console has open: the C runtime descriptors the host file
// service opened for it. Every console shares the process's descriptor
// table, so a request names a file only if this console's own table holds
// it; the table also bounds how many a console may hold, and closes what is
// left when the console goes. Worker thread while the console is served;
// the UI thread only once the record is off the list (the destructor).
#pragma once

#include <cstddef>

// More than a console program needs at once, and few enough that several
// consoles at their limit leave the runtime's table room for others.
constexpr size_t kMaxConsoleFiles = 256;

class ConsoleFiles {
 public:
  ConsoleFiles() = default;
  ~ConsoleFiles() { CloseAll(); }
  ConsoleFiles(const ConsoleFiles&) = delete;
  ConsoleFiles& operator=(const ConsoleFiles&) = delete;

  bool Full() const { return count_ == kMaxConsoleFiles; }
  bool Owns(int handle) const;
  // Keeps a descriptor just opened for the console; false when full.
  bool Add(int handle);
  // Closes an owned descriptor and forgets it; -1, touching nothing, when
  // the console does not own it.
  int Close(int handle);
  // Closes every descriptor the console still holds.
  void CloseAll();
  size_t Count() const { return count_; }

 private:
  // A fixed block, so keeping a handle never fails for want of memory.
  int handles_[kMaxConsoleFiles] = {};
  size_t count_ = 0;
};
