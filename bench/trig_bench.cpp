// Sine/Cosine against the host libm's std::sin/std::cos on the scene's two kinds of argument:
// the large progression n * 5217.675159235669 (up to 1.7e8, Payne-Hanek reduction) and ordinary
// angles t*3.142/p (up to ~2.6e5, Cody-Waite reduction). Link with benchmark_main.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "camera/trig.h"

namespace {

std::vector<double> LargeArguments() {
    std::vector<double> args;
    for (int n = 0; n < 32768; ++n) args.push_back(static_cast<double>(n) * 5217.675159235669);
    return args;
}

std::vector<double> OrdinaryAngles() {
    std::vector<double> args;
    for (int i = 0; i < 32768; ++i) {
        const double t = static_cast<double>(3 * ((i * 7919) % 22'333'333));
        const double p = static_cast<double>(800 + (i * 31) % 1000);
        args.push_back(t * 3.142 / p);
    }
    return args;
}

double HostSine(double x) { return std::sin(x); }
double HostCosine(double x) { return std::cos(x); }

// Both contenders are called through a function pointer, so they pay the same call cost.
void Run(benchmark::State& state, double (*function)(double), const std::vector<double>& args) {
    for (auto _ : state) {
        double sum = 0.0;
        for (double x : args) sum += function(x);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(args.size()));
}

const std::vector<double> kLarge = LargeArguments();
const std::vector<double> kOrdinary = OrdinaryAngles();

BENCHMARK_CAPTURE(Run, Sine_large, nimbrelle::Sine, kLarge);
BENCHMARK_CAPTURE(Run, std_sin_large, HostSine, kLarge);
BENCHMARK_CAPTURE(Run, Cosine_large, nimbrelle::Cosine, kLarge);
BENCHMARK_CAPTURE(Run, std_cos_large, HostCosine, kLarge);
BENCHMARK_CAPTURE(Run, Sine_ordinary, nimbrelle::Sine, kOrdinary);
BENCHMARK_CAPTURE(Run, std_sin_ordinary, HostSine, kOrdinary);
BENCHMARK_CAPTURE(Run, Cosine_ordinary, nimbrelle::Cosine, kOrdinary);
BENCHMARK_CAPTURE(Run, std_cos_ordinary, HostCosine, kOrdinary);

}  // namespace
