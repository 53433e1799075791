#include "audio/source.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>

#include "nimbrelle/analysis/demo.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "base/error.h"
#include "base/files.h"
#include "base/signals.h"
#include "base/text.h"

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

// What the readers of one file share.
struct SndfileSource::Shared {
    fs::path path;           // as given
    Warn warn;
    TempPath copy;           // what a pipe or FIFO held, read in its place
    bool reported = false;   // `warn` has heard where decoding stopped
    int64_t decoded = 0;     // frames known to decode: the most any reader has decoded

    // The file the decoders open.
    const fs::path& Decoded() const { return copy.Path().empty() ? path : copy.Path(); }
};

namespace {

// Standard error sent to /dev/null while a decoder runs: the MP3 decoder under libsndfile
// prints warnings of its own about damaged streams, which would break the host's one-line
// errors and ignore --quiet. What went wrong reaches the user through libsndfile's errors.
class DecoderChatterMuted {
public:
    DecoderChatterMuted()
    {
        static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) return;
        std::fflush(stderr);
        saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved_ >= 0) dup2(null, STDERR_FILENO);
    }
    ~DecoderChatterMuted()
    {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    DecoderChatterMuted(const DecoderChatterMuted&) = delete;
    DecoderChatterMuted& operator=(const DecoderChatterMuted&) = delete;

private:
    int saved_ = -1;
};

// A file descriptor, closed with it.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// Reads the pipe or FIFO `path` to its end into a new temporary file, for decoders that seek.
// Opening a FIFO waits for a writer, and reading waits for what it sends; a stop request ends
// either wait (Interrupted), and the copy goes.
TempPath CopyOfPipe(const fs::path& path)
{
    const Descriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        ThrowIfInterrupted();
        throw Error("cannot read audio file " + Quoted(path.string()) + ": " + ErrnoText(errno));
    }
    const fs::path folder = fs::temp_directory_path();
    TempPath copy = MakeTempFile(folder, "nimbrelle-input-", path.extension().string());
    const Descriptor out(open(copy.Path().c_str(), O_WRONLY | O_CLOEXEC));
    const auto cannotKeep = [&](int err) {
        return Error("cannot keep a copy of audio file " + Quoted(path.string()) + " in " + Quoted(folder.string()) +
                     ": " + ErrnoText(err));
    };
    if (out.Get() < 0) throw cannotKeep(errno);
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        ThrowIfInterrupted();
        const ssize_t got = read(in.Get(), buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Error("cannot read audio file " + Quoted(path.string()) + ": " + ErrnoText(errno));
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = write(out.Get(), buffer.data() + put, static_cast<std::size_t>(got - put));
            if (n < 0 && errno != EINTR) throw cannotKeep(errno);
            put += std::max<ssize_t>(n, 0);
        }
    }
    if (fs::file_size(copy.Path()) == 0) throw Error("audio file " + Quoted(path.string()) + " is empty");
    return copy;
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

// Whether libsndfile's log of `file` tells of a chunk whose size reaches past the end of the
// file ("data : 529200 (should be 264578)", as WAV, AIFF, AU and Wave64 log it; 0xFFFFFFFF,
// which streaming writers put for "unknown", excepted). libsndfile then cuts the length it
// gives to what the file holds, so the claim alone cannot tell.
bool LogTellsOfOversizedChunk(SNDFILE* file)
{
    std::array<char, 4096> log{};  // libsndfile keeps 2048 bytes of it
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()) - 1);
    const std::string_view text(log.data());
    constexpr std::string_view Marker = " (should be ";
    const auto digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    for (auto at = text.find(Marker); at != std::string_view::npos; at = text.find(Marker, at + 1)) {
        std::size_t from = at, to = at + Marker.size();
        while (from > 0 && digit(from - 1)) --from;
        while (digit(to)) ++to;
        const std::string_view said = text.substr(from, at - from);
        const std::string_view real = text.substr(at + Marker.size(), to - at - Marker.size());
        if (said.empty() || real.empty() || to >= text.size() || text[to] != ')') continue;
        // Longer digit strings are larger numbers; libsndfile writes no leading zeros.
        const bool larger = said.size() != real.size() ? said.size() > real.size() : said > real;
        if (larger && said != "4294967295") return true;
    }
    return false;
}

