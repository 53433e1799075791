#include "nimbrelle/loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "elf_check.h"

namespace nimbrelle::loader {

namespace fs = std::filesystem;

namespace {

// A file's name as every message of the host shows it: in single quotes.
std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

std::string LastDlError()
{
    const char* message = dlerror();
    return message != nullptr ? message : "unknown error";
}

bool Fail(std::string* error, std::string message)
{
    if (error != nullptr) *error = std::move(message);
    return false;
}

std::string NotLoadable(const fs::path& path, const std::string& why)
{
    return "cannot load module " + Quoted(path.string()) + ": not a loadable shared library (" + why + ")";
}

// An open descriptor, closed on destruction unless released.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Copies `size` bytes of `source` into a new anonymous in-memory file and loads that. The
// dynamic loader tells libraries apart by file, so the copy gets code and data of its own. The
// copy stays open while it is loaded, so no later copy can reuse its /proc/self/fd name.
void* LoadInMemory(int source, std::uint64_t size, int& copyFd, std::string& why)
{
    Fd copy(memfd_create("nimbrelle-module", MFD_CLOEXEC));
    if (copy.Get() < 0) {
        why = std::string("cannot make an in-memory copy: ") + std::strerror(errno);
        return nullptr;
    }
    off_t offset = 0;
    for (std::uint64_t left = size; left > 0;) {
        const ssize_t sent = sendfile(copy.Get(), source, &offset, static_cast<std::size_t>(left));
        if (sent <= 0) {
            why = "the file changed while it was copied";
            return nullptr;
        }
        left -= static_cast<std::uint64_t>(sent);
    }
    // The copy is what gets mapped: check it again, in case the file changed since.
    why = CheckElf(copy.Get(), size);
    if (!why.empty()) return nullptr;
    dlerror();
    void* handle = dlopen(("/proc/self/fd/" + std::to_string(copy.Get())).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        why = LastDlError();
        return nullptr;
    }
    copyFd = copy.Release();
    return handle;
}

// A sanitizer's runtime refuses to be loaded a second time, into another namespace, and ends
// the process when it is: where one runs, private copies are in-memory copies.
bool SanitizerRuns()
{
    for (const char* entry : {"__asan_init", "__tsan_init", "__msan_init", "__hwasan_init"}) {
        if (dlsym(RTLD_DEFAULT, entry) != nullptr) return true;
    }
    return false;
}

}  // namespace

std::unique_ptr<Module> Module::Open(const fs::path& path, Mode mode, std::string* error)
{
    const std::string name = Quoted(path.string());
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        Fail(error, "module " + name + " does not exist");
        return nullptr;
    }
    if (fs::is_directory(status)) {
        Fail(error, "module " + name + " is a directory, not a shared library");
        return nullptr;
    }
    if (!fs::is_regular_file(status)) {
        Fail(error, "module " + name + " is not a regular file");
        return nullptr;
    }
    Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat fileStatus {};
    if (file.Get() < 0 || fstat(file.Get(), &fileStatus) != 0) {
        Fail(error, "cannot read module " + name + ": " + std::strerror(errno));
        return nullptr;
    }
    const auto size = static_cast<std::uint64_t>(fileStatus.st_size);
    if (size > MaxModuleBytes) {
        Fail(error, NotLoadable(path, "larger than " + std::to_string(MaxModuleBytes >> 20) + " MiB"));
        return nullptr;
    }
    if (const std::string why = CheckElf(file.Get(), size); !why.empty()) {
        Fail(error, NotLoadable(path, why));
        return nullptr;
    }

    // A name without a slash would make the dynamic loader search the library path instead.
    const fs::path loadPath = path.has_parent_path() ? path : fs::path(".") / path;
    void* handle = nullptr;
    int copyFd = -1;
    Copy copy = Copy::Shared;
    std::string why;
    dlerror();
    switch (mode) {
    case Mode::Shared:
        handle = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) why = LastDlError();
        break;
    case Mode::Private:
        if (!SanitizerRuns()) {
            copy = Copy::Namespace;
            handle = dlmopen(LM_ID_NEWLM, loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle != nullptr) break;
            why = LastDlError();
        }
        [[fallthrough]];
    case Mode::PrivateInMemory: {
        copy = Copy::InMemory;
        std::string inMemory;
        handle = LoadInMemory(file.Get(), size, copyFd, inMemory);
        // A namespace's refusal says more about the file than the copy's.
        if (why.empty()) why = inMemory;
        break;
    }
    }
    if (handle == nullptr) {
        Fail(error, NotLoadable(path, why));
        return nullptr;
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
        Fail(error, "module " + name + " does not export QueryModule: it is not a visualisation module");
        return nullptr;
    }
    // dlsym hands out data pointers; POSIX guarantees the round trip to a function pointer.
    QueryModuleFn query = nullptr;
    static_assert(sizeof(query) == sizeof(symbol));
    std::memcpy(&query, &symbol, sizeof(query));
    const ModuleDescriptor* descriptor = query();
    if (descriptor == nullptr) {
        unload();
        Fail(error, "module " + name + " returned no descriptor from QueryModule");
        return nullptr;
    }
    if (descriptor->init == nullptr || descriptor->render == nullptr) {
        unload();
        Fail(error, "module " + name + " has a descriptor without " +
                        (descriptor->init == nullptr ? "an init" : "a render") + " entry");
        return nullptr;
    }
    return std::unique_ptr<Module>(new Module(handle, copyFd, copy, query, path));
}

Module::Module(void* handle, int copyFd, Copy copy, QueryModuleFn query, fs::path path)
    : handle_(handle), copyFd_(copyFd), copy_(copy), query_(query), descriptor_(query()), path_(std::move(path))
{
}

Module::~Module()
{
    dlclose(handle_);
    if (copyFd_ >= 0) close(copyFd_);
}

bool Module::Init(std::string* error)
{
    if (descriptor_->init() != 0) return true;
    return Fail(error, "module " + Quoted(path_.string()) + " could not build its scene (its init entry returned 0)");
}

bool Module::Render(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData& frame)
{
    return descriptor_->render(pixels, width, height, pitch, &frame) != 0;
}

std::string Module::RefusalText(int64_t frameIndex) const
{
    return "module " + Quoted(path_.string()) + " refused frame " + std::to_string(frameIndex) +
           " (its render entry returned 0)";
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

bool IsLoaded(const fs::path& path)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

fs::path FolderOf(const void* anchor)
{
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(anchor, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr) return {};
    std::error_code ec;
    // The program itself has an empty name in the dynamic loader's list.
    const fs::path file = (map->l_name == nullptr || map->l_name[0] == '\0') ? fs::read_symlink("/proc/self/exe", ec)
                                                                            : fs::path(map->l_name);
    if (ec || file.empty()) return {};
    return fs::absolute(file, ec).parent_path();
}

fs::path FindModule(const fs::path& folder, const std::vector<std::string>& candidates, std::string* tried)
{
    std::string looked;
    for (const std::string& relative : candidates) {
        const fs::path candidate = (folder / relative).lexically_normal();
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            if (tried != nullptr) *tried = looked;
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate.string();
    }
    if (tried != nullptr) *tried = looked;
    return {};
}

}  // namespace nimbrelle::loader
