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

#include <sndfile.h>

#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/samples.h"
#include "base/timing.h"

namespace nimbrelle::host {

using analysis::AudioSource;
using analysis::MemorySource;

// A file decoded by libsndfile: WAV, FLAC, Ogg/Vorbis, Opus, MP3 and whatever else the
// installed libsndfile reads, cleaned (analysis::CleanSamples) and mixed to stereo as
// analysis::MixFrame describes (a mono file feeds both channels).
//
// Length() starts as the length the file's header claims, which a damaged or truncated file
// can overstate by any amount. When a read finds the decoded audio ending earlier, Length()
// drops to that real end; no sample past it is ever invented.
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
    int64_t position_ = 0;
    std::vector<float> scratch_;  // one block of the file's own interleaved samples
};

// The sound track handed to the video encoder: 32-bit float stereo in Wave64, whose 64-bit
// sizes hold a track of any length (a RIFF WAV ends at 4 GiB, about 3 h 22 min of 44.1 kHz
// stereo).
inline constexpr int SoundTrackFormat = SF_FORMAT_W64 | SF_FORMAT_FLOAT;
inline constexpr const char* SoundTrackExtension = ".w64";

// A sound track file (SoundTrackFormat) written a block at a time, as a render copies its
// audio or a live recording captures it. Every failure (a full disk, say) is an Error naming
// the file; a writer destroyed without Close leaves the file unfinished.
class SoundTrackWriter {
public:
    SoundTrackWriter(const std::filesystem::path& path, int rate);
    ~SoundTrackWriter();
    SoundTrackWriter(const SoundTrackWriter&) = delete;
    SoundTrackWriter& operator=(const SoundTrackWriter&) = delete;

    void Write(const float* stereo, std::size_t frames);
    void WriteSilence(std::size_t frames);
    void Close();

private:
    std::filesystem::path path_;
    SNDFILE* file_ = nullptr;
};

// Writes up to `length` frames of `source`, starting at frame `start`, to `out` (opened for
// writing in SoundTrackFormat), stopping early where the decoded audio ends. Returns the frames
// written. Throws Error naming `name` on any write failure (a full disk, say).
int64_t WriteSoundTrack(SNDFILE* out, const std::string& name, AudioSource& source, int64_t start,
                        int64_t length);
// The same into a new file at `path`.
int64_t WriteSoundTrack(const std::filesystem::path& path, AudioSource& source, int64_t start,
                        int64_t length);

// Decodes up to `length` frames of `source` from frame `start` and returns how many there
// really are.
int64_t CountDecoded(AudioSource& source, int64_t start, int64_t length);

// The audio file, or the built-in demo when there is none. Throws Error naming the file.
std::unique_ptr<AudioSource> OpenAudio(const std::optional<std::filesystem::path>& path);

// The frames at `fps` of the samples of `source` that --start and --duration (in seconds)
// select; the rest of the audio when there is no duration. Throws Error when the start is at
// or past the end of the audio or the duration is shorter than one sample.
analysis::FramePlan PlanFrames(const AudioSource& source, double start, std::optional<double> duration,
                               FrameRate fps);

// `plan` cut to the `decoded` frames that really follow its first sample (see CountDecoded).
// Throws Error, as PlanFrames does, when none do.
analysis::FramePlan TrimToDecoded(const analysis::FramePlan& plan, int64_t decoded, const AudioSource& source,
                                  double start);

}  // namespace nimbrelle::host
