// From a console path to a local path under the base folder: the textual
// mapping (one leading separator dropped, '/' turned into '\') and the
// check that keeps the result inside the base. Platform-free.
#pragma once

#include <string>

namespace tavrin {

// base + one backslash where the base lacks it + the console path without
// its first separator, every '/' turned into '\'. An empty base adds nothing.
std::string JoinConsolePath(const std::string& base, const char* consolePath);

// Whether the console path stays inside its base: no `..` that climbs above
// it, no ':' (drive letters, alternate data streams), no reserved device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM and LPT with a superscript
// 1 to 3, CONIN$, CONOUT$, with or without
// an extension, any case), no component of dots and spaces alone (Windows
// would trim it to something else), and with an empty base nothing that
// would make a rooted or UNC path.
bool ConsolePathStaysInside(bool baseEmpty, const char* consolePath);

}  // namespace tavrin
