// The host file service: serves exactly one console request per call
// (open, close, read, write, lseek, or a poll answered with the oldest
// queued command), under the access settings. Console handles are the C
// runtime's own file descriptors, but a console may only name those it
// opened itself (session/console_files.h); handle 1 is the console's tty,
// whose writes become text in the page's log, and 0 and 2 stay the host's
// own. Worker thread only.
#pragma once

#include <windows.h>

#include <string>

#include "session/request_format.h"

class TargetSession;

// True when a request of a known kind was received and answered, whatever
// became of its file operation; false when none could be received or its
// tag was not a request tag (the worker then resets the link).
bool ServeRequest(TargetSession* session);

// The local path (malloc'd) for a console path under the base folder, or
// none: access denied, no base folder or one that does not exist (each
// logged with its reason), a path that would leave the base or reach the
// program's own exe or INI file (logged as denied), or no memory.
char* MapConsolePath(TargetSession* session, const char* consolePath,
                     const tavrin::HostOpenMode& mode);

// Makes descriptors 0 to 2 valid (on the null device where the process has
// none, as a GUI process has none), so the C runtime never hands out 1, the
// tty's number, for a console's file.
void ReserveStandardDescriptors();

// A tap on the consoles' tty text: when set, it is also handed every write
// to handle 1, on the worker thread, with the console's page. The UI sets it
// (the command line copies a device's text to a caller); it must return at
// once, never waiting on anything but a short lock.
using TtyTap = void (*)(HWND page, const uint8_t* bytes, uint32_t count);
void SetTtyTap(TtyTap tap);

// The system's words for an error code, without the line end and full stop
// it comes with; empty when the system has none (Wine has none for Winsock).
std::string SystemText(DWORD error);
