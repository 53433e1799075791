/*
 * Golden signals for the samples-to-FrameData route, shared by every front end's tests.
 *
 * Each signal is generated here without any maths library (a rotation recurrence for tones,
 * an integer generator for noise), so a WebAssembly build, a media-pipeline element and the
 * command-line host all feed the route the same samples. A front end proves it computes the
 * same records as the reference by, for every signal:
 *
 *   1. generating its samples with golden_generate (interleaved floats, `channels` per frame,
 *      at `rate`, starting at sample 0);
 *   2. computing the FrameData of frames n = 0 .. golden_frame_count - 1 at fps
 *      fps_num / fps_den with the signal's gain, frame n analysing the 512 samples before
 *      sample floor(n * rate * fps_den / fps_num) (silence before sample 0);
 *   3. hashing the records in frame order with golden_hash_record and comparing with `hash`.
 *
 * Compile with -ffp-contract=off (no fused multiply-adds), as the whole project is, or the
 * tones come out different. Plain C99, so C and C++ tests can include it.
 */
#ifndef NIMBRELLE_GOLDEN_SIGNALS_H
#define NIMBRELLE_GOLDEN_SIGNALS_H

#include <stddef.h>
#include <stdint.h>

#include "nimbrelle/module.h"

/* C casts are the only ones C has; C++ tests include this too. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

typedef enum GoldenKind { GOLDEN_TONE, GOLDEN_NOISE, GOLDEN_SILENCE, GOLDEN_CLIPPING } GoldenKind;

typedef struct GoldenSignal {
    const char *name;
    GoldenKind kind;
    int rate;
    int channels;
    int64_t frames;  /* sample frames */
    int64_t fps_num;
    int64_t fps_den;
    float gain;
    uint64_t hash;   /* FNV-1a 64 of every record, see golden_hash_record */
} GoldenSignal;

/*
 *   tone      stereo at 48 kHz: 1 kHz at half scale on the left, 440 Hz at quarter scale on the
 *             right, starting at phase 0; one second at 60 fps.
 *   noise     six channels at 44.1 kHz, each sample uniform in [-0.5, 0.5) from the seeded
 *             generator below (seed 20261209), so the mix of the extra channels counts; one
 *             second at 30000/1001 fps with gain 1.5.
 *   silence   stereo zeros at 48 kHz; half a second at 60 fps.
 *   clipping  mono at 48 kHz: 220 Hz at 2.5 times full scale, so the waveform saturates; one
 *             second at 25 fps.
 */
static const GoldenSignal golden_signals[] = {
    {"tone", GOLDEN_TONE, 48000, 2, 48000, 60, 1, 1.0f, 0x8ebebe10ccce7edfULL},
    {"noise", GOLDEN_NOISE, 44100, 6, 44100, 30000, 1001, 1.5f, 0xa54a12622873a983ULL},
    {"silence", GOLDEN_SILENCE, 48000, 2, 24000, 60, 1, 1.0f, 0x8ff4be7b93070bdfULL},
    {"clipping", GOLDEN_CLIPPING, 48000, 1, 48000, 25, 1, 1.0f, 0x41625ff936c7422eULL},
};
#define GOLDEN_SIGNAL_COUNT (sizeof golden_signals / sizeof golden_signals[0])

/* A sine by rotation: (c, s) turns by the angle whose cosine and sine are given. */
typedef struct GoldenOscillator {
    double c, s, step_cos, step_sin;
} GoldenOscillator;

static inline GoldenOscillator golden_oscillator(double step_cos, double step_sin)
{
    GoldenOscillator o = {1.0, 0.0, step_cos, step_sin};
    return o;
}

static inline double golden_next(GoldenOscillator *o)
{
    const double value = o->s;
    const double a = o->c * o->step_cos;
    const double b = o->s * o->step_sin;
    const double d = o->s * o->step_cos;
    const double e = o->c * o->step_sin;
    o->c = a - b;
    o->s = d + e;
    return value;
}

/* xorshift64*: the private seeded generator of the noise signal. */
static inline uint64_t golden_random(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545F4914F6CDD1DULL;
}

/* The number of samples golden_generate writes: frames * channels. */
static inline size_t golden_sample_count(const GoldenSignal *g)
{
    return (size_t)g->frames * (size_t)g->channels;
}

/* Writes the signal's golden_sample_count(g) interleaved samples to `out`. */
static inline void golden_generate(const GoldenSignal *g, float *out)
{
    /* cos and sin of 2 pi f / 48000 for f = 1000, 440 and 220 Hz. */
    GoldenOscillator left = golden_oscillator(0.9914448613738104, 0.13052619222005157);
    GoldenOscillator right = golden_oscillator(0.9983418166140283, 0.057564026959567284);
    GoldenOscillator low = golden_oscillator(0.9995853681937397, 0.02879395236826347);
    uint64_t state = 20261209u;
    const size_t count = golden_sample_count(g);
    for (size_t i = 0; i < count; ++i) {
        switch (g->kind) {
        case GOLDEN_TONE:
            out[i] = (float)((i % 2 == 0 ? 0.5 * golden_next(&left) : 0.25 * golden_next(&right)));
            break;
        case GOLDEN_NOISE:
            /* 24 random bits scaled exactly into [-0.5, 0.5). */
            out[i] = (float)((double)(golden_random(&state) >> 40) / 16777216.0 - 0.5);
            break;
        case GOLDEN_SILENCE:
            out[i] = 0.0f;
            break;
        case GOLDEN_CLIPPING:
            out[i] = (float)(2.5 * golden_next(&low));
            break;
        }
    }
}

/* Frames at the signal's fps covering all of it: the smallest N whose first sample is at or
 * past the end. */
static inline int64_t golden_frame_count(const GoldenSignal *g)
{
    const int64_t numerator = g->frames * g->fps_num;
    const int64_t denominator = (int64_t)g->rate * g->fps_den;
    return (numerator + denominator - 1) / denominator;
}

#define GOLDEN_HASH_START 0xcbf29ce484222325ULL

/* Adds one record to an FNV-1a 64 hash started at GOLDEN_HASH_START: `leading` as four
 * little-endian bytes, then blockA and blockB as they lie in the record. */
static inline uint64_t golden_hash_record(uint64_t hash, const FrameData *record)
{
    const uint64_t prime = 0x100000001b3ULL;
    for (int i = 0; i < 4; ++i) hash = (hash ^ ((record->leading >> (8 * i)) & 0xFFu)) * prime;
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < 512; ++k) hash = (hash ^ record->blockA[c][k]) * prime;
    }
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < 256; ++k) hash = (hash ^ record->blockB[c][k]) * prime;
    }
    return hash;
}

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif /* NIMBRELLE_GOLDEN_SIGNALS_H */
