// Audio input: decoded files and the built-in demo, presented as the shared route's
// AudioSource (interleaved stereo float samples at the source's own sample rate).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>

#include "base/error.h"
#include "base/signals.h"
#include "nimbrelle/analysis/samples.h"

namespace nimbrelle::host {

using analysis::AudioSource;
using analysis::MemorySource;

// A file decoded by libsndfile: WAV, FLAC, Ogg/Vorbis, Opus, MP3 and whatever else the
// installed libsndfile reads, cleaned (analysis::CleanSamples) and mixed to stereo as
// analysis::MixFrame describes (a mono file feeds both channels).
//
// Length() starts as the length the file's header claims, which a damaged or truncated file
// can overstate by any amount. When a read finds the decoded audio ending earlier, Length()
// drops to that real end; no sample past it is ever invented or handed out. A decoder failing
// on damage (a FLAC cut inside a frame) is such an end too: a damaged file ends where it stops
// decoding, and only a file of which nothing decodes is an Error. When the end comes early (the
// decoder reported damage, the header claimed more, or libsndfile found the file shorter than
// its header says), `warn` is told once per file, its readers made by Reopen included, where
// decoding stopped.
//
// The readers of one file never disagree about it: a read that ends before audio any of them
// decoded earlier (the file shrank while in use) throws Error naming the file. So whatever is
// made from two passes over the file, such as a render's sound track and then its frames, comes
// from the same samples or not at all.
//
// A pipe or FIFO (`cat song.flac | nimbrelle render /dev/stdin`) cannot be decoded where it
// is, since decoders seek: it is read to its end into a temporary file first, which goes with
// the last reader. Messages name it as given.
class SndfileSource final : public AudioSource {
public:
    using Warn = std::function<void(const std::string&)>;

    // Throws Error naming the file when it is missing, unreadable, empty, not audio, or holds
    // no samples.
    explicit SndfileSource(const std::filesystem::path& path, Warn warn = PrintWarning);
    ~SndfileSource() override;
    int SampleRate() const override { return rate_; }
    int64_t Length() const override { return length_; }
    void Seek(int64_t frame) override;
    std::size_t Read(float* out, std::size_t frames) override;
    std::string Name() const override;
    // Opens the file (or the copy of the pipe) again.
    std::unique_ptr<AudioSource> Reopen() const override;

private:
    struct Handle;
    struct Shared;
    // Checks the file, or copies the pipe, before the first reader opens it.
    static std::shared_ptr<Shared> Share(const std::filesystem::path& path, Warn warn);
    explicit SndfileSource(std::shared_ptr<Shared> shared);
    // Decodes the block at decoderAt_ into block_; false when there is none. A short block is
    // the end of the decoded audio, as is a block the decoder fails on.
    bool DecodeBlock();
    // Tells `warn` where decoding stopped, once per file, if the end at position_ is early.
    void ReportEarlyEnd();

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Handle> file_;
    int rate_ = 0;
    int channels_ = 0;
    int64_t claimed_ = 0;       // the length the header claims
    bool claimExact_ = false;   // the claim is a count, not a guess, so audio ending before it is missing
    bool endMissing_ = false;   // the file is known to have lost its end
    bool complained_ = false;   // the decoder has failed on damage
    int64_t length_ = 0;
    int64_t position_ = 0;
    // The decoder is asked for whole blocks of ReadBlockFrames from multiples of it, whatever
    // the reads and seeks asked for: a decoder meeting damage may deliver different audio for
    // different requests, and every reader of a file must find the same audio and the same end.
    int64_t decoderAt_ = 0;       // the frame the decoder delivers next
    std::vector<float> scratch_;  // one block of the file's own interleaved samples
    std::vector<float> block_;    // the last block decoded, in stereo
    int64_t blockStart_ = 0;      // its first frame
    std::size_t blockFrames_ = 0;
};

// The frames read from a file at a time.
inline constexpr std::size_t ReadBlockFrames = 4096;

// libsndfile's message for `file` (or its last open) without its closing full stop, to fit
// inside ours.
std::string SndfileMessage(SNDFILE* file);

// Reads up to `length` frames of `source` from frame `start`, a block at a time, handing each
// block (interleaved stereo) and its frame count to `use`; stops where the decoded audio ends.
// Returns the frames read.
template <class Use>
int64_t ReadBlocks(AudioSource& source, int64_t start, int64_t length, Use use)
{
    std::vector<float> block(ReadBlockFrames * 2);
    source.Seek(start);
    int64_t done = 0;
    while (done < length) {
        ThrowIfInterrupted();
        const auto want = static_cast<std::size_t>(std::min<int64_t>(length - done, ReadBlockFrames));
        const std::size_t got = source.Read(block.data(), want);
        use(block.data(), got);
        done += static_cast<int64_t>(got);
        if (got < want) break;  // the end of the decoded audio
    }
    return done;
}

// Decodes up to `length` frames of `source` from frame `start` and returns how many there
// really are.
int64_t CountDecoded(AudioSource& source, int64_t start, int64_t length);

// The audio file, or the built-in demo when there is none. Throws Error naming the file.
std::unique_ptr<AudioSource> OpenAudio(const std::optional<std::filesystem::path>& path);

}  // namespace nimbrelle::host
