// Samples on their way to the analysis: any channel layout mixed to stereo, audio that can be
// read from any position, and the history of the latest WindowSize samples of each channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nimbrelle::analysis {

// Samples per channel the analysis looks at for each frame.
inline constexpr int WindowSize = 512;

// ---------------------------------------------------------------- decoded samples

// Makes decoded samples safe for everything downstream (the analysis, an encoder, a sound
// card): NaN becomes 0 and everything else is clamped to [-1, 1], infinities included. Front
// ends call it once, where samples are decoded, so every consumer sees the same samples.
void CleanSamples(float* samples, std::size_t count);

// ---------------------------------------------------------------- channel layouts

// One sample frame as left and right. A mono frame feeds both sides. With more channels,
// channel 0 is left, channel 1 right, and every further channel goes to both sides at half
// weight; the sum is scaled by 1 / (1 + (channels - 2) / 2), so a signal that is the same on
// every channel keeps its level and the mix cannot exceed full scale.
struct StereoSample {
    float left = 0.0f;
    float right = 0.0f;
};
StereoSample MixFrame(const float* frame, int channels);

// Mixes `frames` interleaved frames of `channels` channels (at least 1) into interleaved
// stereo `out` (2 * frames floats).
void MixToStereo(const float* in, std::size_t frames, int channels, float* out);

// ---------------------------------------------------------------- audio to read from

// Audio presented as interleaved stereo float samples (left, right) at its own sample rate,
// readable from any position.
class AudioSource {
public:
    virtual ~AudioSource() = default;
    AudioSource() = default;
    AudioSource(const AudioSource&) = delete;
    AudioSource& operator=(const AudioSource&) = delete;

    virtual int SampleRate() const = 0;
    // Length in sample frames (one frame = one sample per channel).
    virtual int64_t Length() const = 0;
    // Moves the read position to sample frame `frame` (0 <= frame <= Length()).
    virtual void Seek(int64_t frame) = 0;
    // Reads up to `frames` stereo frames into `out` (2 * frames floats) and returns how many
    // were read; fewer only at the end of the audio.
    virtual std::size_t Read(float* out, std::size_t frames) = 0;
    // What to call the source in messages: a file name, or e.g. "the demo signal".
    virtual std::string Name() const = 0;
    // A second reader of the same audio with a read position of its own.
    virtual std::unique_ptr<AudioSource> Reopen() const = 0;
};

// A signal held in memory, mixed to stereo when it is built. Readers made by Reopen share
// the samples.
class MemorySource final : public AudioSource {
public:
    MemorySource(std::vector<float> interleaved, int sampleRate, std::string name, int channels = 2);
    int SampleRate() const override { return rate_; }
    int64_t Length() const override { return static_cast<int64_t>(samples_->size() / 2); }
    void Seek(int64_t frame) override;
    std::size_t Read(float* out, std::size_t frames) override;
    std::string Name() const override { return name_; }
    std::unique_ptr<AudioSource> Reopen() const override;

private:
    MemorySource(std::shared_ptr<const std::vector<float>> samples, int sampleRate, std::string name);
    std::shared_ptr<const std::vector<float>> samples_;
    int rate_;
    std::string name_;
    std::size_t position_ = 0;
};

// ---------------------------------------------------------------- the latest samples

// The latest WindowSize samples of each channel, oldest first, fed by whoever has samples: a
// file being read, a capture callback, a media pipeline. Starts (and restarts) as silence.
class SampleHistory {
public:
    // Appends `frames` interleaved frames of `channels` channels (mixed as MixFrame does).
    void Push(const float* interleaved, std::size_t frames, int channels);
    // Appends `frames` frames of silence.
    void PushSilence(std::size_t frames);
    // Back to silence.
    void Clear();

    std::span<const float, WindowSize> Left() const { return std::span<const float, WindowSize>(left_); }
    std::span<const float, WindowSize> Right() const { return std::span<const float, WindowSize>(right_); }

private:
    // Moves the newest WindowSize - frames samples to the front; returns where the new
    // samples go and how many of them fit (the newest ones).
    std::size_t MakeRoom(std::size_t frames);

    std::array<float, WindowSize> left_{};
    std::array<float, WindowSize> right_{};
};

// A SampleHistory read forward from an AudioSource, so the frames of a plan can ask for the
// window that ends at any later sample. Samples before 0 and past the end of the source are
// silence.
class SourceHistory {
public:
    // Starts at absolute sample `position`: the window before it is read from the source.
    SourceHistory(AudioSource& source, int64_t position);

    // Advances to absolute sample `position` (never backwards).
    void AdvanceTo(int64_t position);

    int64_t Position() const { return position_; }
    const SampleHistory& History() const { return history_; }
    std::span<const float, WindowSize> Left() const { return history_.Left(); }
    std::span<const float, WindowSize> Right() const { return history_.Right(); }

private:
    AudioSource& source_;
    int64_t position_ = 0;
    SampleHistory history_;
    std::vector<float> block_;
};

}  // namespace nimbrelle::analysis
