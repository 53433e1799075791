// What the dynamic loader would trip over in a library file, checked without mapping it.
#pragma once

#include <cstdint>
#include <string>

namespace nimbrelle::loader {

// Reads the ELF header and program headers of the open file `fd` of `size` bytes. Empty when
// it is a shared object for this process's class, byte order and machine whose program
// headers, dynamic section and loadable segments all lie inside the file; otherwise the reason,
// as a short phrase ("not an ELF file", "a loadable segment ends past the end of the file").
std::string CheckElf(int fd, std::uint64_t size);

}  // namespace nimbrelle::loader
