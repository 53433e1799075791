#include "frame_dump.h"

#include <fenv.h>
#include <stdlib.h>
#include <string.h>

void RawFramePath(char *out, size_t size, const char *dir, const char *scenario, int32_t frame)
{
    snprintf(out, size, "%s/%s_f%03ld.raw", dir, scenario, (long)frame);
}

/* The hash lines of another build, to tell which frames differ while rendering. */
typedef struct ExpectedLine {
    char scenario[64];
    long frame;
    char hash[17];
} ExpectedLine;

struct ExpectedLines {
    ExpectedLine *lines;
    size_t count;
};

static struct ExpectedLines *ReadExpected(const char *path)
{
    struct ExpectedLines *e = (struct ExpectedLines *)calloc(1, sizeof *e);
    FILE *f = fopen(path, "rb");
    size_t capacity = 0;
    ExpectedLine line;
    if (e == NULL || f == NULL) {
        fprintf(stderr, "cannot read %s\n", path);
        if (f != NULL) fclose(f);
        free(e);
        return NULL;
    }
    while (fscanf(f, "%63s %ld %16s", line.scenario, &line.frame, line.hash) == 3) {
        if (e->count == capacity) {
            ExpectedLine *grown;
            capacity = capacity ? 2 * capacity : 256;
            grown = (ExpectedLine *)realloc(e->lines, capacity * sizeof *grown);
            if (grown == NULL) break;
            e->lines = grown;
        }
        e->lines[e->count++] = line;
    }
    fclose(f);
    return e;
}

/* True when the expected lines hold a different hash for this frame, or none at all. */
static int DiffersFromExpected(const struct ExpectedLines *e, const char *scenario, int32_t frame,
                               const char *hash)
{
    size_t i;
    for (i = 0; e != NULL && i < e->count; ++i)
        if (e->lines[i].frame == (long)frame && strcmp(e->lines[i].scenario, scenario) == 0)
            return strcmp(e->lines[i].hash, hash) != 0;
    return 1;
}

/* True when `spec` asks for frame `frame` of scenario `name` (of `frames` frames); `differs`
 * tells whether the frame differs from the expected lines and `firstDiffering` whether it is
 * the scenario's first such frame. */
static int WantsRaw(const char *spec, const char *name, int32_t frame, int32_t frames,
                    int differs, int firstDiffering)
{
    size_t nameLength = strlen(name);
    const char *p;
    if (spec == NULL || strcmp(spec, "last") == 0) return frame == frames - 1;
    if (strcmp(spec, "differing") == 0) return differs && firstDiffering;
    if (strcmp(spec, "all") == 0) return 1;
    for (p = spec; *p != '\0';) {
        const char *end = strchr(p, ',');
        size_t length = end ? (size_t)(end - p) : strlen(p);
        if (length > nameLength + 1 && strncmp(p, name, nameLength) == 0 && p[nameLength] == ':' &&
            strtol(p + nameLength + 1, NULL, 10) == (long)frame)
            return 1;
        p += length;
        if (*p == ',') ++p;
    }
    return 0;
}

#if defined(__i386__) || defined(__x86_64__)
/* The SSE control register: rounding, flush-to-zero, denormals-are-zero and trap masks. */
static unsigned ReadCsr(void)
{
    unsigned csr;
    __asm__ volatile("stmxcsr %0" : "=m"(csr));
    return csr;
}
#else
static unsigned ReadCsr(void) { return 0; }
#endif

typedef struct DumpState {
    const Scenario *scenario;
    const DumpOptions *options;
    int differingSoFar;
    int failed;
} DumpState;

static void OnFrame(void *context, int32_t frame, const uint32_t *buffer)
{
    DumpState *state = (DumpState *)context;
    const Scenario *s = state->scenario;
    size_t words = (size_t)s->height * (size_t)s->pitch;
    uint64_t hash = HashWords(buffer, words, HASH_START);
    char text[17];
    int differs;
    /* Two 32-bit halves: the same text from every C runtime's printf. */
    snprintf(text, sizeof text, "%08lx%08lx", (unsigned long)(hash >> 32),
             (unsigned long)(hash & 0xFFFFFFFFu));
    fprintf(state->options->hashes, "%s %ld %s\n", s->name, (long)frame, text);
    differs = DiffersFromExpected(state->options->expected, s->name, frame, text);

    if (state->options->rawDir != NULL &&
        WantsRaw(state->options->rawFrames, s->name, frame, s->frames, differs,
                 state->differingSoFar == 0)) {
        char path[1024];
        FILE *f;
        RawFramePath(path, sizeof path, state->options->rawDir, s->name, frame);
        f = fopen(path, "wb");
        if (f == NULL || fwrite(buffer, sizeof *buffer, words, f) != words) {
            fprintf(stderr, "cannot write %s\n", path);
            state->failed = 1;
        }
        if (f != NULL && fclose(f) != 0) state->failed = 1;
    }
    state->differingSoFar += differs;
}

