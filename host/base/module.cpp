#include "base/module.h"

#include <string>
#include <vector>

#include "base/error.h"

#ifndef NIMBRELLE_MODULE_CANDIDATES
#define NIMBRELLE_MODULE_CANDIDATES "NimbrelleCalvex.so"
#endif

namespace nimbrelle::host {

namespace fs = std::filesystem;

Module::Module(const fs::path& path)
{
    std::string error;
    loaded_ = loader::Module::Open(path, loader::Mode::Shared, &error);
    if (!loaded_) throw Error(error);
}

void Module::Init()
{
    std::string error;
    if (!loaded_->Init(&error)) throw Error(error);
}

void Module::Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame,
                    int64_t frameIndex)
{
    if (!loaded_->Render(pixels, width, height, pitch, frame)) throw Error(loaded_->RefusalText(frameIndex));
}

fs::path DefaultModulePath()
{
    static const int anchor = 0;
    std::string tried;
    const fs::path folder = loader::FolderOf(&anchor);
    const fs::path found = folder.empty() ? fs::path() : loader::FindModule(folder, {NIMBRELLE_MODULE_CANDIDATES}, &tried);
    if (found.empty()) {
        throw Error("no module found (looked at " + (tried.empty() ? std::string("nothing: the program's folder is unknown") : tried) +
                    "): build the project or pass --module PATH");
    }
    return found;
}

fs::path ResolveModulePath(const std::optional<fs::path>& given)
{
    return given ? *given : DefaultModulePath();
}

}  // namespace nimbrelle::host
