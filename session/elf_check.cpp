#include "session/elf_check.h"

namespace tavrin {

ExecKind ClassifyExecutable(const uint8_t* head, size_t size) {
  if (!head || size < kElfHeadSize) return ExecKind::NotElf;
  if (head[0] != 0x7F || head[1] != 'E' || head[2] != 'L' || head[3] != 'F')
    return ExecKind::NotElf;
  // e_type, 16-bit little-endian at offset 16; nothing else is looked at.
  return head[16] == 0x80 && head[17] == 0xFF ? ExecKind::Iop : ExecKind::Elf;
}

}  // namespace tavrin
