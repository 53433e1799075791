// Loading a visualisation module through its real boundary: dlopen, QueryModule and the
// entries of the descriptor it returns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "nimbrelle/module.h"

namespace nimbrelle::host {

// A dlopen handle, closed on destruction.
class SharedLibrary {
public:
    // Throws Error naming the file when it is missing or is not a loadable shared library.
    explicit SharedLibrary(const std::filesystem::path& path);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // The address of an exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    void* handle_ = nullptr;
};

// A loaded module. The host calls it from one thread only, as the boundary requires.
class Module {
public:
    // Loads the library and queries its descriptor; throws Error naming the file when it
    // lacks QueryModule, returns no descriptor, or the descriptor has no init or render entry.
    explicit Module(const std::filesystem::path& path);

    const ModuleDescriptor& Descriptor() const { return *descriptor_; }
    const std::filesystem::path& Path() const { return library_.Path(); }
    // The display name (at most 200 characters, non-printable bytes as '?'), or "(no name)".
    std::string Name() const;
    // Address of the descriptor entry relative to the library's load address, when known.
    std::string DescribeAddress(const void* address) const;

    // Builds the scene; throws Error when init returns 0.
    void Init();
    // Draws frame `frameIndex`; throws Error when render refuses it (returns 0).
    void Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch,
                const FrameData& frame, int64_t frameIndex);

private:
    SharedLibrary library_;
    const ModuleDescriptor* descriptor_ = nullptr;
};

// The module used when --module is not given: NimbrelleCalvex.so next to the executable when
// present, otherwise the one in the build tree this host was built in.
std::filesystem::path DefaultModulePath();

// `given` when set, otherwise DefaultModulePath(); throws Error when that default is missing.
std::filesystem::path ResolveModulePath(const std::optional<std::filesystem::path>& given);

}  // namespace nimbrelle::host
