/*
 * nimbrelle/module.h - the boundary between a host and a Nimbrelle visualisation module.
 *
 * A module is a dynamic library (".svp" on 32-bit Windows, ".so" on Linux) that exports
 * exactly one function, QueryModule. A host uses it like this:
 *
 *     QueryModuleFn query = (QueryModuleFn)dlsym(lib, "QueryModule");   // or GetProcAddress
 *     const ModuleDescriptor *d = query();
 *     if (!d->init()) { ... the module could not build its scene ... }
 *     for (each frame) {
 *         FrameData fd;                        // fill blockA / blockB with levels 0-255
 *         d->render(pixels, width, height, pitch, &fd);
 *     }
 *
 * Every entry runs on the host's calling thread; the module keeps one unguarded scene, so a
 * host must never overlap two calls into the same loaded module. All entries use the C
 * calling convention (cdecl on 32-bit Windows: the caller removes the arguments).
 */
#ifndef NIMBRELLE_MODULE_H
#define NIMBRELLE_MODULE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define NIMBRELLE_CALL __cdecl
#else
#define NIMBRELLE_CALL
#endif

/* Marks the one exported symbol. Only the module's own build defines NIMBRELLE_BUILDING_MODULE. */
#if defined(NIMBRELLE_BUILDING_MODULE)
#if defined(_WIN32)
#define NIMBRELLE_EXPORT __declspec(dllexport)
#else
#define NIMBRELLE_EXPORT __attribute__((visibility("default")))
#endif
#else
#define NIMBRELLE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One frame's signal levels, owned by the host. The module reads it only during the
 * ModuleRender call that receives it and never writes it. 1540 bytes, no padding.
 *
 * The module reads blockA[c][0..3] and blockB[c][0..3] of both channels (the frame's energy,
 * which sizes the glows), blockA[0][k] for the twenty launch indices 0, 25, 51, ... 486 (the
 * fountain's launch strengths) and blockB[0][2] (the burst's length and brightness). Nothing
 * past byte 1287 is read.
 *
 * The reference host fills it from the 512 samples of each channel just before the frame's
 * first sample (frame n of a render starts at sample floor(n * rate / fps)):
 *   leading    the frame's time in milliseconds since the start of the audio,
 *              floor(sample * 1000 / rate);
 *   blockA     per channel, the waveform: round(min(1, |sample|) * 255) for each of the 512
 *              samples, oldest first (silence before the start of the audio);
 *   blockB     per channel, the spectrum: bins 0-255 of a periodic-Hann-windowed 512-point
 *              FFT, bin k centred on k * rate / 512 Hz. Each magnitude is taken in dB relative
 *              to a full-scale sine centred on a bin and mapped linearly from -90 dB (0) to
 *              0 dB (255): a full-scale sine reads 255 in its bin, one at -30 dBFS 170.
 *   Silence gives all zeros. The host's --gain multiplies the samples before both measures.
 * Other hosts may put any levels 0-255 there; the module treats them as plain levels.
 */
typedef struct FrameData {
    uint32_t leading;          /* host-defined; never read by the module */
    uint8_t blockA[2][512];    /* bytes 4-1027: channel c, index k at byte 4 + 512c + k */
    uint8_t blockB[2][256];    /* bytes 1028-1539: channel c, index k at byte 1028 + 256c + k */
} FrameData;

/* Builds the scene. Nonzero: ready to render. 0: the scene could not be built (out of
 * memory); ModuleRender then refuses frames until a later ModuleInit succeeds. May be called
 * again between frames: each call draws a new scene and restarts the scene clock. */
typedef int32_t(NIMBRELLE_CALL *ModuleInitFn)(void);

/* Draws one frame into the host's buffer and advances the scene clock.
 *   pixels     host-owned 0x00RRGGBB words; pixel (x, y) is pixels[y * pitch + x]. Read and
 *              written only during this call. Every pixel with 0 <= x < width and
 *              0 <= y < height must lie inside the buffer.
 *   width, height  visible size in pixels; zero or negative draws nothing.
 *   pitch      pixels (not bytes) from one row to the next; may be negative for a
 *              bottom-up buffer.
 *   frameData  host-owned, read-only, valid during this call.
 * Returns 1 when the frame was drawn, 0 when it was refused (a null argument, or no
 * successful ModuleInit yet); a refused frame leaves the buffer and the scene untouched. */
typedef int32_t(NIMBRELLE_CALL *ModuleRenderFn)(uint32_t *pixels, int32_t width, int32_t height,
                                                int32_t pitch, const FrameData *frameData);

/* The two auxiliary entries: they do nothing and return 1. A host may pass arguments of its
 * own; under the C calling convention the caller removes them and the module ignores them. */
typedef int32_t(NIMBRELLE_CALL *ModuleAuxFn)(void);

/*
 * The constant record QueryModule returns. It is static data of the module: valid, unchanged
 * and at the same address for as long as the library stays loaded; the host must not write
 * it or free it. On 32-bit targets it is seven 32-bit words (28 bytes); on 64-bit targets
 * the address fields are pointer-wide with natural alignment.
 */
typedef struct ModuleDescriptor {
    int32_t leadWord;            /* always 0 */
    const char *displayName;     /* NUL-terminated ASCII, static: "Pelkin :: Nimbrelle Calvex" */
    int32_t hostWord;            /* always 7 */
    ModuleInitFn init;           /* ModuleInit */
    ModuleRenderFn render;       /* ModuleRender */
    ModuleAuxFn auxEntryA;       /* ModuleStub */
    ModuleAuxFn auxEntryB;       /* ModuleStub, the same function as auxEntryA */
} ModuleDescriptor;

/* The type of the one exported function, for dlsym / GetProcAddress. */
typedef const ModuleDescriptor *(NIMBRELLE_CALL *QueryModuleFn)(void);

/* Returns the module's descriptor; no side effects, the same address on every call. */
NIMBRELLE_EXPORT const ModuleDescriptor *NIMBRELLE_CALL QueryModule(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(FrameData) == 1540, "FrameData must be 1540 bytes");
static_assert(offsetof(FrameData, blockA) == 4, "blockA starts at byte 4");
static_assert(offsetof(FrameData, blockB) == 1028, "blockB starts at byte 1028");
static_assert(sizeof(void *) != 4 || sizeof(ModuleDescriptor) == 28,
              "the descriptor is seven 32-bit words on 32-bit targets");
#else
_Static_assert(sizeof(FrameData) == 1540, "FrameData must be 1540 bytes");
_Static_assert(offsetof(FrameData, blockA) == 4, "blockA starts at byte 4");
_Static_assert(offsetof(FrameData, blockB) == 1028, "blockB starts at byte 1028");
_Static_assert(sizeof(void *) != 4 || sizeof(ModuleDescriptor) == 28,
               "the descriptor is seven 32-bit words on 32-bit targets");
#endif

#endif /* NIMBRELLE_MODULE_H */
