#include "elf_check.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace nimbrelle::loader {

namespace {

constexpr unsigned char NativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char NativeData = ELFDATA2LSB;
#else
constexpr unsigned char NativeData = ELFDATA2MSB;
#endif

// The machine this process runs on; 0 where unknown, and then any machine passes here and the
// dynamic loader refuses a foreign one itself.
constexpr ElfW(Half) NativeMachine =
#if defined(__x86_64__)
    EM_X86_64;
#elif defined(__i386__)
    EM_386;
#elif defined(__aarch64__)
    EM_AARCH64;
#elif defined(__arm__)
    EM_ARM;
#elif defined(__riscv)
    EM_RISCV;
#elif defined(__powerpc64__)
    EM_PPC64;
#else
    0;
#endif

bool ReadAt(int fd, void* into, std::size_t bytes, std::uint64_t offset)
{
    auto* out = static_cast<unsigned char*>(into);
    while (bytes > 0) {
        const ssize_t got = pread(fd, out, bytes, static_cast<off_t>(offset));
        if (got <= 0) return false;
        out += got;
        bytes -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

// offset + length <= size, without overflow.
bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

}  // namespace

std::string CheckElf(int fd, std::uint64_t size)
{
    ElfW(Ehdr) header{};
    if (size < sizeof header || !ReadAt(fd, &header, sizeof header, 0) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return "not an ELF file";
    }
    if (header.e_ident[EI_CLASS] != NativeClass) {
        return sizeof(void*) == 8 ? "a 32-bit library; this program is 64-bit" : "a 64-bit library; this program is 32-bit";
    }
    if (header.e_ident[EI_DATA] != NativeData) return "a library of the other byte order";
    if (header.e_type != ET_DYN) return "an ELF file, but not a shared library";
    if (NativeMachine != 0 && header.e_machine != NativeMachine) return "a library for another processor";
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
        !Inside(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr)), size)) {
        return "damaged: its program headers are missing or lie past the end of the file";
    }
    std::vector<ElfW(Phdr)> segments(header.e_phnum);
    if (!ReadAt(fd, segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff)) {
        return "damaged: its program headers cannot be read";
    }
    bool loadable = false;
    bool dynamic = false;
    for (const ElfW(Phdr)& segment : segments) {
        if (segment.p_type != PT_LOAD && segment.p_type != PT_DYNAMIC) continue;
        if (!Inside(segment.p_offset, segment.p_filesz, size)) {
            return "truncated or damaged: a segment ends past the end of the file";
        }
        if (segment.p_type == PT_LOAD) {
            if (segment.p_filesz > segment.p_memsz) return "damaged: a segment is larger in the file than in memory";
            loadable = true;
        } else {
            dynamic = true;
        }
    }
    if (!loadable || !dynamic) return "damaged: it has no loadable segment or no dynamic section";
    return {};
}

}  // namespace nimbrelle::loader
