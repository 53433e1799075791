// The frame table: whole frames through the module's real boundary (dlopen, QueryModule,
// render), each timed right after a plain fill of the same buffer, so that the ratio of the
// two holds up on a busy machine. Run for the module's fastest raster path and for its
// SSE2-only path (what the 32-bit x86 build relies on), chosen through NIMBRELLE_RASTER_PATH
// before each load.
//
// Counters: fill_ms and frame_ms are medians, ratio the median of the per-frame ratios. The
// long random run adds the 99th and 99.9th percentiles and the maximum of its frame times,
// and p999/p50 and max/p50; cpu_p999/p50 and cpu_max/p50 are the same for the thread's
// processor time per frame, which leaves out the time the frame's thread waited for the
// processor (on a shared machine the slowest wall-clock frames are mostly that).
// replay_p999/p50 and replay_max/p50 take each frame's fastest time over five runs of the same
// records through fresh loads of the module, which leaves out what the machine did to one run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrelle/analysis.h"
#include "fill.h"
#include "nimbrelle/loader.h"
#include "nimbrelle/module.h"

namespace {


using Clock = std::chrono::steady_clock;

// The module loaded afresh with the given raster path (a Shared load, so that the library
// leaves the process between paths and reads NIMBRELLE_RASTER_PATH again).
class Module {
public:
    explicit Module(const char* path)
    {
        ::setenv("NIMBRELLE_RASTER_PATH", path, 1);
        std::string error;
        module_ = nimbrelle::loader::Module::Open(NIMBRELLE_MODULE_PATH, nimbrelle::loader::Mode::Shared, &error);
        if (!module_ || !module_->Init(&error)) throw std::runtime_error(error);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module()
    {
        module_.reset();
        ::unsetenv("NIMBRELLE_RASTER_PATH");
    }
    const ::ModuleDescriptor& operator*() const { return module_->Descriptor(); }

private:
    std::unique_ptr<nimbrelle::loader::Module> module_;
};

// splitmix64, for reproducible random records.
struct Rng {
    uint64_t state;
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

FrameData RandomRecord(Rng& rng)
{
    FrameData fd;
    auto* bytes = reinterpret_cast<unsigned char*>(&fd);
    for (std::size_t i = 0; i < sizeof fd; i += 8) {
        const uint64_t v = rng.Next();
        std::memcpy(bytes + i, &v, std::min<std::size_t>(8, sizeof fd - i));
    }
    return fd;
}

// The built-in demo analysed at 60 frames a second, as the reference host does.
const std::vector<FrameData>& DemoRecords()
{
    static const std::vector<FrameData> records = [] {
        using namespace nimbrelle;
        const std::vector<float> samples = analysis::SynthesiseDemo(analysis::DemoSampleRate);
        const auto sampleFrames = static_cast<int64_t>(samples.size() / 2);
        const analysis::FrameRate fps{60, 1};
        analysis::Analyser analyser;
        std::vector<FrameData> out;
        for (int64_t n = 0; n * analysis::DemoSampleRate / 60 < sampleFrames; ++n) {
            FrameData fd;
            analysis::AnalyseFrame(analyser, samples, 2, analysis::DemoSampleRate, fps, n, fd);
            out.push_back(fd);
        }
        return out;
    }();
    return records;
}

enum Workload { Silence, Demo, Random, Loud };

// The record of frame n of a workload.
struct Records {
    Workload workload;
    Rng rng{0x5EED};
    FrameData fixed{};
    explicit Records(Workload w) : workload(w) { std::memset(&fixed, w == Loud ? 255 : 0, sizeof fixed); }
    FrameData Next(std::size_t n)
    {
        switch (workload) {
        case Demo: return DemoRecords()[n % DemoRecords().size()];
        case Random: return RandomRecord(rng);
        case Silence:
        case Loud: break;
        }
        return fixed;
    }
};

// FNV-1a over the pixels.
uint64_t PixelsHash(const std::vector<uint32_t>& pixels)
{
    uint64_t h = 0xCBF29CE484222325ull;
    for (const uint32_t p : pixels) h = (h ^ p) * 0x100000001B3ull;
    return h;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Processor time of this thread, in milliseconds.
double ThreadMilliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

constexpr int WarmUpFrames = 30;
constexpr int ReplayPasses = 5;

// args: width, height, workload, path (0 fastest, 1 SSE2), percentiles (0/1).
void BM_FrameToFill(benchmark::State& state)
{
    const auto width = static_cast<int32_t>(state.range(0));
    const auto height = static_cast<int32_t>(state.range(1));
    Records records(static_cast<Workload>(state.range(2)));
    auto module = std::make_unique<Module>(state.range(3) == 0 ? "simd" : "sse2");
    std::vector<uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::size_t n = 0;
    for (; n < WarmUpFrames; ++n) {
        nimbrelle::bench::FillWords(pixels, 0x22);
        const FrameData fd = records.Next(n);
        (**module).render(pixels.data(), width, height, width, &fd);
    }
    std::vector<double> fills, frames, ratios, cpuFrames;
    for (auto _ : state) {
        const FrameData fd = records.Next(n++);
        const auto t0 = Clock::now();
        nimbrelle::bench::FillWords(pixels, 0x22);
        benchmark::ClobberMemory();
        const double cpu0 = ThreadMilliseconds();
        const auto t1 = Clock::now();
        (**module).render(pixels.data(), width, height, width, &fd);
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        cpuFrames.push_back(ThreadMilliseconds() - cpu0);
        fills.push_back(Milliseconds(t1 - t0));
        frames.push_back(Milliseconds(t2 - t1));
        ratios.push_back(frames.back() / fills.back());
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
    }
    const double p50 = Percentile(frames, 0.5);
    state.counters["fill_ms"] = Percentile(fills, 0.5);
    state.counters["frame_ms"] = p50;
    state.counters["ratio"] = Percentile(ratios, 0.5);
    if (state.range(4) != 0) {
        // The same records replayed through fresh loads of the module: each frame's fastest
        // time over the passes leaves out what the machine did to one pass (an interrupt, a
        // neighbour's burst), and what remains is the frames' own spread.
        // The module is unloaded first, so that each pass starts from a freshly loaded one.
        const uint64_t lastFrame = PixelsHash(pixels);
        module.reset();
        std::vector<double> fastest = frames;
        for (int pass = 1; pass < ReplayPasses; ++pass) {
            Records replay(static_cast<Workload>(state.range(2)));
            const Module again(state.range(3) == 0 ? "simd" : "sse2");
            for (std::size_t k = 0; k < WarmUpFrames + fastest.size(); ++k) {
                const FrameData fd = replay.Next(k);
                nimbrelle::bench::FillWords(pixels, 0x22);
                benchmark::ClobberMemory();
                const auto t1 = Clock::now();
                (*again).render(pixels.data(), width, height, width, &fd);
                benchmark::ClobberMemory();
                const auto t2 = Clock::now();
                if (k >= WarmUpFrames) fastest[k - WarmUpFrames] = std::min(fastest[k - WarmUpFrames], Milliseconds(t2 - t1));
            }
            if (PixelsHash(pixels) != lastFrame) {
                state.SkipWithError("a replay drew other frames: the module was not loaded afresh");
                return;
            }
        }
        const double best50 = Percentile(fastest, 0.5);
        state.counters["replay_p999/p50"] = Percentile(fastest, 0.999) / best50;
        state.counters["replay_max/p50"] = Percentile(fastest, 1.0) / best50;
        state.counters["p99_ms"] = Percentile(frames, 0.99);
        state.counters["p999_ms"] = Percentile(frames, 0.999);
        state.counters["max_ms"] = Percentile(frames, 1.0);
        state.counters["p999/p50"] = Percentile(frames, 0.999) / p50;
        state.counters["max/p50"] = Percentile(frames, 1.0) / p50;
        const double cpu50 = Percentile(cpuFrames, 0.5);
        state.counters["cpu_p999/p50"] = Percentile(cpuFrames, 0.999) / cpu50;
        state.counters["cpu_max/p50"] = Percentile(cpuFrames, 1.0) / cpu50;
    }
}

void FrameTable(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"w", "h", "load", "sse2", "pct"});
    for (int64_t path : {0, 1}) {
        for (int64_t load : {Silence, Demo, Random, Loud}) {
            b->Args({1920, 1080, load, path, 0});
            b->Args({3840, 2160, load, path, 0});
        }
        b->Args({7680, 4320, Loud, path, 0});
    }
}

void PercentileRuns(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"w", "h", "load", "sse2", "pct"});
    for (int64_t path : {0, 1}) b->Args({1920, 1080, Random, path, 1});
}

// The processor's model name, for the context printed above the table.
std::string ProcessorModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

// load: 0 silence, 1 the demo, 2 random records, 3 every byte 255.
BENCHMARK(BM_FrameToFill)->Apply(FrameTable)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameToFill)->Apply(PercentileRuns)->Iterations(10000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("processor", ProcessorModel());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
