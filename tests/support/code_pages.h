// The code pages the path tests run under, written down as Windows reports
// them (lead byte ranges from GetCPInfo, the superscript digits 1 to 3 from
// WideCharToMultiByte without best fit), so that the platform-free tests can
// use them and a Windows test can hold them against Windows.
#pragma once

#include "session/path_map.h"

inline tavrin::AnsiCodePage KnownCodePage(unsigned number) {
  tavrin::AnsiCodePage page;
  const char* const superscripts[] = {"\xB9", "\xB2", "\xB3", "\xA9\xF6", "\xA9\xF7", "\xA9\xF8"};
  if (number == 1252 || number == 949)
    for (int i = 0; i < 3; ++i) page.superscripts[i] = superscripts[i + (number == 949 ? 3 : 0)];
  if (number != 1252) page.AddLeadBytes(0x81, number == 932 ? 0x9F : 0xFE);
  if (number == 932) page.AddLeadBytes(0xE0, 0xFC);
  return page;
}

constexpr unsigned kTestedCodePages[] = {1252, 932, 936, 949, 950};
