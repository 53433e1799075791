#include "nimbrelle/analysis/samples.h"

#include <algorithm>

namespace nimbrelle::analysis {

namespace {

constexpr std::size_t HistoryBlockFrames = 4096;
constexpr double ExtraChannelWeight = 0.5;

}  // namespace

// ---------------------------------------------------------------- decoded samples

void CleanSamples(float* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const float s = samples[i];
        samples[i] = s != s ? 0.0f : std::clamp(s, -1.0f, 1.0f);
    }
}

// ---------------------------------------------------------------- channel layouts

StereoSample MixFrame(const float* frame, int channels)
{
    if (channels <= 1) return {frame[0], frame[0]};
    if (channels == 2) return {frame[0], frame[1]};
    const double scale = 1.0 / (1.0 + ExtraChannelWeight * static_cast<double>(channels - 2));
    double extra = 0.0;
    for (int c = 2; c < channels; ++c) extra += static_cast<double>(frame[c]);
    extra *= ExtraChannelWeight;
    return {static_cast<float>((static_cast<double>(frame[0]) + extra) * scale),
            static_cast<float>((static_cast<double>(frame[1]) + extra) * scale)};
}

void MixToStereo(const float* in, std::size_t frames, int channels, float* out)
{
    if (channels == 2) {
        std::copy_n(in, 2 * frames, out);
        return;
    }
    const auto stride = static_cast<std::size_t>(std::max(1, channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const StereoSample s = MixFrame(in + i * stride, channels);
        out[2 * i] = s.left;
        out[2 * i + 1] = s.right;
    }
}

// ---------------------------------------------------------------- MemorySource

namespace {

std::shared_ptr<const std::vector<float>> ToStereo(std::vector<float> interleaved, int channels)
{
    const auto stride = static_cast<std::size_t>(std::max(1, channels));
    if (interleaved.size() % stride != 0) interleaved.resize(interleaved.size() + stride - interleaved.size() % stride, 0.0f);
    if (channels == 2) return std::make_shared<const std::vector<float>>(std::move(interleaved));
    const std::size_t frames = interleaved.size() / stride;
    std::vector<float> stereo(frames * 2);
    MixToStereo(interleaved.data(), frames, channels, stereo.data());
    return std::make_shared<const std::vector<float>>(std::move(stereo));
}

}  // namespace

MemorySource::MemorySource(std::vector<float> interleaved, int sampleRate, std::string name, int channels)
    : MemorySource(ToStereo(std::move(interleaved), channels), sampleRate, std::move(name))
{
}

MemorySource::MemorySource(std::shared_ptr<const std::vector<float>> samples, int sampleRate, std::string name)
    : samples_(std::move(samples)), rate_(sampleRate), name_(std::move(name))
{
}

void MemorySource::Seek(int64_t frame)
{
    position_ = static_cast<std::size_t>(std::clamp<int64_t>(frame, 0, Length())) * 2;
}

std::size_t MemorySource::Read(float* out, std::size_t frames)
{
    const std::size_t available = (samples_->size() - position_) / 2;
    const std::size_t n = std::min(frames, available);
    std::copy_n(samples_->data() + position_, n * 2, out);
    position_ += n * 2;
    return n;
}

std::unique_ptr<AudioSource> MemorySource::Reopen() const
{
    return std::unique_ptr<AudioSource>(new MemorySource(samples_, rate_, name_));
}

// ---------------------------------------------------------------- SampleHistory

std::size_t SampleHistory::MakeRoom(std::size_t frames)
{
    constexpr std::size_t n = WindowSize;
    if (frames >= n) return 0;
    // Keep the newest n - frames samples; the new ones go after them.
    std::copy(left_.begin() + static_cast<std::ptrdiff_t>(frames), left_.end(), left_.begin());
    std::copy(right_.begin() + static_cast<std::ptrdiff_t>(frames), right_.end(), right_.begin());
    return n - frames;
}

void SampleHistory::Push(const float* interleaved, std::size_t frames, int channels)
{
    const std::size_t count = std::min<std::size_t>(frames, WindowSize);
    const std::size_t skip = frames - count;  // older than the window: never seen
    const std::size_t base = MakeRoom(count);
    const auto stride = static_cast<std::size_t>(std::max(1, channels));
    for (std::size_t i = 0; i < count; ++i) {
        const StereoSample s = MixFrame(interleaved + (skip + i) * stride, channels);
        left_[base + i] = s.left;
        right_[base + i] = s.right;
    }
}

void SampleHistory::PushSilence(std::size_t frames)
{
    const std::size_t count = std::min<std::size_t>(frames, WindowSize);
    const std::size_t base = MakeRoom(count);
    std::fill(left_.begin() + static_cast<std::ptrdiff_t>(base), left_.end(), 0.0f);
    std::fill(right_.begin() + static_cast<std::ptrdiff_t>(base), right_.end(), 0.0f);
}

void SampleHistory::Clear()
{
    left_.fill(0.0f);
    right_.fill(0.0f);
}

// ---------------------------------------------------------------- SourceHistory

SourceHistory::SourceHistory(AudioSource& source, int64_t position)
    : source_(source), block_(HistoryBlockFrames * 2)
{
    const int64_t from = std::max<int64_t>(0, position - WindowSize);
    position_ = from;
    source_.Seek(from);
    AdvanceTo(position);
}

void SourceHistory::AdvanceTo(int64_t position)
{
    while (position_ < position) {
        const auto want = static_cast<std::size_t>(
            std::min<int64_t>(position - position_, static_cast<int64_t>(HistoryBlockFrames)));
        const std::size_t got = source_.Read(block_.data(), want);
        history_.Push(block_.data(), got, 2);
        history_.PushSilence(want - got);  // past the end of the source
        position_ += static_cast<int64_t>(want);
    }
}

}  // namespace nimbrelle::analysis