int DumpScenario(const ModuleDescriptor *module, const Scenario *s, const DumpOptions *options)
{
    DumpState state;
    uint32_t *buffer;
    unsigned csr;
    int result;
    state.scenario = s;
    state.options = options;
    state.differingSoFar = 0;
    state.failed = 0;
    buffer = (uint32_t *)malloc((size_t)s->height * (size_t)s->pitch * sizeof *buffer);
    if (buffer == NULL) {
        fprintf(stderr, "%s: out of memory\n", s->name);
        return 1;
    }
    if (options->rounding != -1 && fesetround(options->rounding) != 0) {
        fprintf(stderr, "%s: cannot set the rounding mode\n", s->name);
        free(buffer);
        return 1;
    }
    csr = ReadCsr();
    result = RunScenario(module, s, buffer, OnFrame, &state);
    if ((options->rounding != -1 && fegetround() != options->rounding) || ReadCsr() != csr) {
        fprintf(stderr, "%s: the module did not give back the host's floating-point modes\n",
                s->name);
        state.failed = 1;
    }
    fesetround(FE_TONEAREST);
    free(buffer);
    if (result == -1) {
        fprintf(stderr, "%s: init failed\n", s->name);
        return 1;
    }
    if (result > 0) {
        fprintf(stderr, "%s: frame %d was refused\n", s->name, result - 1);
        return 1;
    }
    if (fflush(options->hashes) != 0 || ferror(options->hashes)) {
        fprintf(stderr, "%s: cannot write the hash lines\n", s->name);
        return 1;
    }
    return state.failed;
}

int ParseDumpArguments(int argc, char **argv, DumpOptions *options, int *rest, int *restCount)
{
    const char *out = NULL;
    int i;
    options->hashes = NULL;
    options->rawDir = NULL;
    options->rawFrames = NULL;
    options->expected = NULL;
    options->rounding = -1;
    *restCount = 0;
    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--raw") == 0 && i + 1 < argc) {
            options->rawDir = argv[++i];
        } else if (strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            options->rawFrames = argv[++i];
        } else if (strcmp(argv[i], "--expect") == 0 && i + 1 < argc) {
            options->expected = ReadExpected(argv[++i]);
            if (options->expected == NULL) return 1;
        } else if (strcmp(argv[i], "--rounding") == 0 && i + 1 < argc) {
            const char *mode = argv[++i];
            if (strcmp(mode, "nearest") == 0) options->rounding = FE_TONEAREST;
            else if (strcmp(mode, "down") == 0) options->rounding = FE_DOWNWARD;
            else if (strcmp(mode, "up") == 0) options->rounding = FE_UPWARD;
            else if (strcmp(mode, "zero") == 0) options->rounding = FE_TOWARDZERO;
            else {
                fprintf(stderr, "unknown rounding mode %s\n", mode);
                return 1;
            }
        } else if (strncmp(argv[i], "--", 2) == 0) {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 1;
        } else {
            rest[(*restCount)++] = i;
        }
    }
    if (*restCount < 1) {
        fprintf(stderr, "missing output file\n");
        return 1;
    }
    out = argv[rest[*restCount - 1]];
    --*restCount;
    options->hashes = fopen(out, "wb");
    if (options->hashes == NULL) {
        fprintf(stderr, "cannot open %s\n", out);
        return 1;
    }
    return 0;
}

int CloseDumpOptions(DumpOptions *options)
{
    int result = 0;
    if (options->hashes != NULL && fclose(options->hashes) != 0) result = 1;
    options->hashes = NULL;
    if (options->expected != NULL) {
        free(options->expected->lines);
        free(options->expected);
        options->expected = NULL;
    }
    return result;
}
