/* Stand-in modules for the host's tests, built in several variants from this one file:
 *   FAKE_PROBE          render writes the bytes of the FrameData it receives into the blue
 *                       channel of the first 1540 pixels (pixel i = byte i), the rest black;
 *   FAKE_INIT_RESULT    what init returns (default 1);
 *   FAKE_RENDER_RESULT  what render returns (default 1);
 *   FAKE_NO_QUERY       exports something other than QueryModule;
 *   FAKE_SLOW_START     the first render takes a third of a second, as a scene being built
 *                       would;
 *   FAKE_RENDER_CRASHES render writes through a null pointer (SIGSEGV). */
#ifdef FAKE_SLOW_START
#define _POSIX_C_SOURCE 199309L
#include <time.h>
#endif
#include <string.h>

#include "nimbrelle/module.h"

#ifndef FAKE_INIT_RESULT
#define FAKE_INIT_RESULT 1
#endif
#ifndef FAKE_RENDER_RESULT
#define FAKE_RENDER_RESULT 1
#endif

static int32_t FakeInit(void)
{
    return FAKE_INIT_RESULT;
}

static int32_t FakeRender(uint32_t *pixels, int32_t width, int32_t height, int32_t pitch,
                          const FrameData *frameData)
{
    if (pixels == NULL || frameData == NULL) return 0;
#ifdef FAKE_SLOW_START
    {
        static int started = 0;
        if (!started) {
            const struct timespec third = {0, 333000000L};
            nanosleep(&third, NULL);
            started = 1;
        }
    }
#endif
#ifdef FAKE_PROBE
    {
        const unsigned char *bytes = (const unsigned char *)frameData;
        int32_t i = 0;
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x, ++i) {
                pixels[y * pitch + x] = i < (int32_t)sizeof(FrameData) ? bytes[i] : 0u;
            }
        }
    }
#else
    (void)width;
    (void)height;
    (void)pitch;
#endif
#ifdef FAKE_RENDER_CRASHES
    {
        /* Both volatile, so that the compiler keeps the load and the store. */
        volatile int32_t *volatile nowhere = NULL;
        *nowhere = 1;
    }
#endif
    return FAKE_RENDER_RESULT;
}

static int32_t FakeStub(void)
{
    return 1;
}

static const ModuleDescriptor FakeDescriptor = {
    0, "Fake test module", 7, FakeInit, FakeRender, FakeStub, FakeStub,
};

#ifdef FAKE_NO_QUERY
NIMBRELLE_EXPORT const ModuleDescriptor *NIMBRELLE_CALL DescribeSomethingElse(void);
NIMBRELLE_EXPORT const ModuleDescriptor *NIMBRELLE_CALL DescribeSomethingElse(void)
{
    return &FakeDescriptor;
}
#else
NIMBRELLE_EXPORT const ModuleDescriptor *NIMBRELLE_CALL QueryModule(void)
{
    return &FakeDescriptor;
}
#endif
