#include "module_copy.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#ifndef NIMBRELLE_GST_INSTALLED_MODULE
#define NIMBRELLE_GST_INSTALLED_MODULE "../nimbrelle/NimbrelleCalvex.so"
#endif
#ifndef NIMBRELLE_GST_BUILD_MODULE
#define NIMBRELLE_GST_BUILD_MODULE "../src/NimbrelleCalvex.so"
#endif

namespace nimbrelle::gst {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string LastDlError()
{
    const char* message = dlerror();
    return message != nullptr ? message : "unknown error";
}

// Loads a private copy of `path` from an anonymous in-memory file. The loader tells libraries
// apart by file, so the copy gets code and data of its own. The file stays open while the copy
// is loaded, so no later copy can reuse its /proc/self/fd name. Returns null when it fails.
void* LoadPrivateCopy(const std::string& path, int& copyFd)
{
    const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return nullptr;
    struct stat status {};
    const int copy = memfd_create("nimbrelle-module", MFD_CLOEXEC);
    bool copied = copy >= 0 && fstat(source, &status) == 0;
    for (off_t left = status.st_size; copied && left > 0;) {
        const ssize_t sent = sendfile(copy, source, nullptr, static_cast<std::size_t>(left));
        copied = sent > 0;
        left -= sent;
    }
    close(source);
    void* handle = copied ? dlopen(("/proc/self/fd/" + std::to_string(copy)).c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (handle == nullptr) {
        if (copy >= 0) close(copy);
        return nullptr;
    }
    copyFd = copy;
    return handle;
}

}  // namespace

std::unique_ptr<ModuleCopy> ModuleCopy::Open(const std::string& path, std::string& error)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        error = "module " + Quoted(path) + " does not exist";
        return nullptr;
    }
    if (fs::is_directory(status)) {
        error = "module " + Quoted(path) + " is a directory, not a shared library";
        return nullptr;
    }
    // A name without a slash would make the loader search the library path instead.
    const fs::path loadPath = fs::path(path).has_parent_path() ? fs::path(path) : fs::path(".") / path;
    dlerror();
    void* handle = dlmopen(LM_ID_NEWLM, loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    int copyFd = -1;
    if (handle == nullptr) {
        const std::string why = LastDlError();
        handle = LoadPrivateCopy(path, copyFd);
        if (handle == nullptr) {
            error = "cannot load module " + Quoted(path) + ": not a loadable shared library (" + why + ")";
            return nullptr;
        }
    }
    // Undoes the load on every failure below.
    auto unload = [handle, copyFd] {
        dlclose(handle);
        if (copyFd >= 0) close(copyFd);
    };
    dlerror();
    void* symbol = dlsym(handle, "QueryModule");
    if (symbol == nullptr) {
        unload();
        error = "module " + Quoted(path) + " does not export QueryModule: it is not a visualisation module";
        return nullptr;
    }
    // dlsym hands out data pointers; POSIX guarantees the round trip to a function pointer.
    QueryModuleFn query = nullptr;
    static_assert(sizeof(query) == sizeof(symbol));
    std::memcpy(&query, &symbol, sizeof(query));
    const ModuleDescriptor* descriptor = query();
    if (descriptor == nullptr || descriptor->init == nullptr || descriptor->render == nullptr) {
        unload();
        error = "module " + Quoted(path) + (descriptor == nullptr ? " returned no descriptor from QueryModule"
                                                                  : " has a descriptor without an init or render entry");
        return nullptr;
    }
    if (descriptor->init() == 0) {
        unload();
        error = "module " + Quoted(path) + " could not build its scene (its init entry returned 0)";
        return nullptr;
    }
    return std::unique_ptr<ModuleCopy>(new ModuleCopy(handle, copyFd, descriptor, path));
}

ModuleCopy::ModuleCopy(void* handle, int copyFd, const ModuleDescriptor* descriptor, std::string path)
    : handle_(handle), copyFd_(copyFd), descriptor_(descriptor), path_(std::move(path))
{
}

ModuleCopy::~ModuleCopy()
{
    dlclose(handle_);
    if (copyFd_ >= 0) close(copyFd_);
}

bool ModuleCopy::Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame) const
{
    return descriptor_->render(pixels, width, height, pitch, &frame) != 0;
}

std::string DefaultModulePath(std::string& tried)
{
    Dl_info info{};
    // Any function of this plugin tells where its file is.
    if (dladdr(reinterpret_cast<void*>(&DefaultModulePath), &info) == 0 || info.dli_fname == nullptr) {
        tried = "(the plugin's own location is unknown)";
        return {};
    }
    const fs::path folder = fs::path(info.dli_fname).parent_path();
    tried.clear();
    for (const char* relative : {NIMBRELLE_GST_INSTALLED_MODULE, NIMBRELLE_GST_BUILD_MODULE}) {
        const fs::path candidate = (folder / relative).lexically_normal();
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
        tried += (tried.empty() ? "" : ", ") + candidate.string();
    }
    return {};
}

}  // namespace nimbrelle::gst
