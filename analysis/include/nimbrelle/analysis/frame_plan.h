// Cutting audio into video frames. All positions are integers, so frames of any length of
// audio stay locked to its sound: frame n starts at sample floor(n * rate / fps), which
// spreads the remainder of rate / fps over the frames instead of letting it accumulate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace nimbrelle::analysis {

// Frames per second as an exact fraction, e.g. 60/1 or 30000/1001. Kept reduced, den > 0.
struct FrameRate {
    int64_t num = 60;
    int64_t den = 1;
    double Value() const { return static_cast<double>(num) / static_cast<double>(den); }
    std::string ToString() const;  // "60" or "30000/1001"
    friend bool operator==(const FrameRate&, const FrameRate&) = default;
};

inline constexpr int64_t MinFps = 1;
inline constexpr int64_t MaxFps = 1000;

// The sample rates (Hz) front ends accept audio at; the functions below compute with any
// positive rate, and the front ends refuse others where the audio comes in.
//
// The bottom, 8 kHz (telephone sound, the lowest rate in common use): each record is made from
// the 512 samples before its frame, which last 64 ms here, about four frames at 60 fps, so a
// beat shows in the frames around it; at lower rates it smears over more and more frames (half
// a second at 1 kHz). And with at least 8 samples per frame at MaxFps, every frame starts at a
// sample of its own, so frame times strictly increase; below MaxFps Hz frames would share
// their first sample and time.
//
// The top, 1 MHz, above every PCM rate in use (768 kHz): sample positions stay int64 and the
// arithmetic on them exact with a wide margin. A timestamp of up to 2^64 ns (584 years) is
// under 2^63 samples below 500 MHz; each sample has a nanosecond time of its own below 1 GHz;
// rate times the bytes of a stereo float sample frame fits int32 below 268 MHz; and
// FrameStartSample's product of frame, rate and a 32-bit fps denominator stays far inside
// 128 bits.
inline constexpr int MinSampleRate = 8000;
inline constexpr int MaxSampleRate = 1'000'000;

// First sample of frame n (relative to the first sample of the plan): floor(n * rate / fps).
int64_t FrameStartSample(int64_t frame, int sampleRate, FrameRate fps);

// Number of frames needed to cover `samples` samples: the smallest N with
// FrameStartSample(N) >= samples.
int64_t FrameCountFor(int64_t samples, int sampleRate, FrameRate fps);

// Index of the frame whose interval holds `sample`: the largest n with
// FrameStartSample(n) <= sample.
int64_t FrameAtSample(int64_t sample, int sampleRate, FrameRate fps);

// floor(sample * 1000 / rate), saturated to the range of the 32-bit `leading` field.
uint32_t SampleToMilliseconds(int64_t sample, int sampleRate);

// The sample nearest to `seconds` at `rate`: llround(seconds * rate).
int64_t SecondsToSamples(double seconds, int rate);

// The absolute samples [first, end) of an audio signal cut into frames: frame n starts at
// absolute sample first + FrameStartSample(n) and its record carries the milliseconds of that
// sample. A render draws frames 0 .. FrameCount() - 1 in order; live playback draws the frame
// being heard.
struct FramePlan {
    int64_t first = 0;
    int64_t end = 0;
    int rate = 48000;
    FrameRate fps;

    int64_t FrameCount() const { return FrameCountFor(end - first, rate, fps); }
    int64_t FrameStart(int64_t frame) const { return first + FrameStartSample(frame, rate, fps); }
    uint32_t Milliseconds(int64_t frame) const { return SampleToMilliseconds(FrameStart(frame), rate); }
    // The frame being heard at absolute sample `sample`; the first or last frame outside.
    int64_t FrameAt(int64_t sample) const
    {
        return std::clamp<int64_t>(FrameAtSample(sample - first, rate, fps), 0,
                                   std::max<int64_t>(0, FrameCount() - 1));
    }
    bool Finished(int64_t heard) const { return heard >= end; }
};

// The samples that a start time and an optional duration (in seconds) select from audio of
// `length` samples at `rate`: the rest of the audio when there is no duration.
struct SampleSelection {
    enum class Status {
        Ok,
        StartPastEnd,   // the start is at or past the end of the audio
        TooShort,       // the duration is shorter than one sample
    };
    Status status = Status::Ok;
    int64_t first = 0;
    int64_t end = 0;
};
SampleSelection SelectSamples(int64_t length, int rate, double start, std::optional<double> duration);

// The plan that draws every frame up to the one holding absolute sample `at` (a stateful
// scene needs the frames before it), starting at sample 0: its last frame is
// FrameAtSample(at).
FramePlan PlanUpTo(int64_t at, int rate, FrameRate fps);

}  // namespace nimbrelle::analysis
