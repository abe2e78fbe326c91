// The Windows half of keeping console paths inside the base folder: the
// rules of the process's ANSI code page for the textual check, and a second
// check, independent of it, on the full path Windows itself makes.
#pragma once

#include <string>

#include "session/path_map.h"

// The lead bytes and superscript digits of a code page as Windows reports
// them; CP_ACP (0) for the process's own.
tavrin::AnsiCodePage AnsiCodePageRules(unsigned codePage);

// Whether a console's local path reaches the file at `guarded`: by the full
// long path (every existing component in its long form, compared without
// regard to case), and, where both files exist, by identity (volume serial
// number and file index of the opened files), which no other spelling of
// the name escapes: an 8.3 short name, trailing dots, a hard link.
bool ReachesFile(const std::string& local, const std::string& guarded);

// The process's ANSI code page, asked once: it does not change while the
// process runs.
const tavrin::AnsiCodePage& ProcessAnsiCodePage();

// Whether the full path that Windows makes of `local` (GetFullPathNameA)
// lies inside the full path of `base` (the current folder when the base is
// empty): compared without regard to case, at a component boundary, so a
// base C:\share does not admit C:\share2\x. False when either full path
// can't be had.
bool FullPathStaysInside(const std::string& base, const std::string& local);
