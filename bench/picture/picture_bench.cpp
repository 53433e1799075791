// The conversion of a frame for a background (nimbrelle/picture.h) against the module's frame
// itself, at 1920x1080 and 3840x2160: each iteration draws a frame through the loaded module
// and converts it right after, so that the ratio of the two holds up on a busy machine.
//
// Counters: frame_ms and convert_ms are medians over the iterations, ratio the median of the
// per-frame ratios convert / frame. BM_Reference is the plain per-pixel path, for the gain of
// the fast one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrelle/loader.h"
#include "nimbrelle/module.h"
#include "nimbrelle/picture.h"

namespace {

using Clock = std::chrono::steady_clock;
using nimbrelle::picture::Background;

class Module {
public:
    Module()
    {
        std::string error;
        module_ = nimbrelle::loader::Module::Open(NIMBRELLE_MODULE_PATH, nimbrelle::loader::Mode::Shared, &error);
        if (!module_ || !module_->Init(&error)) throw std::runtime_error(error);
    }
    const ::ModuleDescriptor& operator*() const { return module_->Descriptor(); }

private:
    std::unique_ptr<nimbrelle::loader::Module> module_;
};

double Median(std::vector<double> values)
{
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// args: width, height, level of every record byte, background.
void BM_FrameThenConvert(benchmark::State& state)
{
    const auto w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto background = static_cast<Background>(state.range(3));
    FrameData record;
    std::memset(&record, static_cast<int>(state.range(2)), sizeof record);
    const Module module;
    std::vector<uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h)), out(pixels.size());
    std::vector<double> frames, converts, ratios;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        (*module).render(pixels.data(), w, h, w, &record);
        const auto t1 = Clock::now();
        nimbrelle::picture::ConvertFrame(background, nimbrelle::picture::Order::Argb, pixels.data(), w, out.data(), w, w, h);
        benchmark::DoNotOptimize(out.data());
        const auto t2 = Clock::now();
        frames.push_back(Milliseconds(t1 - t0));
        converts.push_back(Milliseconds(t2 - t1));
        ratios.push_back(converts.back() / std::max(frames.back(), 1e-6));
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    state.counters["frame_ms"] = Median(frames);
    state.counters["convert_ms"] = Median(converts);
    state.counters["ratio"] = Median(ratios);
    state.SetLabel(nimbrelle::picture::BackgroundName(background));
}
BENCHMARK(BM_FrameThenConvert)
    ->ArgNames({"w", "h", "level", "bg"})
    ->ArgsProduct({{1920}, {1080}, {0, 255}, {1, 2}})
    ->ArgsProduct({{3840}, {2160}, {0, 255}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The per-pixel reference path over a loud 1920x1080 frame.
void BM_Reference(benchmark::State& state)
{
    const auto background = static_cast<Background>(state.range(0));
    FrameData record;
    std::memset(&record, 255, sizeof record);
    const Module module;
    std::vector<uint32_t> pixels(1920 * 1080), out(pixels.size());
    (*module).render(pixels.data(), 1920, 1080, 1920, &record);
    for (auto _ : state) {
        nimbrelle::picture::ConvertRowReference(background, nimbrelle::picture::Order::Argb, pixels.data(), out.data(),
                                                pixels.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(nimbrelle::picture::BackgroundName(background));
}
BENCHMARK(BM_Reference)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
