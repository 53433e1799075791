// The samples-to-FrameData route per frame: the analysis of a full window (two 512-point
// spectra), and a frame of a stream at 48 kHz and 60 fps (800 new samples pushed, then the
// record). Link with benchmark_main.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "nimbrelle/analysis.h"

namespace {

using namespace nimbrelle::analysis;

std::vector<float> Noise(std::size_t count)
{
    std::vector<float> samples(count);
    uint32_t state = 1;
    for (float& s : samples) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<float>(static_cast<double>(state >> 8) / 16777216.0 - 0.5);
    }
    return samples;
}

void BM_AnalyseWindow(benchmark::State& state)
{
    const std::vector<float> samples = Noise(2 * WindowSize);
    SampleHistory history;
    history.Push(samples.data(), WindowSize, 2);
    Analyser analyser;
    FrameData record{};
    for (auto _ : state) {
        analyser.Analyse(history, 0, record);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_AnalyseWindow);

void BM_StreamFrame(benchmark::State& state)
{
    constexpr std::size_t PerFrame = 800;
    const std::vector<float> samples = Noise(2 * PerFrame * 64);
    SampleHistory history;
    Analyser analyser;
    FrameData record{};
    std::size_t frame = 0;
    for (auto _ : state) {
        history.Push(samples.data() + 2 * PerFrame * (frame++ % 64), PerFrame, 2);
        analyser.Analyse(history, 0, record);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_StreamFrame);

}  // namespace
