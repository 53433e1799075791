/*
 * module_probe - the smallest host of an installed module, built against the installed header
 * with pkg-config by the install tests: loads the module, builds its scene, draws one 64x48
 * frame of a loud signal and prints the module's name. Exits nonzero when any step fails or
 * the frame is left untouched.
 *   module_probe MODULE.so
 */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <nimbrelle/module.h>

int main(int argc, char **argv)
{
    enum { W = 64, H = 48 };
    static uint32_t pixels[W * H];
    static FrameData levels;
    void *lib;
    QueryModuleFn query;
    const ModuleDescriptor *d;
    int i, drawn = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: module_probe MODULE.so\n");
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "module_probe: %s\n", dlerror());
        return 1;
    }
    query = (QueryModuleFn)dlsym(lib, "QueryModule");
    d = query ? query() : NULL;
    if (d == NULL || d->init == NULL || d->render == NULL || !d->init()) {
        fprintf(stderr, "module_probe: %s has no usable descriptor\n", argv[1]);
        return 1;
    }
    memset(levels.blockA, 200, sizeof levels.blockA);
    memset(levels.blockB, 200, sizeof levels.blockB);
    if (d->render(pixels, W, H, W, &levels) != 1) {
        fprintf(stderr, "module_probe: %s refused the frame\n", argv[1]);
        return 1;
    }
    for (i = 0; i < W * H; ++i)
        drawn |= pixels[i] != 0;
    if (!drawn) {
        fprintf(stderr, "module_probe: %s drew nothing\n", argv[1]);
        return 1;
    }
    puts(d->displayName);
    return 0;
}
