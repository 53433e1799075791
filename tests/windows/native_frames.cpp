// The native counterpart of svp_host: renders every golden scenario through the native module,
// each from a freshly loaded library, and writes the same hash lines (see frame_dump.h).
//
//   native_frames [--raw DIR] [--frames SPEC] [--expect FILE] [--rounding MODE]
//                 [MODULE.so] OUT.txt
//
// MODULE.so defaults to the module of this build.
#include <cstdio>
#include <string>

#include "frame_dump.h"
#include "nimbrelle/loader.h"

#ifndef NIMBRELLE_MODULE_PATH
#error "NIMBRELLE_MODULE_PATH must name the module to load"
#endif

int main(int argc, char** argv)
{
    DumpOptions options;
    int rest[16];
    int restCount = 0;
    const char* path = NIMBRELLE_MODULE_PATH;
    int failures = 0;

    if (argc > 16 || ParseDumpArguments(argc, argv, &options, rest, &restCount) != 0 || restCount > 1) {
        std::fprintf(stderr, "usage: native_frames [--raw DIR] [--frames SPEC] [--expect FILE]"
                             " [--rounding MODE] [MODULE.so] OUT.txt\n");
        return 2;
    }
    if (restCount == 1) path = argv[rest[0]];

    for (int i = 0; i < ScenarioCount; ++i) {
        {
            // A Shared load, so that closing it takes the library out of the process.
            std::string error;
            auto module = nimbrelle::loader::Module::Open(path, nimbrelle::loader::Mode::Shared, &error);
            if (!module) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            if (DumpScenario(&module->Descriptor(), &Scenarios[i], &options) != 0) ++failures;
        }
        // A library that stays mapped keeps its state, and the next scenario would not start
        // from the module's load state.
        if (nimbrelle::loader::IsLoaded(path)) {
            std::fprintf(stderr, "%s is still loaded after it was closed\n", path);
            return 1;
        }
    }
    if (CloseDumpOptions(&options) != 0) ++failures;
    return failures == 0 ? 0 : 1;
}
