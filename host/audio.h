// Audio input: decoded files and the built-in demo, presented as the shared route's
// AudioSource (interleaved stereo float samples at the source's own sample rate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/samples.h"
#include "timing.h"

struct sf_private_tag;  // libsndfile's SNDFILE

namespace nimbrelle::host {

using analysis::AudioSource;
using analysis::MemorySource;

// A file decoded by libsndfile: WAV, FLAC, Ogg/Vorbis, Opus, MP3 and whatever else the
// installed libsndfile reads, mixed to stereo as analysis::MixFrame describes (a mono file
// feeds both channels).
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
    // Opens the file again.
    std::unique_ptr<AudioSource> Reopen() const override;
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

// A 32-bit float stereo WAV file written a block at a time. Every failure (a full disk, say) is
// an Error naming the file; a writer destroyed without Close leaves the file unfinished.
class WavWriter {
public:
    WavWriter(const std::filesystem::path& path, int rate);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    void Write(const float* stereo, std::size_t frames);
    void WriteSilence(std::size_t frames);
    void Close();

private:
    std::filesystem::path path_;
    ::sf_private_tag* file_ = nullptr;
};

// Writes `length` frames of `source`, starting at frame `start`, to a 32-bit float stereo WAV
// file. Throws Error naming `path` on any write failure (a full disk, say).
void WriteWav(const std::filesystem::path& path, AudioSource& source, int64_t start,
              int64_t length);

// The audio file, or the built-in demo when there is none. Throws Error naming the file.
std::unique_ptr<AudioSource> OpenAudio(const std::optional<std::filesystem::path>& path);

// The frames at `fps` of the samples of `source` that --start and --duration (in seconds)
// select; the rest of the audio when there is no duration. Throws Error when the start is at
// or past the end of the audio or the duration is shorter than one sample.
analysis::FramePlan PlanFrames(const AudioSource& source, double start, std::optional<double> duration,
                               FrameRate fps);

}  // namespace nimbrelle::host
