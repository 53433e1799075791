/*
 * A minimal Windows host for the 32-bit .svp module: loads it by file name the way a real
 * host does (LoadLibraryA + GetProcAddress), checks the descriptor and the calling
 * convention of its entries, then renders every golden scenario from a freshly loaded module
 * and writes the frame hashes (see frame_dump.h).
 *
 *   svp_host.exe [--raw DIR] [--frames SPEC] [--expect FILE] [--rounding MODE]
 *              MODULE.svp OUT.txt
 *
 * Exit status 0 when every check passed and every scenario rendered.
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "frame_dump.h"
#include "nimbrelle/module.h"
#include "scenarios.h"

static const char ExpectedName[] = "Pelkin :: Nimbrelle Calvex";

static int failures = 0;

static void Fail(const char *what)
{
    fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
}

/* The callee may use any vector register; they only exist for the compiler with SSE on. */
#if defined(__SSE__)
#define VECTOR_CLOBBERS , "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#else
#define VECTOR_CLOBBERS
#endif

/*
 * Calls `entry` with five zero arguments pushed and returns how many bytes of them the callee
 * removed: 0 for a cdecl function (the caller removes the arguments), 4 * N for one that
 * removes its own N arguments itself. Five covers every entry (render takes five, the others
 * fewer); a callee ignores arguments beyond its own either way. The function's return value
 * goes to *result.
 */
static int32_t StackPopped(uintptr_t entry, int32_t *result)
{
    int32_t popped;
    int32_t value;
    __asm__ volatile("movl %%esp, %%edi\n\t"
                     "pushl $0\n\tpushl $0\n\tpushl $0\n\tpushl $0\n\tpushl $0\n\t"
                     "call *%[f]\n\t"
                     "movl %%esp, %%edx\n\t"
                     "subl %%edi, %%edx\n\t"
                     "movl %%edi, %%esp\n\t"
                     : "=a"(value), "=d"(popped)
                     : [f] "b"(entry)
                     : "ecx", "edi", "memory", "cc" VECTOR_CLOBBERS);
    *result = value;
    return popped + 20;
}

/* True when `address` lies inside the loaded image of `module`. */
static int InsideImage(HMODULE module, uintptr_t a)
{
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)module;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    uintptr_t b = (uintptr_t)base;
    return a >= b && a < b + nt->OptionalHeader.SizeOfImage;
}

static HMODULE Load(const char *path, QueryModuleFn *query)
{
    HMODULE module = LoadLibraryA(path);
    FARPROC entry;
    if (module == NULL) {
        fprintf(stderr, "LoadLibraryA(%s) failed: error %lu\n", path,
                (unsigned long)GetLastError());
        return NULL;
    }
    entry = GetProcAddress(module, "QueryModule");
    if (entry == NULL) {
        fprintf(stderr, "%s has no export named QueryModule\n", path);
        FreeLibrary(module);
        return NULL;
    }
    *query = (QueryModuleFn)(void (*)(void))entry;
    return module;
}

/* Frees the module and makes sure it really left the process, so the next load starts from
 * the module's load state. */
static int Unload(HMODULE module, const char *path)
{
    char name[MAX_PATH];
    DWORD length = GetModuleFileNameA(module, name, sizeof name);
    if (!FreeLibrary(module)) {
        fprintf(stderr, "FreeLibrary(%s) failed\n", path);
        return 1;
    }
    if (length > 0 && length < sizeof name && GetModuleHandleA(name) != NULL) {
        fprintf(stderr, "%s is still loaded after FreeLibrary\n", path);
        return 1;
    }
    return 0;
}

enum { CheckWidth = 16, CheckHeight = 8, CheckPitch = 20 };

/* Counts the words of `buffer` that no longer hold `fill`. */
static int Touched(const uint32_t *buffer, size_t words, uint32_t fill)
{
    size_t i;
    int count = 0;
    for (i = 0; i < words; ++i) count += buffer[i] != fill;
    return count;
}

/* Everything a host may rely on before drawing: the descriptor's fields, its entries and
 * their calling convention, and the refusals of ModuleRender. */
