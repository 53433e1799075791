/* The golden signals through the C interface, from C: samples pushed in uneven chunks with a
 * record at each frame start, and one call per frame over the whole signal, must both hash to
 * the golden values. A template for front ends that reach the route through C. Prints each
 * mismatch and exits 1. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "golden_signals.h"
#include "nimbrelle/analysis_c.h"

static int CheckSignal(const GoldenSignal *g)
{
    const size_t count = golden_sample_count(g);
    float *samples = malloc(count * sizeof *samples);
    NimbrelleAnalyser *streaming = nimbrelle_analyser_create(g->gain);
    NimbrelleAnalyser *whole = nimbrelle_analyser_create(g->gain);
    if (samples == NULL || streaming == NULL || whole == NULL) {
        fprintf(stderr, "%s: out of memory\n", g->name);
        return 1;
    }
    golden_generate(g, samples);

    uint64_t pushedHash = GOLDEN_HASH_START, wholeHash = GOLDEN_HASH_START, chunks = 77;
    int64_t pushed = 0;
    const int64_t frames = nimbrelle_frame_count(g->frames, g->rate, g->fps_num, g->fps_den);
    FrameData record;
    for (int64_t n = 0; n < frames; ++n) {
        const int64_t start = nimbrelle_frame_start_sample(n, g->rate, g->fps_num, g->fps_den);
        while (pushed < start) {
            int64_t chunk = 1 + (int64_t)(golden_random(&chunks) % 1500);
            if (chunk > start - pushed) chunk = start - pushed;
            nimbrelle_analyser_push(streaming, samples + (size_t)pushed * (size_t)g->channels, (size_t)chunk,
                                    g->channels);
            pushed += chunk;
        }
        nimbrelle_analyser_record(streaming, nimbrelle_sample_milliseconds(start, g->rate), &record);
        pushedHash = golden_hash_record(pushedHash, &record);
        nimbrelle_analyser_frame(whole, samples, (size_t)g->frames, g->channels, g->rate, g->fps_num, g->fps_den, n,
                                 &record);
        wholeHash = golden_hash_record(wholeHash, &record);
    }
    int failed = 0;
    if (frames != golden_frame_count(g) || pushedHash != g->hash || wholeHash != g->hash) {
        fprintf(stderr, "%s: %lld frames, pushed 0x%016llx, whole 0x%016llx, expected 0x%016llx\n", g->name,
                (long long)frames, (unsigned long long)pushedHash, (unsigned long long)wholeHash,
                (unsigned long long)g->hash);
        failed = 1;
    }
    nimbrelle_analyser_destroy(streaming);
    nimbrelle_analyser_destroy(whole);
    free(samples);
    return failed;
}

int main(void)
{
    int failures = 0;
    for (size_t i = 0; i < GOLDEN_SIGNAL_COUNT; ++i) failures += CheckSignal(&golden_signals[i]);

    /* Arguments no caller should send are refused without touching anything. */
    NimbrelleAnalyser *a = nimbrelle_analyser_create(1.0f);
    FrameData untouched;
    memset(&untouched, 0xAB, sizeof untouched);
    const float one = 1.0f;
    nimbrelle_analyser_push(NULL, &one, 1, 1);
    nimbrelle_analyser_push(a, NULL, 1, 1);
    nimbrelle_analyser_push(a, &one, 1, 0);
    nimbrelle_analyser_record(NULL, 0, &untouched);
    nimbrelle_analyser_frame(a, &one, 1, 1, 48000, 0, 1, 0, &untouched);
    nimbrelle_analyser_frame(a, &one, 1, 1, 0, 60, 1, 0, &untouched);
    nimbrelle_analyser_frame(a, &one, 1, 1, 48000, 60, 1, -1, &untouched);
    nimbrelle_analyser_destroy(NULL);
    const unsigned char *bytes = (const unsigned char *)&untouched;
    for (size_t i = 0; i < sizeof untouched; ++i) {
        if (bytes[i] != 0xAB) {
            fprintf(stderr, "a refused call wrote byte %zu of the record\n", i);
            ++failures;
            break;
        }
    }
    if (nimbrelle_frame_start_sample(5, 48000, 60, 0) != 0 || nimbrelle_frame_count(100, -1, 60, 1) != 0) {
        fprintf(stderr, "timing with an invalid rate must give 0\n");
        ++failures;
    }
    /* Pushing nothing but refused samples left the analyser silent. */
    nimbrelle_analyser_record(a, 7, &untouched);
    if (untouched.leading != 7 || untouched.blockA[0][511] != 0) {
        fprintf(stderr, "refused pushes reached the samples\n");
        ++failures;
    }
    nimbrelle_analyser_destroy(a);
    return failures == 0 ? 0 : 1;
}
