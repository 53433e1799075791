/*
 * Golden scenarios: fixed canvases and signal sequences that every build of the module must
 * render to the same pixels. Plain C so that test hosts on every platform can share them.
 *
 * Each scenario starts from a freshly loaded module (its random source at its load state),
 * calls init once, then renders `frames` frames into one buffer of height * pitch words that
 * starts filled with 0xDEADBEEF (so spare words right of each row are checked too), calling
 * init again before frame `reinitAt` when reinitAt > 0.
 */
#ifndef NIMBRELLE_TEST_SCENARIOS_H
#define NIMBRELLE_TEST_SCENARIOS_H

#include <stdint.h>

#include "nimbrelle/module.h"

#ifdef __cplusplus
extern "C" {
#endif

enum ScenarioSignal {
    SignalSilent = 0,   /* every level 0 */
    SignalLoud = 1,     /* every level 255 */
    SignalChanging = 2  /* a deterministic pattern that changes every frame */
};

typedef struct Scenario {
    const char *name;
    int32_t width, height, pitch;
    int32_t frames;
    int32_t reinitAt;
    int32_t signal;
} Scenario;

extern const Scenario Scenarios[];
extern const int ScenarioCount;

/* The signal of frame `frame` (0-based) of a scenario. */
void FillScenarioFrame(FrameData *fd, int32_t signal, int32_t frame);

/* Called after each rendered frame with the whole buffer (height * pitch words). */
typedef void (*ScenarioFrameFn)(void *context, int32_t frame, const uint32_t *buffer);

/* Runs a scenario through a loaded module's descriptor into `buffer` (height * pitch words).
 * Returns 0 on success, or the 1-based frame whose render was refused, or -1 if init failed. */
int RunScenario(const ModuleDescriptor *module, const Scenario *s, uint32_t *buffer,
                ScenarioFrameFn onFrame, void *context);

/* FNV-1a (64 bits) over `words` 32-bit words taken as little-endian bytes. */
uint64_t HashWords(const uint32_t *words, uint64_t count, uint64_t hash);
#define HASH_START 0xcbf29ce484222325ull

#ifdef __cplusplus
}
#endif

#endif
