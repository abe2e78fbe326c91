// Which execute command a file gets, from the first 18 bytes of its ELF
// header: the magic, then e_type 0xFF80 (an IRX module for the I/O
// processor) or anything else (a program for the main processor).
// Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrin {

constexpr size_t kElfHeadSize = 18;

enum class ExecKind { NotElf, Elf, Iop };

// `head` holds `size` bytes read from the start of the file.
ExecKind ClassifyExecutable(const uint8_t* head, size_t size);

}  // namespace tavrin
