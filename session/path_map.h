// From a console path to a local path under the base folder: the textual
// mapping (one leading separator dropped, '/' turned into '\') and the
// check that keeps the result inside the base, both by characters of the
// process's ANSI code page. Platform-free: the code page comes as data.
#pragma once

#include <bitset>
#include <string>

namespace tavrin {

// What the path code must know of an ANSI code page. In a double-byte code
// page (932, 936, 949, 950) a lead byte and the byte after it are one
// character, and that second byte can be 0x5C, the backslash. Windows also
// reserves COM and LPT followed by a superscript 1 to 3; each code page
// writes those differently, or not at all. A default-made code page is
// single-byte with no superscripts.
struct AnsiCodePage {
  std::bitset<256> leadBytes;
  std::string superscripts[3];  // 1, 2, 3; empty where the code page lacks one

  void AddLeadBytes(unsigned first, unsigned last) {
    for (unsigned b = first; b <= last && b < 256; ++b) leadBytes.set(b);
  }
};

// base + one backslash where the base does not end with that character +
// the console path without its first separator, every '/' character turned
// into '\'. An empty base adds nothing. The second byte of a two-byte
// character is copied as it is.
std::string JoinConsolePath(const std::string& base, const char* consolePath,
                            const AnsiCodePage& codePage);

// Whether the console path stays inside its base, judged on its characters:
// no `..` that climbs above the base, no ':' (drive letters, alternate data
// streams), no reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM
// and LPT with a superscript 1 to 3, CONIN$, CONOUT$, with or without an
// extension, any case), no component of dots and spaces alone (Windows
// would trim it to something else), no lead byte without a proper second
// byte, and with an empty base nothing that would make a rooted or UNC path.
bool ConsolePathStaysInside(bool baseEmpty, const char* consolePath, const AnsiCodePage& codePage);

}  // namespace tavrin
