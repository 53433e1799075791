/*
 * Renders the golden scenarios through a loaded module and writes what came out, so that two
 * builds of the module (the native library and the 32-bit Windows .svp under Wine) can be
 * compared frame by frame. Shared by the Windows test host and its native counterpart.
 *
 * Output, one line per rendered frame:   <scenario> <frame> <hash>
 * where frame is 0-based and hash is HashWords over the whole buffer (height * pitch words,
 * spare words included) as 16 lowercase hex digits.
 *
 * Raw frames, when asked for, go to <dir>/<scenario>_f<frame>.raw: the whole buffer as
 * height * pitch little-endian 32-bit words.
 */
#ifndef NIMBRELLE_FRAME_DUMP_H
#define NIMBRELLE_FRAME_DUMP_H

#include <stdint.h>
#include <stdio.h>

#include "scenarios.h"

#ifdef __cplusplus
extern "C" {
#endif

struct ExpectedLines;

typedef struct DumpOptions {
    FILE *hashes;          /* where the hash lines go */
    const char *rawDir;    /* NULL: write no raw frames */
    /* Which frames to write raw: NULL or "last" for each scenario's final frame, "all",
     * "differing" for the first frame of each scenario whose hash differs from the expected
     * lines, or a comma-separated list of <scenario>:<frame>. */
    const char *rawFrames;
    /* Hash lines of another build (from --expect), or NULL. */
    struct ExpectedLines *expected;
    /* The floating-point rounding mode the host sets while the module runs (--rounding
     * nearest|down|up|zero): the module must draw the same frames whatever the host left
     * there. -1: leave the default. */
    int rounding;
} DumpOptions;

/* Renders one scenario through `module` and writes its lines (and raw frames). Returns 0 on
 * success; otherwise prints why to stderr and returns nonzero. */
int DumpScenario(const ModuleDescriptor *module, const Scenario *s, const DumpOptions *options);

/* Parses the options both programs share:
 *     [--raw DIR] [--frames SPEC] [--expect FILE] [--rounding MODE] OUT. Arguments it does
 * not know are left for the caller: `rest` receives their indices, `restCount` their number.
 * Returns 0 on success. The hash file is opened in binary mode, so lines end in "\n" on
 * every platform. */
int ParseDumpArguments(int argc, char **argv, DumpOptions *options, int *rest, int *restCount);

/* Closes the hash file and frees what ParseDumpArguments allocated. Returns 0 when the hash
 * file was written completely. */
int CloseDumpOptions(DumpOptions *options);

/* The raw frame file name for a scenario frame, written into `out` (`size` bytes). */
void RawFramePath(char *out, size_t size, const char *dir, const char *scenario, int32_t frame);

#ifdef __cplusplus
}
#endif

#endif
