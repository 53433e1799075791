#include "module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "error.h"

#ifndef NIMBRELLE_DEFAULT_MODULE
#define NIMBRELLE_DEFAULT_MODULE ""
#endif
#ifndef NIMBRELLE_MODULE_FILE_NAME
#define NIMBRELLE_MODULE_FILE_NAME "NimbrelleCalvex.so"
#endif

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

std::string LastDlError()
{
    const char* message = dlerror();
    return message != nullptr ? message : "unknown error";
}

}  // namespace

SharedLibrary::SharedLibrary(const fs::path& path) : path_(path)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        throw Error("module " + Quoted(path.string()) + " does not exist");
    }
    if (fs::is_directory(status)) {
        throw Error("module " + Quoted(path.string()) + " is a directory, not a shared library");
    }
    if (access(path.c_str(), R_OK) != 0) {
        throw Error("cannot read module " + Quoted(path.string()) + ": " + ErrnoText(errno));
    }
    // A name without a slash would make dlopen search the library path instead of this file.
    const fs::path loadPath = path.has_parent_path() ? path : fs::path(".") / path;
    dlerror();
    handle_ = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw Error("cannot load module " + Quoted(path.string()) +
                    ": not a loadable shared library (" + LastDlError() + ")");
    }
}

SharedLibrary::~SharedLibrary()
{
    if (handle_ != nullptr) dlclose(handle_);
}

void* SharedLibrary::Symbol(const char* name) const
{
    dlerror();
    return dlsym(handle_, name);
}

Module::Module(const fs::path& path) : library_(path)
{
    void* symbol = library_.Symbol("QueryModule");
    if (symbol == nullptr) {
        throw Error("module " + Quoted(path.string()) +
                    " does not export QueryModule: it is not a visualisation module");
    }
    // dlsym hands out data pointers; POSIX guarantees the round trip to a function pointer.
    QueryModuleFn query = nullptr;
    static_assert(sizeof(query) == sizeof(symbol));
    std::memcpy(&query, &symbol, sizeof(query));
    descriptor_ = query();
    if (descriptor_ == nullptr) {
        throw Error("module " + Quoted(path.string()) + " returned no descriptor from QueryModule");
    }
    if (descriptor_->init == nullptr || descriptor_->render == nullptr) {
        throw Error("module " + Quoted(path.string()) + " has a descriptor without " +
                    (descriptor_->init == nullptr ? "an init" : "a render") + " entry");
    }
}

std::string Module::Name() const
{
    const char* name = descriptor_->displayName;
    if (name == nullptr) return "(no name)";
    std::string result;
    for (std::size_t i = 0; name[i] != '\0' && i < 200; ++i) {
        const char c = name[i];
        result += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return result;
}

std::string Module::DescribeAddress(const void* address) const
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", address);
    std::string result = text;
    Dl_info info{};
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
        const auto offset = reinterpret_cast<std::uintptr_t>(address) -
                            reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        std::snprintf(text, sizeof text, " (base+0x%jx", static_cast<std::uintmax_t>(offset));
        result += text;
        if (info.dli_sname != nullptr && info.dli_saddr == address) {
            result += ", ";
            result += info.dli_sname;
        }
        result += ')';
    }
    return result;
}

void Module::Init()
{
    if (descriptor_->init() == 0) {
        throw Error("module " + Quoted(Path().string()) +
                    " could not build its scene (its init entry returned 0)");
    }
}

void Module::Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch,
                    const FrameData& frame, int64_t frameIndex)
{
    if (descriptor_->render(pixels, width, height, pitch, &frame) == 0) {
        throw Error("module " + Quoted(Path().string()) + " refused frame " +
                    std::to_string(frameIndex) + " (its render entry returned 0)");
    }
}

fs::path DefaultModulePath()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path beside = self.parent_path() / NIMBRELLE_MODULE_FILE_NAME;
        if (fs::exists(beside, ec)) return beside;
    }
    const fs::path built = NIMBRELLE_DEFAULT_MODULE;
    if (!built.empty()) return built;
    return fs::path(NIMBRELLE_MODULE_FILE_NAME);
}

fs::path ResolveModulePath(const std::optional<fs::path>& given)
{
    if (given) return *given;
    const fs::path found = DefaultModulePath();
    std::error_code ec;
    if (!fs::exists(found, ec)) {
        throw Error("no module found at " + Quoted(found.string()) + ": build the project or pass --module PATH");
    }
    return found;
}

}  // namespace nimbrelle::host
