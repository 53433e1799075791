// From samples to FrameData: the levels a module receives for each frame.
//
//   leading     the frame's time in milliseconds since the start of the audio,
//               floor(sample * 1000 / rate) of the frame's first sample.
//   blockA[c]   the waveform: the latest 512 samples of channel c before the frame's first
//               sample, oldest first, each as round(min(1, |gain * sample|) * 255). Samples
//               before the start of the audio count as silence.
//   blockB[c]   the spectrum of the same 512 samples: a periodic Hann window, a 512-point real
//               FFT, and bins 0-255 (bin k centred on k * rate / 512 Hz). Each magnitude is
//               taken relative to the response of a full-scale sine centred on a bin (the
//               window's sum / 2 = 128), converted to dB and mapped linearly from
//               SpectrumFloorDb (level 0) to 0 dBFS (level 255), rounded and clamped. A
//               full-scale sine thus reads 255 in its bin (251-255 between bins), a sine at
//               -30 dBFS reads 170, and anything at or below -90 dBFS reads 0.
//   Silence gives all zeros. `gain` multiplies the samples before both measurements;
//   non-finite samples count as silence.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "nimbrelle/analysis/samples.h"
#include "nimbrelle/module.h"

namespace nimbrelle::analysis {

inline constexpr int SpectrumBins = 256;
inline constexpr double SpectrumFloorDb = -90.0;

// The waveform level of one sample (already multiplied by the gain).
uint8_t WaveformLevel(float sample);

// The spectrum level of one bin magnitude in dB relative to a full-scale sine.
uint8_t SpectrumLevel(double decibels);

class RealFft;

// Computes a frame's FrameData. Holds the FFT state and all work buffers, so Analyse
// allocates nothing; one Analyser serves one thread.
class Analyser {
public:
    explicit Analyser(float gain = 1.0f);
    ~Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // `left` and `right`: the latest WindowSize samples of each channel, oldest first.
    void Analyse(std::span<const float, WindowSize> left, std::span<const float, WindowSize> right,
                 uint32_t milliseconds, FrameData& out);
    void Analyse(const SampleHistory& history, uint32_t milliseconds, FrameData& out)
    {
        Analyse(history.Left(), history.Right(), milliseconds, out);
    }

    float Gain() const { return gain_; }

private:
    void AnalyseChannel(std::span<const float, WindowSize> samples, uint8_t* waveform, uint8_t* spectrum);

    std::unique_ptr<RealFft> fft_;
    float gain_;
    std::array<float, WindowSize> window_{};
    std::array<float, WindowSize> windowed_{};
};

}  // namespace nimbrelle::analysis
