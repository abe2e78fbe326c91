// The code pages the path tests run under, written down as Windows reports
// them (lead byte ranges from GetCPInfo, the superscript digits 1 to 3 from
// WideCharToMultiByte without best fit), so that the platform-free tests can
// use them and a Windows test can hold them against Windows.
#pragma once

#include "session/path_map.h"

inline tavrin::AnsiCodePage KnownCodePage(unsigned number) {
  tavrin::AnsiCodePage page;
  switch (number) {
    case 1252:
      page.superscripts[0] = "\xB9";
      page.superscripts[1] = "\xB2";
      page.superscripts[2] = "\xB3";
      break;
    case 932:
      page.AddLeadBytes(0x81, 0x9F);
      page.AddLeadBytes(0xE0, 0xFC);
      break;
    case 949:
      page.superscripts[0] = "\xA9\xF6";
      page.superscripts[1] = "\xA9\xF7";
      page.superscripts[2] = "\xA9\xF8";
      page.AddLeadBytes(0x81, 0xFE);
      break;
    default:  // 936, 950
      page.AddLeadBytes(0x81, 0xFE);
      break;
  }
  return page;
}

constexpr unsigned kTestedCodePages[] = {1252, 932, 936, 949, 950};
