/*
 * The samples-to-FrameData route as a C interface, for front ends that call it from C or
 * across a language boundary (a media-pipeline element, WebAssembly exports).
 *
 *   Streaming: create an analyser, push samples as they arrive, and take a record whenever a
 *   frame starts:
 *
 *       NimbrelleAnalyser *a = nimbrelle_analyser_create(1.0f);
 *       nimbrelle_analyser_push(a, samples, frames, channels);   // as often as samples come
 *       nimbrelle_analyser_record(a, nimbrelle_sample_milliseconds(sample, rate), &record);
 *       nimbrelle_analyser_destroy(a);
 *
 *   In memory: nimbrelle_analyser_frame fills the record of frame n of a whole signal.
 *
 * Channels: 1 feeds both sides; more than 2 are mixed down (see docs/host.md). Invalid
 * arguments (null pointers, no channels, rates of zero or less, frame-rate terms outside 1 to
 * 2^31 - 1) write nothing and return 0 where a result is returned. One analyser serves one thread at a time.
 */
#ifndef NIMBRELLE_ANALYSIS_C_H
#define NIMBRELLE_ANALYSIS_C_H

#include <stddef.h>
#include <stdint.h>

#include "nimbrelle/module.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NimbrelleAnalyser NimbrelleAnalyser;

/* A new analyser holding silence; NULL when memory ran out. `gain` multiplies the samples. */
NimbrelleAnalyser *nimbrelle_analyser_create(float gain);
void nimbrelle_analyser_destroy(NimbrelleAnalyser *analyser);

/* Appends `frames` interleaved frames of `channels` channels to the latest 512 samples. */
void nimbrelle_analyser_push(NimbrelleAnalyser *analyser, const float *interleaved, size_t frames, int channels);
/* Appends `frames` frames of silence (nothing arrived); clear forgets everything pushed. */
void nimbrelle_analyser_push_silence(NimbrelleAnalyser *analyser, size_t frames);
void nimbrelle_analyser_clear(NimbrelleAnalyser *analyser);

/* The record of the latest 512 samples, with `leading` = milliseconds. */
void nimbrelle_analyser_record(NimbrelleAnalyser *analyser, uint32_t milliseconds, FrameData *out);

/* The record of frame `frame` at fps_num / fps_den frames per second of `interleaved`
 * (`frames` frames of `channels` channels at `rate`, starting at sample 0). Leaves the
 * streaming samples alone. */
void nimbrelle_analyser_frame(NimbrelleAnalyser *analyser, const float *interleaved, size_t frames, int channels,
                              int rate, int64_t fps_num, int64_t fps_den, int64_t frame, FrameData *out);

/* Frame timing: frame n starts at sample floor(n * rate * fps_den / fps_num); the number of
 * frames covering `samples` samples; a sample's time in milliseconds, floor(sample * 1000 /
 * rate). */
int64_t nimbrelle_frame_start_sample(int64_t frame, int rate, int64_t fps_num, int64_t fps_den);
int64_t nimbrelle_frame_count(int64_t samples, int rate, int64_t fps_num, int64_t fps_den);
uint32_t nimbrelle_sample_milliseconds(int64_t sample, int rate);

/* The sample rates front ends accept audio at, in Hz: MinSampleRate and MaxSampleRate of
 * nimbrelle/analysis/frame_plan.h (8000 and 1000000), where the choice is explained. */
int nimbrelle_min_sample_rate(void);
int nimbrelle_max_sample_rate(void);

#ifdef __cplusplus
}
#endif

#endif /* NIMBRELLE_ANALYSIS_C_H */
