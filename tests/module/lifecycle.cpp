// Loads the module, builds a thousand scenes, renders, unloads and loads it again: run under a
// leak checker, it proves that repeated initialisation and unloading release the scene.
#include <cstdio>
#include <vector>

#include "support/loaded_module.h"

int main()
{
    std::vector<uint32_t> pixels(64 * 48);
    FrameData fd{};
    for (int cycle = 0; cycle < 2; ++cycle) {
        nimbrelle::test::LoadedModule module;
        const ModuleDescriptor& d = module.Descriptor();
        for (int i = 0; i < 1000; ++i) {
            if (d.init() == 0) {
                std::fprintf(stderr, "init %d failed\n", i);
                return 1;
            }
        }
        if (d.render(pixels.data(), 64, 48, 64, &fd) != 1) {
            std::fprintf(stderr, "render refused\n");
            return 1;
        }
    }
    if (!nimbrelle::test::LoadedModule::Unloaded()) {
        std::fprintf(stderr, "the library stayed loaded\n");
        return 1;
    }
    std::puts("lifecycle: 2 loads, 2000 inits, no failure");
    return 0;
}
