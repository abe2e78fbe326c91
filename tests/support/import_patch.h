// Points a slot of this program's import table (`__imp_` and the system
// function's name) at a replacement; the product, linked into the test
// program, calls the system through the same slots. `saved` gets the old one.
#pragma once

#include <windows.h>

template <typename Proc>
void PatchImport(Proc* slot, Proc replacement, Proc* saved = nullptr) {
  DWORD was = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
  if (saved) *saved = *slot;
  *slot = replacement;
  VirtualProtect(slot, sizeof *slot, was, &was);
}
