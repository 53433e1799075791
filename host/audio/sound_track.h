// The sound track of a video: the exact stretch of audio that was rendered, or the sound a live
// recording captured, written to a file ffmpeg adds to the frames.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "audio/source.h"

namespace nimbrelle::host {

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
    // Takes over `file`, open for writing in SoundTrackFormat, named `name` in messages.
    SoundTrackWriter(SNDFILE* file, const std::filesystem::path& name);
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

// Writes up to `length` frames of `source`, starting at frame `start`, to `out`, stopping early
// where the decoded audio ends. Returns the frames written. Throws Error naming the file on any
// write failure (a full disk, say).
int64_t WriteSoundTrack(SoundTrackWriter& out, AudioSource& source, int64_t start, int64_t length);
// The same into a new file at `path`, closed when complete.
int64_t WriteSoundTrack(const std::filesystem::path& path, AudioSource& source, int64_t start,
                        int64_t length);

}  // namespace nimbrelle::host
