// One private copy of a visualisation module for one element instance.
//
// A module keeps a single unguarded scene in its static data, so two elements that shared one
// loaded copy would draw into each other's scene from different streaming threads. Each copy
// is therefore loaded with dlmopen into a link-map namespace of its own: its code, data and C
// runtime state are separate from every other copy in the process. The C library allows only
// a handful of namespaces (each one takes a share of the static TLS block); past that, a copy
// is a private in-memory copy of the file, loaded as a library of its own in the main
// namespace: its code and data are still its own, its C runtime is the process's.
#pragma once

#include <memory>
#include <string>

#include "nimbrelle/module.h"

namespace nimbrelle::gst {

class ModuleCopy {
public:
    // Loads `path` into a new namespace, queries its descriptor and builds its scene. On
    // failure returns null and sets `error` to a one-line message naming the file.
    static std::unique_ptr<ModuleCopy> Open(const std::string& path, std::string& error);

    ~ModuleCopy();
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;

    // Draws one frame; false when the module refused it.
    bool Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame) const;

    const std::string& Path() const { return path_; }

private:
    ModuleCopy(void* handle, int copyFd, const ModuleDescriptor* descriptor, std::string path);

    void* handle_;
    int copyFd_;  // the in-memory copy of the file, or -1 when loaded into a namespace
    const ModuleDescriptor* descriptor_;
    std::string path_;
};

// The module installed with the plugin: looked up relative to the plugin file's own folder,
// first where `make install` puts it, then where the build tree has it. Empty when neither
// exists; `tried` lists the paths looked at.
std::string DefaultModulePath(std::string& tried);

}  // namespace nimbrelle::gst
