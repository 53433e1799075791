#include "nimbrelle/analysis/frame_plan.h"

#include <cmath>
#include <limits>

namespace nimbrelle::analysis {
namespace {

// Products of frame indices, sample rates and fraction terms can pass 2^63 for long audio.
__extension__ using Int128 = __int128;

}  // namespace

std::string FrameRate::ToString() const
{
    return den == 1 ? std::to_string(num) : std::to_string(num) + "/" + std::to_string(den);
}

int64_t FrameStartSample(int64_t frame, int sampleRate, FrameRate fps)
{
    const Int128 product = static_cast<Int128>(frame) * sampleRate * fps.den;
    return static_cast<int64_t>(product / fps.num);
}

int64_t FrameCountFor(int64_t samples, int sampleRate, FrameRate fps)
{
    if (samples <= 0) return 0;
    const Int128 numerator = static_cast<Int128>(samples) * fps.num;
    const Int128 denominator = static_cast<Int128>(sampleRate) * fps.den;
    return static_cast<int64_t>((numerator + denominator - 1) / denominator);
}

int64_t FrameAtSample(int64_t sample, int sampleRate, FrameRate fps)
{
    if (sample <= 0) return 0;
    // floor(n * rate * den / num) <= sample  <=>  n * rate * den < (sample + 1) * num.
    const Int128 numerator = (static_cast<Int128>(sample) + 1) * fps.num - 1;
    const Int128 denominator = static_cast<Int128>(sampleRate) * fps.den;
    return static_cast<int64_t>(numerator / denominator);
}

uint32_t SampleToMilliseconds(int64_t sample, int sampleRate)
{
    if (sample <= 0 || sampleRate <= 0) return 0;
    const Int128 ms = static_cast<Int128>(sample) * 1000 / sampleRate;
    constexpr auto Max = std::numeric_limits<uint32_t>::max();
    return ms > Max ? Max : static_cast<uint32_t>(ms);
}

int64_t SecondsToSamples(double seconds, int rate)
{
    return static_cast<int64_t>(std::llround(seconds * rate));
}

SampleSelection SelectSamples(int64_t length, int rate, double start, std::optional<double> duration)
{
    SampleSelection selection;
    selection.first = SecondsToSamples(start, rate);
    selection.end = length;
    if (selection.first >= length) {
        selection.status = SampleSelection::Status::StartPastEnd;
        return selection;
    }
    if (duration) {
        const int64_t wanted = SecondsToSamples(*duration, rate);
        if (wanted <= 0) {
            selection.status = SampleSelection::Status::TooShort;
            return selection;
        }
        selection.end = std::min(length, selection.first + wanted);
    }
    return selection;
}

FramePlan PlanUpTo(int64_t at, int rate, FrameRate fps)
{
    // FrameCountFor(at + 1) is the smallest N with FrameStartSample(N) > at, i.e. one more
    // than FrameAtSample(at).
    return FramePlan{0, at + 1, rate, fps};
}

}  // namespace nimbrelle::analysis
