// A module loaded the way a host loads it: dlopen, then QueryModule through dlsym.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "nimbrelle/module.h"

namespace nimbrelle::test {

class LoadedModule {
public:
    explicit LoadedModule(const char* path = NIMBRELLE_MODULE_PATH)
        : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
        query_ = reinterpret_cast<QueryModuleFn>(dlsym(handle_, "QueryModule"));
        if (query_ == nullptr) throw std::runtime_error("QueryModule not found");
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    ~LoadedModule() { dlclose(handle_); }

    QueryModuleFn Query() const { return query_; }
    const ModuleDescriptor& Descriptor() const { return *query_(); }

    // True when no handle to the library is open any more, so the next load starts afresh.
    static bool Unloaded(const char* path = NIMBRELLE_MODULE_PATH)
    {
        void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (h == nullptr) return true;
        dlclose(h);
        return false;
    }

private:
    void* handle_;
    QueryModuleFn query_ = nullptr;
};

}  // namespace nimbrelle::test
