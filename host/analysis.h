// From audio to FrameData: the levels a module receives for each frame.
//
//   leading     the frame's time in milliseconds since the start of the audio file (or demo),
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
//   Silence gives all zeros. `gain` multiplies the samples before both measurements.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio.h"
#include "nimbrelle/module.h"

namespace nimbrelle::host {

inline constexpr int WindowSize = 512;
inline constexpr int SpectrumBins = 256;
inline constexpr double SpectrumFloorDb = -90.0;

// The waveform level of one sample (already multiplied by the gain).
uint8_t WaveformLevel(float sample);

// The spectrum level of one bin magnitude in dB relative to a full-scale sine.
uint8_t SpectrumLevel(double decibels);

// Computes blockA and blockB of a frame. Holds the FFT plan and all work buffers, so
// Analyse allocates nothing.
class Analyser {
public:
    explicit Analyser(float gain = 1.0f);
    ~Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // `left` and `right`: the latest WindowSize samples of each channel, oldest first.
    void Analyse(std::span<const float, WindowSize> left, std::span<const float, WindowSize> right,
                 uint32_t milliseconds, FrameData& out);

    float Gain() const { return gain_; }

private:
    void AnalyseChannel(std::span<const float, WindowSize> samples, uint8_t* waveform,
                        uint8_t* spectrum);

    struct Plan;
    std::unique_ptr<Plan> plan_;
    float gain_;
    std::array<float, WindowSize> window_{};
    std::array<float, WindowSize> windowed_{};
};

// Reads an AudioSource forward and keeps the latest WindowSize samples of each channel, so
// the frame loop can ask for the window that ends at any later sample.
class SampleHistory {
public:
    // Starts at absolute sample `position` of `source`; the history before it is read from
    // the source where it exists and is silence before sample 0.
    SampleHistory(AudioSource& source, int64_t position);

    // Advances to absolute sample `position` (never backwards); samples past the end of the
    // source are silence.
    void AdvanceTo(int64_t position);

    int64_t Position() const { return position_; }
    std::span<const float, WindowSize> Left() const { return std::span<const float, WindowSize>(left_); }
    std::span<const float, WindowSize> Right() const { return std::span<const float, WindowSize>(right_); }

private:
    void Push(const float* interleaved, std::size_t frames);

    AudioSource& source_;
    int64_t position_ = 0;
    std::array<float, WindowSize> left_{};
    std::array<float, WindowSize> right_{};
    std::vector<float> block_;
};

}  // namespace nimbrelle::host
