// Whole frames and the drawing primitives at common canvas sizes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "nimbrelle/module.h"
#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"

namespace {

using namespace nimbrelle;

FrameData Levels(uint8_t level)
{
    FrameData fd;
    std::memset(&fd, level, sizeof fd);
    return fd;
}

// args: width, height, signal level for every byte.
void BM_Frame(benchmark::State& state)
{
    const auto w = static_cast<int32_t>(state.range(0));
    const auto h = static_cast<int32_t>(state.range(1));
    const FrameData fd = Levels(static_cast<uint8_t>(state.range(2)));
    std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
    const ModuleDescriptor& d = *QueryModule();
    SetRandomState(1);
    d.init();
    for (auto _ : state) {
        d.render(pixels.data(), w, h, w, &fd);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Frame)
    ->Args({640, 480, 0})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 128})
    ->Args({1920, 1080, 255})
    ->Args({3840, 2160, 0})
    ->Args({3840, 2160, 128})
    ->Args({3840, 2160, 255})
    ->Unit(benchmark::kMillisecond);

void BM_Clear(benchmark::State& state)
{
    std::vector<uint32_t> pixels(3840 * 2160);
    BindCanvas(pixels.data(), 3840, 2160, 3840);
    for (auto _ : state) {
        ClearCanvas(0x22);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_Clear)->Unit(benchmark::kMicrosecond);

// One glow stamp of the given size, fully on a 4K canvas.
void BM_BlitGlow(benchmark::State& state)
{
    std::vector<uint32_t> pixels(3840 * 2160, 0x22);
    BindCanvas(pixels.data(), 3840, 2160, 3840);
    const auto size = static_cast<float>(state.range(0));
    for (auto _ : state) {
        BlitGlow(1920, 1080, size, activeGlow, 0.75f);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.counters["px/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * size * size,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BlitGlow)->Arg(120)->Arg(1000)->Arg(1915)->Unit(benchmark::kMicrosecond);

// A line across a 4K canvas, and one that runs far past its unwatched edge.
void BM_FadeLine(benchmark::State& state)
{
    std::vector<uint32_t> pixels(3840 * 2160, 0x22);
    BindCanvas(pixels.data(), 3840, 2160, 3840);
    const bool offCanvas = state.range(0) != 0;
    for (auto _ : state) {
        if (offCanvas)
            DrawFadeLine(-40.0f, 1.0e6f, 1900.0f, 1000.0f, 382, 382, 255, 0, 0, 0);
        else
            DrawFadeLine(10.0f, 10.0f, 3800.0f, 2100.0f, 382, 382, 255, 0, 0, 0);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_FadeLine)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