static void CheckDescriptor(HMODULE module, QueryModuleFn query)
{
    static uint32_t buffer[CheckHeight * CheckPitch];
    const size_t words = sizeof buffer / sizeof buffer[0];
    const uint32_t fill = 0x5A5A5A5Au;
    const ModuleDescriptor *d = query();
    FrameData frame;
    int32_t result;
    size_t i;

    if (d == NULL) {
        Fail("QueryModule returned NULL");
        return;
    }
    if (query() != d) Fail("QueryModule returned a different address on the second call");
    if (!InsideImage(module, (uintptr_t)d))
        Fail("the descriptor is not static data of the module");
    if (sizeof *d != 28) Fail("the descriptor is not 28 bytes");
    if (d->leadWord != 0) Fail("leadWord is not 0");
    if (d->hostWord != 7) Fail("hostWord is not 7");
    if (d->displayName == NULL || strcmp(d->displayName, ExpectedName) != 0)
        Fail("displayName is not \"Pelkin :: Nimbrelle Calvex\"");
    else if (!InsideImage(module, (uintptr_t)d->displayName))
        Fail("displayName is not static data of the module");
    if (!d->init || !d->render || !d->auxEntryA || !d->auxEntryB) {
        Fail("an entry is NULL");
        return;
    }
    if ((uintptr_t)d->init == (uintptr_t)d->render)
        Fail("init and render are the same function");
    if (d->auxEntryA != d->auxEntryB) Fail("auxEntryA and auxEntryB differ");
    if ((uintptr_t)d->auxEntryA == (uintptr_t)d->init ||
        (uintptr_t)d->auxEntryA == (uintptr_t)d->render)
        Fail("the auxiliary entry is init or render");
    if (!InsideImage(module, (uintptr_t)d->init) ||
        !InsideImage(module, (uintptr_t)d->render) ||
        !InsideImage(module, (uintptr_t)d->auxEntryA))
        Fail("an entry points outside the module");

    /* The calling convention first: calling an entry that removes its own arguments through
     * a cdecl pointer corrupts the stack, so nothing else is called if one does. Render gets
     * all-zero arguments (a NULL buffer and NULL FrameData), which it refuses. */
    if (StackPopped((uintptr_t)d->auxEntryA, &result) != 0) {
        Fail("the auxiliary entry removes its arguments: not cdecl");
        return;
    }
    if (result != 1) Fail("the auxiliary entry with arguments did not return 1");
    if (StackPopped((uintptr_t)d->render, &result) != 0) {
        Fail("render removes its arguments: not cdecl");
        return;
    }
    if (result != 0) Fail("render with all-zero arguments did not return 0");

    /* The auxiliary entries do nothing and return 1. */
    if (d->auxEntryA() != 1 || d->auxEntryB() != 1) Fail("an auxiliary entry did not return 1");

    /* Before any init, a frame is refused and the buffer left as it was. */
    FillScenarioFrame(&frame, SignalLoud, 0);
    for (i = 0; i < words; ++i) buffer[i] = fill;
    if (d->render(buffer, CheckWidth, CheckHeight, CheckPitch, &frame) != 0)
        Fail("render before init did not return 0");
    if (Touched(buffer, words, fill) != 0) Fail("render before init wrote the buffer");

    if (d->init() == 0) {
        Fail("init returned 0");
        return;
    }
    if (d->render(buffer, CheckWidth, CheckHeight, CheckPitch, NULL) != 0)
        Fail("render with a NULL FrameData did not return 0");
    if (Touched(buffer, words, fill) != 0) Fail("render with a NULL FrameData wrote the buffer");
    if (d->render(NULL, CheckWidth, CheckHeight, CheckPitch, &frame) != 0)
        Fail("render with a NULL buffer did not return 0");

    if (d->render(buffer, CheckWidth, CheckHeight, CheckPitch, &frame) != 1)
        Fail("render after init did not return 1");
    for (i = 0; i < (size_t)CheckHeight; ++i) {
        size_t x;
        for (x = CheckWidth; x < CheckPitch; ++x)
            if (buffer[i * CheckPitch + x] != fill) {
                Fail("render wrote right of the visible width");
                i = CheckHeight;
                break;
            }
    }
}

int main(int argc, char **argv)
{
    DumpOptions options;
    int rest[16];
    int restCount = 0;
    const char *path;
    QueryModuleFn query;
    HMODULE module;
    int i;

    if (argc > 16 || ParseDumpArguments(argc, argv, &options, rest, &restCount) != 0 ||
        restCount != 1) {
        fprintf(stderr, "usage: svp_host [--raw DIR] [--frames SPEC] [--expect FILE]"
                        " [--rounding MODE] MODULE.svp OUT.txt\n");
        return 2;
    }
    path = argv[rest[0]];
    /* Tells the test script that Wine got as far as running this program. */
    fprintf(stderr, "svp_host: started\n");
    fflush(stderr);

    module = Load(path, &query);
    if (module == NULL) return 1;
    CheckDescriptor(module, query);
    if (Unload(module, path) != 0) ++failures;
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed; not rendering through a faulty module\n", failures);
        return 1;
    }

    for (i = 0; i < ScenarioCount; ++i) {
        module = Load(path, &query);
        if (module == NULL) return 1;
        if (DumpScenario(query(), &Scenarios[i], &options) != 0) Fail(Scenarios[i].name);
        if (Unload(module, path) != 0) ++failures;
    }
    if (CloseDumpOptions(&options) != 0) Fail("cannot close the hash file");

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("svp_host: descriptor checks passed, %d scenarios rendered\n", ScenarioCount);
    return 0;
}
