/*
 * The native counterpart of svp_host: renders every golden scenario through the native module,
 * each from a freshly loaded library, and writes the same hash lines (see frame_dump.h).
 *
 *   native_frames [--raw DIR] [--frames SPEC] [--expect FILE] [--rounding MODE]
 *                 [MODULE.so] OUT.txt
 *
 * MODULE.so defaults to the module of this build.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "frame_dump.h"

#ifndef NIMBRELLE_MODULE_PATH
#error "NIMBRELLE_MODULE_PATH must name the module to load"
#endif

static void *Load(const char *path, QueryModuleFn *query)
{
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void *symbol;
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return NULL;
    }
    symbol = dlsym(library, "QueryModule");
    if (symbol == NULL) {
        fprintf(stderr, "%s has no symbol QueryModule\n", path);
        dlclose(library);
        return NULL;
    }
    memcpy(query, &symbol, sizeof *query);
    return library;
}

/* Closes the library and makes sure it left the process: a library that stays mapped keeps
 * its state, and the next scenario would not start from the module's load state. */
static int Unload(void *library, const char *path)
{
    void *still;
    if (dlclose(library) != 0) {
        fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    still = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (still != NULL) {
        dlclose(still);
        fprintf(stderr, "%s is still loaded after dlclose\n", path);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    DumpOptions options;
    int rest[16];
    int restCount = 0;
    const char *path = NIMBRELLE_MODULE_PATH;
    int i, failures = 0;

    if (argc > 16 || ParseDumpArguments(argc, argv, &options, rest, &restCount) != 0 ||
        restCount > 1) {
        fprintf(stderr, "usage: native_frames [--raw DIR] [--frames SPEC] [--expect FILE]"
                        " [--rounding MODE] [MODULE.so] OUT.txt\n");
        return 2;
    }
    if (restCount == 1) path = argv[rest[0]];

    for (i = 0; i < ScenarioCount; ++i) {
        QueryModuleFn query;
        void *library = Load(path, &query);
        if (library == NULL) return 1;
        if (DumpScenario(query(), &Scenarios[i], &options) != 0) ++failures;
        failures += Unload(library, path);
    }
    if (CloseDumpOptions(&options) != 0) ++failures;
    return failures == 0 ? 0 : 1;
}
