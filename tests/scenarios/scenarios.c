#include "scenarios.h"

#include <string.h>

const Scenario Scenarios[] = {
    {"silent_320x240", 320, 240, 320, 8, 0, SignalSilent},
    {"loud_320x240", 320, 240, 320, 8, 0, SignalLoud},
    {"changing_320x240", 320, 240, 320, 60, 30, SignalChanging},
    {"silent_641x479_pitch700", 641, 479, 700, 8, 0, SignalSilent},
    {"loud_641x479_pitch700", 641, 479, 700, 8, 0, SignalLoud},
    {"changing_641x479_pitch700", 641, 479, 700, 60, 30, SignalChanging},
};
const int ScenarioCount = (int)(sizeof Scenarios / sizeof Scenarios[0]);

void FillScenarioFrame(FrameData *fd, int32_t signal, int32_t frame)
{
    memset(fd, 0, sizeof *fd);
    fd->leading = (uint32_t)frame;
    if (signal == SignalLoud) {
        memset(fd->blockA, 255, sizeof fd->blockA);
        memset(fd->blockB, 255, sizeof fd->blockB);
    } else if (signal == SignalChanging) {
        /* A beat every 8 frames over a slowly rising floor, different in each channel. */
        const uint32_t f = (uint32_t)frame;
        const uint32_t beat = (f % 8u == 0u) ? 120u : 0u;
        for (uint32_t c = 0; c < 2; ++c) {
            for (uint32_t k = 0; k < 512; ++k)
                fd->blockA[c][k] = (uint8_t)((k * 7u + f * 13u + c * 50u + beat) % 256u);
            for (uint32_t k = 0; k < 256; ++k)
                fd->blockB[c][k] = (uint8_t)((k * 3u + f * 29u + c * 71u + beat) % 256u);
        }
    }
}

int RunScenario(const ModuleDescriptor *module, const Scenario *s, uint32_t *buffer,
                ScenarioFrameFn onFrame, void *context)
{
    FrameData fd;
    int32_t frame;
    size_t i, words = (size_t)s->height * (size_t)s->pitch;
    for (i = 0; i < words; ++i) buffer[i] = 0xDEADBEEFu;
    if (!module->init()) return -1;
    for (frame = 0; frame < s->frames; ++frame) {
        if (s->reinitAt > 0 && frame == s->reinitAt && !module->init()) return -1;
        FillScenarioFrame(&fd, s->signal, frame);
        if (module->render(buffer, s->width, s->height, s->pitch, &fd) != 1) return frame + 1;
        if (onFrame) onFrame(context, frame, buffer);
    }
    return 0;
}

uint64_t HashWords(const uint32_t *words, uint64_t count, uint64_t hash)
{
    uint64_t i;
    int b;
    for (i = 0; i < count; ++i) {
        for (b = 0; b < 4; ++b) {
            hash ^= (words[i] >> (8 * b)) & 0xFFu;
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}
