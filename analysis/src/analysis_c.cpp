// The C interface: thin wrappers that check their arguments, so no input from another
// language can reach undefined behaviour in the route.
#include "nimbrelle/analysis_c.h"

#include <limits>
#include <new>
#include <span>

#include "nimbrelle/analysis.h"

using namespace nimbrelle::analysis;

struct NimbrelleAnalyser {
    explicit NimbrelleAnalyser(float gain) : analyser(gain) {}
    Analyser analyser;
    SampleHistory history;
};

namespace {

// A sample rate and frame rate the timing functions can divide by and multiply without
// overflow: all positive, the fraction's terms within 32 bits (it need not be reduced).
bool ValidRate(int rate, int64_t fpsNum, int64_t fpsDen)
{
    constexpr int64_t Limit = std::numeric_limits<int32_t>::max();
    return rate > 0 && fpsNum > 0 && fpsDen > 0 && fpsNum <= Limit && fpsDen <= Limit;
}

}  // namespace

extern "C" {

NimbrelleAnalyser* nimbrelle_analyser_create(float gain)
{
#if defined(__cpp_exceptions)
    try {
        return new NimbrelleAnalyser(gain);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
#else
    return new (std::nothrow) NimbrelleAnalyser(gain);
#endif
}

void nimbrelle_analyser_destroy(NimbrelleAnalyser* analyser)
{
    delete analyser;
}

void nimbrelle_analyser_push(NimbrelleAnalyser* analyser, const float* interleaved, size_t frames, int channels)
{
    if (analyser == nullptr || interleaved == nullptr || channels < 1) return;
    analyser->history.Push(interleaved, frames, channels);
}

void nimbrelle_analyser_push_silence(NimbrelleAnalyser* analyser, size_t frames)
{
    if (analyser != nullptr) analyser->history.PushSilence(frames);
}

void nimbrelle_analyser_clear(NimbrelleAnalyser* analyser)
{
    if (analyser != nullptr) analyser->history.Clear();
}

void nimbrelle_analyser_record(NimbrelleAnalyser* analyser, uint32_t milliseconds, FrameData* out)
{
    if (analyser == nullptr || out == nullptr) return;
    analyser->analyser.Analyse(analyser->history, milliseconds, *out);
}

void nimbrelle_analyser_frame(NimbrelleAnalyser* analyser, const float* interleaved, size_t frames, int channels,
                              int rate, int64_t fps_num, int64_t fps_den, int64_t frame, FrameData* out)
{
    if (analyser == nullptr || out == nullptr || (interleaved == nullptr && frames > 0) || channels < 1 ||
        frame < 0 || !ValidRate(rate, fps_num, fps_den)) {
        return;
    }
    const std::span<const float> samples(interleaved, frames * static_cast<size_t>(channels));
    AnalyseFrame(analyser->analyser, samples, channels, rate, FrameRate{fps_num, fps_den}, frame, *out);
}

int64_t nimbrelle_frame_start_sample(int64_t frame, int rate, int64_t fps_num, int64_t fps_den)
{
    if (!ValidRate(rate, fps_num, fps_den)) return 0;
    return FrameStartSample(frame, rate, FrameRate{fps_num, fps_den});
}

int64_t nimbrelle_frame_count(int64_t samples, int rate, int64_t fps_num, int64_t fps_den)
{
    if (!ValidRate(rate, fps_num, fps_den)) return 0;
    return FrameCountFor(samples, rate, FrameRate{fps_num, fps_den});
}

uint32_t nimbrelle_sample_milliseconds(int64_t sample, int rate)
{
    return SampleToMilliseconds(sample, rate);
}

int nimbrelle_min_sample_rate(void)
{
    return MinSampleRate;
}

int nimbrelle_max_sample_rate(void)
{
    return MaxSampleRate;
}

}  // extern "C"
