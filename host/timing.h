// Cutting audio into video frames. All positions are integers, so a render of any length
// stays locked to its sound: frame n starts at sample floor(n * rate / fps), which spreads the
// remainder of rate / fps over the frames instead of letting it accumulate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbrelle::host {

// Frames per second as an exact fraction, e.g. 60/1 or 30000/1001. Always reduced, den > 0.
struct FrameRate {
    int64_t num = 60;
    int64_t den = 1;
    double Value() const { return static_cast<double>(num) / static_cast<double>(den); }
    std::string ToString() const;  // "60" or "30000/1001", as ffmpeg accepts it
    friend bool operator==(const FrameRate&, const FrameRate&) = default;
};

inline constexpr int64_t MinFps = 1;
inline constexpr int64_t MaxFps = 1000;

// Parses "60", "29.97" (up to six decimals) or "30000/1001". Accepts 1 to 1000 frames per
// second; throws Error otherwise.
FrameRate ParseFrameRate(std::string_view text);

// First sample of frame n (relative to the first rendered sample): floor(n * rate / fps).
int64_t FrameStartSample(int64_t frame, int sampleRate, FrameRate fps);

// Number of frames needed to cover `samples` samples: the smallest N with
// FrameStartSample(N) >= samples.
int64_t FrameCountFor(int64_t samples, int sampleRate, FrameRate fps);

// Index of the frame whose interval holds `sample`: the largest n with
// FrameStartSample(n) <= sample.
int64_t FrameAtSample(int64_t sample, int sampleRate, FrameRate fps);

// floor(sample * 1000 / rate), saturated to the range of the 32-bit field.
uint32_t SampleToMilliseconds(int64_t sample, int sampleRate);

// The sample nearest to `seconds` at `rate`: llround(seconds * rate).
int64_t SecondsToSamples(double seconds, int rate);

// "12", "12.5" or "12.345": at most millisecond precision, no trailing zeros.
std::string SecondsText(double seconds);

}  // namespace nimbrelle::host
