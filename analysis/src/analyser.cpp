#include "nimbrelle/analysis/analyser.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "fft.h"

namespace nimbrelle::analysis {

namespace {

// Magnitude of a full-scale sine centred on a bin after the periodic Hann window: the
// window's sum (WindowSize / 2) split between the positive and negative frequency.
constexpr double FullScaleMagnitude = WindowSize / 4.0;

}  // namespace

uint8_t WaveformLevel(float sample)
{
    const double magnitude = std::fabs(static_cast<double>(sample));
    if (!(magnitude > 0.0)) return 0;  // zero and NaN
    if (magnitude >= 1.0) return 255;
    return static_cast<uint8_t>(std::lround(magnitude * 255.0));
}

uint8_t SpectrumLevel(double decibels)
{
    if (!(decibels > SpectrumFloorDb)) return 0;  // below the floor, -inf and NaN
    if (decibels >= 0.0) return 255;
    return static_cast<uint8_t>(std::lround((decibels - SpectrumFloorDb) / -SpectrumFloorDb * 255.0));
}

Analyser::Analyser(float gain) : fft_(std::make_unique<RealFft>()), gain_(gain)
{
    for (int i = 0; i < WindowSize; ++i) {
        window_[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / WindowSize));
    }
}

Analyser::~Analyser() = default;

void Analyser::AnalyseChannel(std::span<const float, WindowSize> samples, uint8_t* waveform, uint8_t* spectrum)
{
    const double gain = gain_;
    bool silent = true;
    for (std::size_t i = 0; i < WindowSize; ++i) {
        const auto s = static_cast<float>(static_cast<double>(samples[i]) * gain);
        const bool finite = std::isfinite(s);
        waveform[i] = WaveformLevel(finite ? s : 0.0f);
        windowed_[i] = finite ? static_cast<float>(static_cast<double>(s) * static_cast<double>(window_[i])) : 0.0f;
        if (s != 0.0f) silent = false;
    }
    if (silent) {
        std::fill_n(spectrum, SpectrumBins, uint8_t{0});
        return;
    }
    Spectrum bins;
    fft_->Forward(windowed_.data(), bins);
    for (std::size_t k = 0; k < SpectrumBins; ++k) {
        const double re = bins[2 * k], im = bins[2 * k + 1];
        const double magnitude = std::sqrt(re * re + im * im);
        const double decibels = magnitude > 0.0 ? 20.0 * std::log10(magnitude / FullScaleMagnitude) : -HUGE_VAL;
        spectrum[k] = SpectrumLevel(decibels);
    }
}

void Analyser::Analyse(std::span<const float, WindowSize> left, std::span<const float, WindowSize> right,
                       uint32_t milliseconds, FrameData& out)
{
    out.leading = milliseconds;
    AnalyseChannel(left, out.blockA[0], out.blockB[0]);
    AnalyseChannel(right, out.blockA[1], out.blockB[1]);
}

}  // namespace nimbrelle::analysis
