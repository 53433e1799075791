// Audio input: decoded files and in-memory signals, always presented as interleaved stereo
// float samples (left, right) in [-1, 1] at the source's own sample rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbrelle::host {

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
    // What to call the source in messages: the file name, or "the demo signal".
    virtual std::string Name() const = 0;
};

// A signal held in memory, e.g. the built-in demo.
class MemorySource final : public AudioSource {
public:
    MemorySource(std::vector<float> interleavedStereo, int sampleRate, std::string name);
    int SampleRate() const override { return rate_; }
    int64_t Length() const override { return static_cast<int64_t>(samples_.size() / 2); }
    void Seek(int64_t frame) override;
    std::size_t Read(float* out, std::size_t frames) override;
    std::string Name() const override { return name_; }

private:
    std::vector<float> samples_;
    int rate_;
    std::string name_;
    std::size_t position_ = 0;
};

// A file decoded by libsndfile: WAV, FLAC, Ogg/Vorbis, Opus, MP3 and whatever else the
// installed libsndfile reads. A mono file feeds both channels. Files with more channels are
// mixed down: channel 0 is left, channel 1 right, and every further channel goes to both
// sides at half weight; the sum is scaled by 1 / (1 + (channels - 2) / 2), so a signal that
// is the same on every channel keeps its level and the mix cannot exceed full scale.
class SndfileSource final : public AudioSource {
public:
    // Throws Error naming the file when it is missing, unreadable, empty, not audio, or holds
    // no samples.
    explicit SndfileSource(const std::filesystem::path& path);
    ~SndfileSource() override;
    int SampleRate() const override { return rate_; }
    int64_t Length() const override { return length_; }
    void Seek(int64_t frame) override;
    std::size_t Read(float* out, std::size_t frames) override;
    std::string Name() const override { return path_.string(); }
    int FileChannels() const { return channels_; }

private:
    struct Handle;
    std::filesystem::path path_;
    std::unique_ptr<Handle> file_;
    int rate_ = 0;
    int channels_ = 0;
    int64_t length_ = 0;
    std::vector<float> scratch_;  // one block of the file's own interleaved samples
};

// Writes `length` frames of `source`, starting at frame `start`, to a 32-bit float stereo WAV
// file. Throws Error naming `path` on any write failure (a full disk, say).
void WriteWav(const std::filesystem::path& path, AudioSource& source, int64_t start,
              int64_t length);

// The samples [first, end) of `source` that --start and --duration (in seconds) select; the
// rest of the audio when there is no duration. Throws Error when the start is at or past the
// end of the audio or the duration is shorter than one sample.
struct SampleSpan {
    int64_t first = 0;
    int64_t end = 0;
};
SampleSpan SelectSamples(const AudioSource& source, double start, std::optional<double> duration);

}  // namespace nimbrelle::host
