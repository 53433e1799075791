#include "fft.h"

#include <kiss_fftr.h>

#include <cstring>

namespace nimbrelle::analysis {

static_assert(sizeof(kiss_fft_scalar) == sizeof(float), "KissFFT must be built for float samples");
static_assert(sizeof(kiss_fft_cpx) == 2 * sizeof(float));

RealFft::RealFft()
{
    std::size_t bytes = 0;
    kiss_fftr_alloc(WindowSize, 0, nullptr, &bytes);  // asks for the size only
    state_.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    bytes = state_.size() * sizeof(std::max_align_t);
    plan_ = kiss_fftr_alloc(WindowSize, 0, state_.data(), &bytes);
}

void RealFft::Forward(const float* samples, Spectrum& out)
{
    std::array<kiss_fft_cpx, WindowSize / 2 + 1> bins;
    kiss_fftr(static_cast<kiss_fftr_cfg>(plan_), samples, bins.data());
    std::memcpy(out.data(), bins.data(), sizeof bins);
}

}  // namespace nimbrelle::analysis