// Whether `claimed`, the length libsndfile gives for `file`, counts the audio rather than
// guessing it: an unknown length (a FLAC written to a pipe) is no count, nor is an MPEG
// stream's without a Xing or Info frame, which libsndfile estimates from the file's size (and
// reports as constant bitrate).
bool ClaimIsCount(SNDFILE* file, const SF_INFO& info)
{
    if (info.frames == SF_COUNT_MAX) return false;
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG) return true;
    return sf_command(file, SFC_GET_BITRATE_MODE, nullptr, 0) != SF_BITRATE_MODE_CONSTANT;
}

// Whether `file` has lost its end for sure before any of it is decoded: libsndfile takes an Ogg
// stream's length from its last page, so an Ogg file of unknown length has lost that page.
bool EndIsMissing(const SF_INFO& info)
{
    return (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && info.frames == SF_COUNT_MAX;
}

}  // namespace

std::string SndfileMessage(SNDFILE* file)
{
    std::string message = sf_strerror(file);
    while (!message.empty() && (message.back() == '.' || message.back() == ' ')) message.pop_back();
    return message;
}

SndfileSource::SndfileSource(const fs::path& path, Warn warn) : SndfileSource(Share(path, std::move(warn))) {}

std::shared_ptr<SndfileSource::Shared> SndfileSource::Share(const fs::path& path, Warn warn)
{
    auto shared = std::make_shared<Shared>(Shared{path, std::move(warn), {}});
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_fifo(status)) {  // a named pipe, or /dev/stdin fed by one
        shared->copy = CopyOfPipe(path);
    } else {
        CheckReadableFile(path, "audio file");
    }
    return shared;
}

SndfileSource::SndfileSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)), file_(std::make_unique<Handle>())
{
    const fs::path& path = shared_->path;
    SF_INFO info{};
    {
        const DecoderChatterMuted muted;
        file_->file = sf_open(shared_->Decoded().c_str(), SFM_READ, &info);
    }
    if (file_->file == nullptr) {
        std::string why = SndfileMessage(nullptr);
        // libsndfile says this of a regular file too short or damaged for its decoder.
        if (why.find("possibly a pipe") != std::string::npos) why = "it is damaged or too short to be audio";
        throw Error("cannot decode audio file " + Quoted(path.string()) + ": " + why +
                    " (readable formats: WAV, FLAC, Ogg/Vorbis, Opus, MP3, AIFF)");
    }
    if (info.channels < 1) {
        throw Error("audio file " + Quoted(path.string()) + " has an unusable format (" +
                    std::to_string(info.channels) + " channels)");
    }
    if (info.samplerate < analysis::MinSampleRate || info.samplerate > analysis::MaxSampleRate) {
        throw Error("audio file " + Quoted(path.string()) + " has a sample rate of " + std::to_string(info.samplerate) +
                    " Hz; the accepted rates are " + std::to_string(analysis::MinSampleRate) + " to " +
                    std::to_string(analysis::MaxSampleRate) + " Hz");
    }
    if (info.frames <= 0) {
        throw Error("audio file " + Quoted(path.string()) + " contains no samples");
    }
    rate_ = info.samplerate;
    channels_ = info.channels;
    claimed_ = info.frames;
    claimExact_ = ClaimIsCount(file_->file, info);
    endMissing_ = EndIsMissing(info);
    length_ = info.frames;
    scratch_.resize(ReadBlockFrames * static_cast<std::size_t>(channels_));
    block_.resize(2 * ReadBlockFrames);
}

SndfileSource::~SndfileSource() = default;

void SndfileSource::Seek(int64_t frame)
{
    position_ = std::clamp<int64_t>(frame, 0, length_);
    const int64_t start = position_ - position_ % static_cast<int64_t>(ReadBlockFrames);
    const bool inBlock = position_ >= blockStart_ && position_ < blockStart_ + static_cast<int64_t>(blockFrames_);
    if (inBlock || start == decoderAt_) return;
    {
        const DecoderChatterMuted muted;
        if (sf_seek(file_->file, start, SEEK_SET) == start) {
            decoderAt_ = start;
            blockFrames_ = 0;
            return;
        }
    }
    // A header that overstates the length lets a seek aim past the real end, and some decoders
    // (FLAC's) cannot seek at all after that. Start again from the top and decode up to the
    // block, finding the real end on the way if it comes first.
    auto fresh = std::make_unique<Handle>();
    SF_INFO info{};
    {
        const DecoderChatterMuted muted;
        fresh->file = sf_open(shared_->Decoded().c_str(), SFM_READ, &info);
    }
    if (fresh->file == nullptr) {
        throw Error("cannot seek to sample " + std::to_string(position_) + " in audio file " + Quoted(Name()) +
                    ": " + SndfileMessage(nullptr));
    }
    file_ = std::move(fresh);
    decoderAt_ = 0;
    blockFrames_ = 0;
    while (decoderAt_ < start && DecodeBlock()) {
    }
    position_ = std::min(position_, length_);  // past the real end: on it
}

