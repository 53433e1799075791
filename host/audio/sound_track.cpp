#include "audio/sound_track.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "base/error.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

// Writes `frames` interleaved stereo frames to `out`; throws Error naming `name` on failure.
void WriteFrames(SNDFILE* out, const std::string& name, const float* stereo, std::size_t frames)
{
    if (frames == 0) return;
    errno = 0;
    if (sf_writef_float(out, stereo, static_cast<sf_count_t>(frames)) != static_cast<sf_count_t>(frames)) {
        const int err = errno;
        throw Error("cannot write audio file " + Quoted(name) + ": " +
                    (err != 0 ? ErrnoText(err) : SndfileMessage(out)));
    }
}

}  // namespace

SoundTrackWriter::SoundTrackWriter(const fs::path& path, int rate) : path_(path)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SoundTrackFormat;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        throw Error("cannot create audio file " + Quoted(path.string()) + ": " + SndfileMessage(nullptr));
    }
}

SoundTrackWriter::SoundTrackWriter(SNDFILE* file, const fs::path& name) : path_(name), file_(file) {}

SoundTrackWriter::~SoundTrackWriter()
{
    if (file_ != nullptr) sf_close(file_);
}

void SoundTrackWriter::Write(const float* stereo, std::size_t frames)
{
    WriteFrames(file_, path_.string(), stereo, frames);
}

void SoundTrackWriter::WriteSilence(std::size_t frames)
{
    static constexpr std::array<float, 2 * ReadBlockFrames> Zeros{};
    while (frames > 0) {
        const std::size_t n = std::min(frames, ReadBlockFrames);
        Write(Zeros.data(), n);
        frames -= n;
    }
}

void SoundTrackWriter::Close()
{
    sf_write_sync(file_);
    const int closeResult = sf_close(file_);
    file_ = nullptr;
    if (closeResult != 0) {
        throw Error("cannot finish audio file " + Quoted(path_.string()) + ": " + sf_error_number(closeResult));
    }
}

int64_t WriteSoundTrack(SoundTrackWriter& out, AudioSource& source, int64_t start, int64_t length)
{
    return ReadBlocks(source, start, length, [&](const float* block, std::size_t frames) { out.Write(block, frames); });
}

int64_t WriteSoundTrack(const fs::path& path, AudioSource& source, int64_t start, int64_t length)
{
    SoundTrackWriter out(path, source.SampleRate());
    const int64_t written = WriteSoundTrack(out, source, start, length);
    out.Close();
    return written;
}

}  // namespace nimbrelle::host
