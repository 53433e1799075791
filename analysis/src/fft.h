// The one place that knows which FFT library computes the spectrum (KissFFT, compiled in from
// its sources with exact floating point, see analysis/CMakeLists.txt). Everything else sees a
// 512-point real forward transform.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "nimbrelle/analysis/samples.h"

namespace nimbrelle::analysis {

// Bins 0 .. WindowSize / 2 of the unscaled forward transform, as (real, imaginary) pairs.
using Spectrum = std::array<float, 2 * (WindowSize / 2 + 1)>;

class RealFft {
public:
    RealFft();
    // Transforms WindowSize real samples.
    void Forward(const float* samples, Spectrum& out);

private:
    std::vector<std::max_align_t> state_;  // the library's plan and scratch, in memory we own
    void* plan_ = nullptr;                  // points into state_'s heap block
};

}  // namespace nimbrelle::analysis
