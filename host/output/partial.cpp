#include "output/partial.h"

#include <algorithm>

namespace nimbrelle::host {

std::string PartialPrefix(const std::string& stem, std::size_t extensionSize, const std::string& tail)
{
    constexpr std::size_t MaxName = 255;  // NAME_MAX on Linux file systems
    const std::size_t fixed = 1 + tail.size() + 6 + extensionSize;
    const std::size_t room = fixed < MaxName ? MaxName - fixed : 0;
    std::size_t keep = std::min(stem.size(), room);
    while (keep > 0 && keep < stem.size() && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    return "." + stem.substr(0, keep) + tail;
}

}  // namespace nimbrelle::host
