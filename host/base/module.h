// The module as the host's commands use it: one Shared load through the loader (a program runs
// one scene, and the raster path is chosen when the library loads), with failures thrown as
// Error naming the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "nimbrelle/loader.h"
#include "nimbrelle/module.h"

namespace nimbrelle::host {

class Module {
public:
    // Loads and checks the library; throws Error naming the file when it is not a module.
    explicit Module(const std::filesystem::path& path);

    const ModuleDescriptor& Descriptor() const { return loaded_->Descriptor(); }
    const std::filesystem::path& Path() const { return loaded_->Path(); }
    std::string Name() const { return loaded_->Name(); }
    std::string DescribeAddress(const void* address) const { return loaded_->DescribeAddress(address); }

    // Builds the scene; throws Error when init returns 0.
    void Init();
    // Draws frame `frameIndex`; throws Error when render refuses it.
    void Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame,
                int64_t frameIndex);

private:
    std::unique_ptr<loader::Module> loaded_;
};

// The module used when --module is not given, relative to the program's own file: beside it,
// then where `make install` puts it, then in the build tree the program was built in.
std::filesystem::path DefaultModulePath();

// `given` when set, otherwise DefaultModulePath(); throws Error when there is no default.
std::filesystem::path ResolveModulePath(const std::optional<std::filesystem::path>& given);

}  // namespace nimbrelle::host
