// The module of this build loaded the way a program loads it (a Shared load through the
// loader), for tests that call its entries directly.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "nimbrelle/loader.h"
#include "nimbrelle/module.h"

namespace nimbrelle::test {

class LoadedModule {
public:
    explicit LoadedModule(const char* path = NIMBRELLE_MODULE_PATH) : module_(Open(path)) {}

    QueryModuleFn Query() const { return module_->Query(); }
    const ModuleDescriptor& Descriptor() const { return module_->Descriptor(); }

    // True when no handle to the library is open any more, so the next load starts afresh.
    static bool Unloaded(const char* path = NIMBRELLE_MODULE_PATH) { return !loader::IsLoaded(path); }

private:
    static std::unique_ptr<loader::Module> Open(const char* path)
    {
        std::string error;
        auto module = loader::Module::Open(path, loader::Mode::Shared, &error);
        if (!module) throw std::runtime_error(error);
        return module;
    }

    std::unique_ptr<loader::Module> module_;
};

}  // namespace nimbrelle::test
