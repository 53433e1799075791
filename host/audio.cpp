#include "audio.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "demo_signal.h"
#include "error.h"
#include "signals.h"
#include "timing.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- SndfileSource

struct SndfileSource::Handle {
    SNDFILE* file = nullptr;
    ~Handle()
    {
        if (file != nullptr) sf_close(file);
    }
};

namespace {

constexpr std::size_t ReadBlockFrames = 4096;

// libsndfile's message without its closing full stop, to fit inside ours.
std::string SndfileMessage(SNDFILE* file)
{
    std::string message = sf_strerror(file);
    while (!message.empty() && (message.back() == '.' || message.back() == ' ')) message.pop_back();
    return message;
}

// Checks the things libsndfile reports only vaguely: existence, type, permission, emptiness.
void CheckReadableFile(const fs::path& path, std::string_view what)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        throw Error(std::string(what) + " " + Quoted(path.string()) + " does not exist");
    }
    if (fs::is_directory(status)) {
        throw Error(std::string(what) + " " + Quoted(path.string()) + " is a directory, not a file");
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        throw Error("cannot read " + std::string(what) + " " + Quoted(path.string()) + ": " +
                    ErrnoText(errno));
    }
    if (fs::is_regular_file(status) && fs::file_size(path, ec) == 0 && !ec) {
        throw Error(std::string(what) + " " + Quoted(path.string()) + " is empty");
    }
}

}  // namespace

SndfileSource::SndfileSource(const fs::path& path) : path_(path), file_(std::make_unique<Handle>())
{
    CheckReadableFile(path, "audio file");
    SF_INFO info{};
    file_->file = sf_open(path.c_str(), SFM_READ, &info);
    if (file_->file == nullptr) {
        throw Error("cannot decode audio file " + Quoted(path.string()) + ": " + SndfileMessage(nullptr) +
                    " (readable formats: WAV, FLAC, Ogg/Vorbis, Opus, MP3, AIFF)");
    }
    if (info.channels < 1 || info.samplerate < 1 || info.samplerate > 1'000'000) {
        throw Error("audio file " + Quoted(path.string()) + " has an unusable format (" +
                    std::to_string(info.channels) + " channels at " +
                    std::to_string(info.samplerate) + " Hz)");
    }
    if (info.frames <= 0) {
        throw Error("audio file " + Quoted(path.string()) + " contains no samples");
    }
    rate_ = info.samplerate;
    channels_ = info.channels;
    length_ = info.frames;
    scratch_.resize(ReadBlockFrames * static_cast<std::size_t>(channels_));
}

SndfileSource::~SndfileSource() = default;

void SndfileSource::Seek(int64_t frame)
{
    const int64_t target = std::clamp<int64_t>(frame, 0, length_);
    if (sf_seek(file_->file, target, SEEK_SET) < 0) {
        throw Error("cannot seek to sample " + std::to_string(target) + " in audio file " +
                    Quoted(path_.string()) + ": " + SndfileMessage(file_->file));
    }
}

std::size_t SndfileSource::Read(float* out, std::size_t frames)
{
    std::size_t done = 0;
    while (done < frames) {
        const std::size_t want = std::min(frames - done, ReadBlockFrames);
        const sf_count_t got = sf_readf_float(file_->file, scratch_.data(), static_cast<sf_count_t>(want));
        if (got < 0 || sf_error(file_->file) != SF_ERR_NO_ERROR) {
            throw Error("cannot decode audio file " + Quoted(path_.string()) + ": " +
                        SndfileMessage(file_->file));
        }
        const auto n = static_cast<std::size_t>(got);
        analysis::MixToStereo(scratch_.data(), n, channels_, out + 2 * done);
        done += n;
        if (n < want) break;  // end of the file
    }
    return done;
}

std::unique_ptr<AudioSource> SndfileSource::Reopen() const
{
    return std::make_unique<SndfileSource>(path_);
}

// ---------------------------------------------------------------- WAV files

WavWriter::WavWriter(const fs::path& path, int rate) : path_(path)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        throw Error("cannot create audio file " + Quoted(path.string()) + ": " + SndfileMessage(nullptr));
    }
}

WavWriter::~WavWriter()
{
    if (file_ != nullptr) sf_close(file_);
}

void WavWriter::Write(const float* stereo, std::size_t frames)
{
    if (frames == 0) return;
    errno = 0;
    const sf_count_t written = sf_writef_float(file_, stereo, static_cast<sf_count_t>(frames));
    if (written != static_cast<sf_count_t>(frames)) {
        const int err = errno;
        throw Error("cannot write audio file " + Quoted(path_.string()) + ": " +
                    (err != 0 ? ErrnoText(err) : SndfileMessage(file_)));
    }
}

void WavWriter::WriteSilence(std::size_t frames)
{
    static constexpr std::array<float, 2 * ReadBlockFrames> Zeros{};
    while (frames > 0) {
        const std::size_t n = std::min(frames, ReadBlockFrames);
        Write(Zeros.data(), n);
        frames -= n;
    }
}

void WavWriter::Close()
{
    sf_write_sync(file_);
    const int closeResult = sf_close(file_);
    file_ = nullptr;
    if (closeResult != 0) {
        throw Error("cannot finish audio file " + Quoted(path_.string()) + ": " + sf_error_number(closeResult));
    }
}

void WriteWav(const fs::path& path, AudioSource& source, int64_t start, int64_t length)
{
    WavWriter out(path, source.SampleRate());
    std::vector<float> block(ReadBlockFrames * 2);
    source.Seek(start);
    int64_t remaining = length;
    while (remaining > 0) {
        ThrowIfInterrupted();
        const auto want = static_cast<std::size_t>(std::min<int64_t>(remaining, ReadBlockFrames));
        std::size_t got = source.Read(block.data(), want);
        if (got < want) {  // a decoder that delivers fewer samples than it announced: pad
            std::fill(block.begin() + static_cast<std::ptrdiff_t>(2 * got),
                      block.begin() + static_cast<std::ptrdiff_t>(2 * want), 0.0f);
            got = want;
        }
        out.Write(block.data(), got);
        remaining -= static_cast<int64_t>(got);
    }
    out.Close();
}

std::unique_ptr<AudioSource> OpenAudio(const std::optional<fs::path>& path)
{
    if (path) return std::make_unique<SndfileSource>(*path);
    return MakeDemoSource();
}

analysis::FramePlan PlanFrames(const AudioSource& source, double start, std::optional<double> duration,
                               FrameRate fps)
{
    const int rate = source.SampleRate();
    const int64_t total = source.Length();
    const analysis::SampleSelection selection = analysis::SelectSamples(total, rate, start, duration);
    switch (selection.status) {
    case analysis::SampleSelection::Status::StartPastEnd:
        throw Error("--start " + SecondsText(start) + " is at or past the end of " + source.Name() + " (" +
                    SecondsText(static_cast<double>(total) / rate) + " s)");
    case analysis::SampleSelection::Status::TooShort:
        throw Error("--duration must be longer than one sample");
    case analysis::SampleSelection::Status::Ok:
        break;
    }
    return analysis::FramePlan{selection.first, selection.end, rate, fps};
}

}  // namespace nimbrelle::host
