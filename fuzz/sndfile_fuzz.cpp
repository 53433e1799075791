// Hands the host's decoding any bytes as an audio file: libsndfile picks a decoder by what the
// bytes look like (WAV, FLAC, Ogg, MP3, AIFF and the rest), then the host plans frames, reads
// to the real end of the decoded audio and draws the analysis of a few frames. Every failure
// must be an Error naming the file, every sample read must be clean, and the length must end
// where the decoded audio does.
//
// Then the same bytes cut short, at a few points: a read may fail only before any audio has
// decoded; after that, a damaged file ends where it stops decoding. And one of the valid files
// in fuzz/seeds/sndfile, cut where the input's first bytes say: a truncated download must
// decode to a prefix of what the whole file decodes to, sample for sample, or to nothing. (Only
// a valid file promises that: bytes that hold two data chunks, say, decode the first when the
// second is cut off.)
//
// Input: the file's bytes, kept in a memory file whose /proc/self/fd path is what the host opens.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/selection.h"
#include "audio/source.h"
#include "base/error.h"
#include "nimbrelle/analysis/route.h"

namespace {

using namespace nimbrelle;
using namespace nimbrelle::host;

// Enough to reach the end of any small input's audio without spending long on a lying header.
constexpr int64_t MaxFramesRead = 1 << 18;

// A memory file holding `size` bytes of `data`; returns its path.
std::string MemoryFile(int which, const uint8_t* data, size_t size)
{
    static const int fds[3] = {memfd_create("nimbrelle-fuzz-input", 0), memfd_create("nimbrelle-fuzz-cut", 0),
                               memfd_create("nimbrelle-fuzz-seed", 0)};
    const int fd = fds[which];
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}

void RequireNamed(const Error& e, const std::string& path)
{
    if (std::string(e.what()).find(path) == std::string::npos) std::abort();  // every message names the file
}

// Reads up to `want` frames of `source` from its start into `samples`, `blockFrames` at a
// time, checking every sample is clean.
void ReadFrom(AudioSource& source, int64_t want, std::vector<float>& samples, int64_t blockFrames = 4096)
{
    std::vector<float> block(static_cast<std::size_t>(2 * blockFrames));
    source.Seek(0);
    while (static_cast<int64_t>(samples.size() / 2) < want) {
        const int64_t read = static_cast<int64_t>(samples.size() / 2);
        const auto n = source.Read(block.data(), static_cast<std::size_t>(std::min(want - read, blockFrames)));
        for (std::size_t i = 0; i < 2 * n; ++i) {
            if (!(block[i] >= -1.0f && block[i] <= 1.0f)) std::abort();  // not cleaned
        }
        samples.insert(samples.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(2 * n));
        if (n == 0) break;
    }
}

// The whole input decoded as a render would: its samples (empty when it is refused).
std::vector<float> DecodeWhole(const std::string& path)
{
    std::vector<float> samples;
    try {
        SndfileSource source(path, [](const std::string&) {});
        const analysis::FramePlan claimed = PlanFrames(source, 0.0, std::nullopt, FrameRate{60, 1});
        const int64_t want = std::min<int64_t>(claimed.end, MaxFramesRead);
        ReadFrom(source, want, samples);
        const auto read = static_cast<int64_t>(samples.size() / 2);
        if (read < want && source.Length() != read) std::abort();  // an end found but not kept
        const analysis::FramePlan plan = TrimToDecoded(claimed, read, source, 0.0);
        analysis::FrameFeed feed(source, plan, 1.0f);
        for (int64_t n = 0; n < std::min<int64_t>(plan.FrameCount(), 4); ++n) feed.Frame(n);
    } catch (const Error& e) {
        if (std::string(e.what()).find("--start") == std::string::npos) RequireNamed(e, path);
    }
    return samples;
}

// The first `cut` bytes of `data` decoded: nothing, or audio that does not fail once it has
// begun (read in small blocks, so that audio decoded before a failure is seen). Returns the
// samples.
std::vector<float> DecodeCut(const uint8_t* data, size_t cut)
{
    const std::string path = MemoryFile(1, data, cut);
    std::vector<float> samples;
    try {
        SndfileSource source(path, [](const std::string&) {});
        ReadFrom(source, MaxFramesRead, samples, 64);
    } catch (const Error& e) {
        RequireNamed(e, path);
        if (!samples.empty()) std::abort();  // failed after audio had decoded
        samples.clear();
    }
    return samples;
}

struct Seed {
    std::vector<uint8_t> bytes;
    std::vector<float> samples;
};

// The valid files of fuzz/seeds/sndfile and what each decodes to whole.
const std::vector<Seed>& Seeds()
{
    static const std::vector<Seed> seeds = [] {
        std::vector<Seed> all;
        for (const auto& entry : std::filesystem::directory_iterator(NIMBRELLE_FUZZ_SEEDS)) {
            std::ifstream in(entry.path(), std::ios::binary);
            Seed seed{{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}, {}};
            SndfileSource source(MemoryFile(2, seed.bytes.data(), seed.bytes.size()), [](const std::string&) {});
            ReadFrom(source, MaxFramesRead, seed.samples);
            if (seed.samples.empty()) std::abort();  // a seed that is not audio
            all.push_back(std::move(seed));
        }
        std::sort(all.begin(), all.end(), [](const Seed& a, const Seed& b) { return a.bytes < b.bytes; });
        if (all.empty()) std::abort();
        return all;
    }();
    return seeds;
}

}  // namespace

// libsndfile does not free the Vorbis header it has begun to read when an Ogg file ends inside
// its header pages (a cut Ogg file, here at every turn); nothing of the host's is in those blocks.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:vorbis_info_init\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 3) {
        // A valid file cut short decodes to a prefix of itself.
        const Seed& seed = Seeds()[data[0] % Seeds().size()];
        const size_t cut = (static_cast<size_t>(data[1]) << 8 | data[2]) % seed.bytes.size();
        const std::vector<float> samples = DecodeCut(seed.bytes.data(), cut);
        if (samples.size() > seed.samples.size() || !std::equal(samples.begin(), samples.end(), seed.samples.begin())) {
            std::abort();
        }
    }
    if (DecodeWhole(MemoryFile(0, data, size)).empty() || size < 2) return 0;
    // One byte short, three quarters and a half.
    for (const size_t cut : {size - 1, size * 3 / 4, size / 2}) {
        if (cut > 0) DecodeCut(data, cut);
    }
    return 0;
}
