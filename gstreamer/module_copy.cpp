#include "module_copy.h"

#include <dlfcn.h>

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
    if (handle == nullptr) {
        error = "cannot load module " + Quoted(path) + ": not a loadable shared library (" + LastDlError() + ")";
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle, "QueryModule");
    if (symbol == nullptr) {
        dlclose(handle);
        error = "module " + Quoted(path) + " does not export QueryModule: it is not a visualisation module";
        return nullptr;
    }
    // dlsym hands out data pointers; POSIX guarantees the round trip to a function pointer.
    QueryModuleFn query = nullptr;
    static_assert(sizeof(query) == sizeof(symbol));
    std::memcpy(&query, &symbol, sizeof(query));
    const ModuleDescriptor* descriptor = query();
    if (descriptor == nullptr || descriptor->init == nullptr || descriptor->render == nullptr) {
        dlclose(handle);
        error = "module " + Quoted(path) + (descriptor == nullptr ? " returned no descriptor from QueryModule"
                                                                  : " has a descriptor without an init or render entry");
        return nullptr;
    }
    if (descriptor->init() == 0) {
        dlclose(handle);
        error = "module " + Quoted(path) + " could not build its scene (its init entry returned 0)";
        return nullptr;
    }
    return std::unique_ptr<ModuleCopy>(new ModuleCopy(handle, descriptor, path));
}

ModuleCopy::ModuleCopy(void* handle, const ModuleDescriptor* descriptor, std::string path)
    : handle_(handle), descriptor_(descriptor), path_(std::move(path))
{
}

ModuleCopy::~ModuleCopy()
{
    dlclose(handle_);
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
