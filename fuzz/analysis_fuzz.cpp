// Feeds the samples-to-FrameData route any samples (NaN, infinities and 3e38 included), any
// channel count, sample rate, frame rate and gain, through each of its three shapes: a frame
// of a signal in memory, the frame feed over an audio source, and a sample history fed in
// pieces. The sanitizers catch any undefined conversion; the checks catch frames that depend
// on more than the samples and the time.
//
// Input: channels, rate, fps and gain bytes, then the samples' raw bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nimbrelle/analysis/route.h"

namespace {

using namespace nimbrelle;
using namespace nimbrelle::analysis;

constexpr int Rates[] = {1, 8000, 22050, 44100, 48000, 96000, 384000, 1000000};
constexpr FrameRate FrameRates[] = {{1, 1}, {24, 1}, {30000, 1001}, {60, 1}, {1000, 1}};
constexpr float Gains[] = {0.0f, 1.0f, 2.5f, 1000.0f};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const int channels = 1 + data[0] % 8;
    const int rate = Rates[data[1] % std::size(Rates)];
    const FrameRate fps = FrameRates[data[2] % std::size(FrameRates)];
    const float gain = Gains[data[3] % std::size(Gains)];
    // Whole sample frames only: a source pads a partial last frame, a span in memory drops it.
    const std::size_t count = (size - 4) / sizeof(float) / static_cast<std::size_t>(channels);
    std::vector<float> samples(count * static_cast<std::size_t>(channels));
    if (!samples.empty()) std::memcpy(samples.data(), data + 4, samples.size() * sizeof(float));
    const auto length = static_cast<int64_t>(count);

    // The same frame through all three shapes must give the same bytes.
    Analyser analyser(gain);
    MemorySource source(samples, rate, "fuzz", channels);
    const FramePlan plan{0, std::max<int64_t>(1, length), rate, fps};
    FrameFeed feed(source, plan, gain);
    SampleHistory history;
    int64_t fed = 0;
    for (int64_t n = 0; n < std::min<int64_t>(plan.FrameCount(), 8); ++n) {
        FrameData whole{};
        AnalyseFrame(analyser, samples, channels, rate, fps, n, whole);
        const FrameData& fromFeed = feed.Frame(n);
        if (std::memcmp(&whole, &fromFeed, sizeof whole) != 0) std::abort();

        const int64_t start = plan.FrameStart(n);
        if (start > length) continue;
        history.Push(samples.data() + fed * channels, static_cast<std::size_t>(start - fed), channels);
        fed = start;
        FrameData pushed{};
        analyser.Analyse(history, plan.Milliseconds(n), pushed);
        if (std::memcmp(&whole, &pushed, sizeof whole) != 0) std::abort();
    }
    return 0;
}
