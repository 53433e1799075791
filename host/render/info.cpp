#include "render/info.h"

#include <cinttypes>
#include <cstring>
#include <system_error>

#include "base/module.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

void PrintModuleInfo(const fs::path& path, std::FILE* out)
{
    Module module(path);
    const ModuleDescriptor& d = module.Descriptor();
    std::error_code ec;
    const fs::path shown = fs::absolute(path, ec);
    std::fprintf(out, "module:     %s\n", (ec ? path : shown).c_str());
    std::fprintf(out, "name:       %s\n", module.Name().c_str());
    std::fprintf(out, "leadWord:   %" PRId32 "\n", d.leadWord);
    std::fprintf(out, "hostWord:   %" PRId32 "\n", d.hostWord);
    auto entry = [&](const char* label, auto fn) {
        const void* address = nullptr;
        static_assert(sizeof(fn) == sizeof(address));
        std::memcpy(&address, &fn, sizeof address);
        std::fprintf(out, "%-11s %s\n", label, address == nullptr ? "(none)" : module.DescribeAddress(address).c_str());
    };
    entry("init:", d.init);
    entry("render:", d.render);
    entry("auxEntryA:", d.auxEntryA);
    entry("auxEntryB:", d.auxEntryB);
    std::fprintf(out, "descriptor: %s\n", module.DescribeAddress(&d).c_str());
}

}  // namespace nimbrelle::host
