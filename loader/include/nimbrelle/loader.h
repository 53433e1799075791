// Loading a visualisation module through its exported boundary (QueryModule and the entries
// of the descriptor it returns), for every front end: programs, plug-ins, tests and
// benchmarks.
//
//     std::string error;
//     auto module = nimbrelle::loader::Module::Open(path, nimbrelle::loader::Mode::Private, &error);
//     if (!module || !module->Init(&error)) { log(error); return; }   // one line naming the file
//     while (drawing) if (!module->Render(pixels, width, height, pitch, record)) ...;
//     module.reset();                                                  // unloads this copy
//
// Which mode:
// - Mode::Shared loads the file with dlopen. Every Shared load of one file in a process is the
//   same copy, with one scene. For a program that runs one scene, and for what must see the
//   library leave the process when it is closed (leak checks) or must load it afresh (the
//   raster path is chosen from NIMBRELLE_RASTER_PATH when the library loads).
// - Mode::Private gives the caller a copy of its own. A module keeps one unguarded scene in
//   its static data, so plug-ins that may run several instances in one process (a GStreamer
//   element, an OBS source, a VLC visualisation) take one Private copy per instance. The copy
//   is loaded with dlmopen into a new link-map namespace: code, data and C runtime apart from
//   everything else. The C library allows only a handful of namespaces (each takes a share of
//   the static TLS block), and none where the process runs a sanitizer runtime; past that, the
//   copy is an anonymous in-memory copy of the file loaded in the main namespace: its code and
//   data are still its own, its C runtime is the process's. Either way the caller sees no
//   difference; Module::How() tells which it got.
// - Mode::PrivateInMemory takes the in-memory copy directly (for tests of that path).
//
// Threads: a Module is used by one thread at a time (Init and Render never run at once on
// one copy, as the boundary requires); different Private copies may draw at the same time on
// different threads. Open and destruction may run on any thread.
//
// Before the dynamic loader sees a file, Open checks that it is a regular readable file of at
// most MaxModuleBytes, an ELF shared object for this process's machine, and that its program
// headers and every loadable segment lie inside the file: a truncated or damaged library is
// refused with a message instead of faulting inside the dynamic loader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "nimbrelle/module.h"

namespace nimbrelle::loader {

// The largest module file Open accepts. The module is well under a megabyte; the bound keeps a
// wrong path (a disk image, a sparse file) from being copied into memory.
inline constexpr std::uintmax_t MaxModuleBytes = 64u << 20;

enum class Mode { Shared, Private, PrivateInMemory };

// How a loaded copy came about.
enum class Copy { Shared, Namespace, InMemory };

class Module {
public:
    // Checks `path` and loads it in `mode`, then queries its descriptor. On failure returns
    // null and, when `error` is set, stores one line naming the file. Does not call init.
    static std::unique_ptr<Module> Open(const std::filesystem::path& path, Mode mode, std::string* error);

    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Builds the scene. False when init returned 0, with the reason in `error` when set.
    bool Init(std::string* error);
    // Draws one frame: the descriptor's render entry. False when the module refused it.
    bool Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame);
    // The line to report when Render refused frame `frameIndex`.
    std::string RefusalText(int64_t frameIndex) const;

    // The descriptor as the module returned it (valid while this copy is loaded); init and
    // render are non-null.
    const ModuleDescriptor& Descriptor() const { return *descriptor_; }
    // The library's QueryModule.
    QueryModuleFn Query() const { return query_; }
    const std::filesystem::path& Path() const { return path_; }
    Copy How() const { return copy_; }
    // The display name (at most 200 characters, non-printable bytes as '?'), or "(no name)".
    std::string Name() const;
    // An address inside the module as text, with its offset from the library's load address
    // and its symbol name when known.
    std::string DescribeAddress(const void* address) const;

private:
    Module(void* handle, int copyFd, Copy copy, QueryModuleFn query, std::filesystem::path path);

    void* handle_;
    int copyFd_;  // the in-memory copy of the file, or -1
    Copy copy_;
    QueryModuleFn query_;
    const ModuleDescriptor* descriptor_;
    std::filesystem::path path_;
};

// Whether `path` is loaded Shared in this process (dlopen with RTLD_NOLOAD): after the last
// Shared Module of a file is destroyed, false means the next load starts from the module's
// load state.
bool IsLoaded(const std::filesystem::path& path);

// The folder of the file that holds `anchor`, the address of any function or object of the
// caller's own file: the program's folder (through /proc/self/exe) or a plug-in library's.
// Empty when unknown.
std::filesystem::path FolderOf(const void* anchor);

// The default module of a front end: the first of `candidates` (relative to `folder` unless
// absolute) that is a regular file, or empty. `tried` receives the paths looked at, joined
// by ", ".
std::filesystem::path FindModule(const std::filesystem::path& folder, const std::vector<std::string>& candidates,
                                 std::string* tried);

}  // namespace nimbrelle::loader