std::size_t SndfileSource::Read(float* out, std::size_t frames)
{
    std::size_t done = 0;
    while (done < frames && position_ < length_) {
        const int64_t offset = position_ - blockStart_;
        if (offset < 0 || offset >= static_cast<int64_t>(blockFrames_)) {
            if (!DecodeBlock()) break;
            continue;
        }
        const auto n = static_cast<std::size_t>(std::min<int64_t>(
            {static_cast<int64_t>(frames - done), static_cast<int64_t>(blockFrames_) - offset, length_ - position_}));
        std::copy_n(block_.begin() + 2 * offset, 2 * n, out + 2 * done);
        done += n;
        position_ += static_cast<int64_t>(n);
    }
    if (position_ >= length_) ReportEarlyEnd();  // also the claimed end, which libsndfile may have cut itself
    return done;
}

bool SndfileSource::DecodeBlock()
{
    sf_count_t got = 0;
    bool failed = false;
    {
        const DecoderChatterMuted muted;
        got = sf_readf_float(file_->file, scratch_.data(), static_cast<sf_count_t>(ReadBlockFrames));
        failed = got < 0 || sf_error(file_->file) != SF_ERR_NO_ERROR;
    }
    const auto n = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    analysis::CleanSamples(scratch_.data(), n * static_cast<std::size_t>(channels_));
    analysis::MixToStereo(scratch_.data(), n, channels_, block_.data());
    blockStart_ = decoderAt_;
    blockFrames_ = n;
    decoderAt_ += static_cast<int64_t>(n);
    const bool ended = n < ReadBlockFrames || failed;
    if (ended && decoderAt_ < shared_->decoded) {
        // Decoding is deterministic, so only a file that changed can end sooner than before.
        throw Error("audio file " + Quoted(Name()) + " changed while it was being read: its audio now ends at " +
                    SecondsText(static_cast<double>(decoderAt_) / rate_) + " s, where " +
                    SecondsText(static_cast<double>(shared_->decoded) / rate_) + " s of it decoded before");
    }
    shared_->decoded = std::max(shared_->decoded, decoderAt_);
    if (ended) {
        // The decoded audio ends here, whatever the header said. A decoder failing on damage
        // (a FLAC cut inside a frame) keeps what it delivered with the failure but nothing it
        // might find after.
        if (failed && decoderAt_ == 0) {
            throw Error("cannot decode audio file " + Quoted(Name()) + ": " + SndfileMessage(file_->file));
        }
        complained_ = complained_ || failed;
        length_ = std::min(length_, decoderAt_);
    }
    return n > 0;
}

void SndfileSource::ReportEarlyEnd()
{
    // A file of which nothing decodes is an error, for the caller to raise.
    if (shared_->reported || position_ == 0) return;
    const bool early = complained_ || endMissing_ || (claimExact_ && position_ < claimed_) ||
                       LogTellsOfOversizedChunk(file_->file);
    if (!early) return;
    shared_->reported = true;
    shared_->warn(Quoted(Name()) + " is damaged or cut short: decoding stopped at " +
                  SecondsText(static_cast<double>(position_) / rate_) + " s");
}

std::string SndfileSource::Name() const
{
    return shared_->path.string();
}

std::unique_ptr<AudioSource> SndfileSource::Reopen() const
{
    return std::unique_ptr<AudioSource>(new SndfileSource(shared_));
}

int64_t CountDecoded(AudioSource& source, int64_t start, int64_t length)
{
    return ReadBlocks(source, start, length, [](const float*, std::size_t) {});
}

std::unique_ptr<AudioSource> OpenAudio(const std::optional<fs::path>& path)
{
    if (path) return std::make_unique<SndfileSource>(*path);
    return analysis::MakeDemoSource();
}

}  // namespace nimbrelle::host
