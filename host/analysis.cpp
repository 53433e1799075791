#include "analysis.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "error.h"

namespace nimbrelle::host {

namespace {

constexpr std::size_t HistoryBlockFrames = 4096;

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

struct Analyser::Plan {
    kiss_fftr_cfg config = nullptr;
    std::array<kiss_fft_cpx, WindowSize / 2 + 1> bins{};
    Plan() : config(kiss_fftr_alloc(WindowSize, 0, nullptr, nullptr))
    {
        if (config == nullptr) throw Error("cannot allocate the FFT plan");
    }
    ~Plan() { kiss_fftr_free(config); }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
};

Analyser::Analyser(float gain) : plan_(std::make_unique<Plan>()), gain_(gain)
{
    for (int i = 0; i < WindowSize; ++i) {
        window_[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / WindowSize));
    }
}

Analyser::~Analyser() = default;

void Analyser::AnalyseChannel(std::span<const float, WindowSize> samples, uint8_t* waveform,
                              uint8_t* spectrum)
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
    kiss_fftr(plan_->config, windowed_.data(), plan_->bins.data());
    for (std::size_t k = 0; k < SpectrumBins; ++k) {
        const double re = plan_->bins[k].r, im = plan_->bins[k].i;
        const double magnitude = std::sqrt(re * re + im * im);
        const double decibels = magnitude > 0.0 ? 20.0 * std::log10(magnitude / FullScaleMagnitude)
                                                : -HUGE_VAL;
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

// ---------------------------------------------------------------- SampleHistory

SampleHistory::SampleHistory(AudioSource& source, int64_t position)
    : source_(source), block_(HistoryBlockFrames * 2)
{
    const int64_t from = std::max<int64_t>(0, position - WindowSize);
    position_ = from;
    source_.Seek(from);
    AdvanceTo(position);
}

void SampleHistory::AdvanceTo(int64_t position)
{
    while (position_ < position) {
        const auto want = static_cast<std::size_t>(
            std::min<int64_t>(position - position_, static_cast<int64_t>(HistoryBlockFrames)));
        std::size_t got = source_.Read(block_.data(), want);
        if (got < want) {
            std::fill(block_.begin() + static_cast<std::ptrdiff_t>(2 * got),
                      block_.begin() + static_cast<std::ptrdiff_t>(2 * want), 0.0f);
            got = want;
        }
        Push(block_.data(), got);
        position_ += static_cast<int64_t>(got);
    }
}

void SampleHistory::Push(const float* interleaved, std::size_t frames)
{
    constexpr std::size_t n = WindowSize;
    std::size_t skip = 0;
    if (frames >= n) {
        skip = frames - n;
    } else {
        // Keep the newest n - frames samples and append the new ones after them.
        std::copy(left_.begin() + static_cast<std::ptrdiff_t>(frames), left_.end(), left_.begin());
        std::copy(right_.begin() + static_cast<std::ptrdiff_t>(frames), right_.end(), right_.begin());
    }
    const std::size_t count = frames - skip;
    const std::size_t base = n - count;
    for (std::size_t i = 0; i < count; ++i) {
        left_[base + i] = interleaved[2 * (skip + i)];
        right_[base + i] = interleaved[2 * (skip + i) + 1];
    }
}

}  // namespace nimbrelle::host
