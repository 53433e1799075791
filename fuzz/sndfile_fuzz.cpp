// Hands the host's decoding any bytes as an audio file: libsndfile picks a decoder by what the
// bytes look like (WAV, FLAC, Ogg, MP3, AIFF and the rest), then the host plans frames, reads
// to the real end of the decoded audio and draws the analysis of a few frames. Every failure
// must be an Error naming the file, every sample read must be clean, and the length must end
// where the decoded audio does.
//
// Input: the file's bytes, kept in a memory file whose /proc/self/fd path is what the host opens.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
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

int MemoryFile()
{
    static const int fd = memfd_create("nimbrelle-fuzz-input", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = MemoryFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        SndfileSource source(path);
        const analysis::FramePlan claimed = PlanFrames(source, 0.0, std::nullopt, FrameRate{60, 1});
        const int64_t want = std::min<int64_t>(claimed.end, MaxFramesRead);
        std::vector<float> block(2 * 4096);
        int64_t read = 0;
        source.Seek(0);
        while (read < want) {
            const auto n = source.Read(block.data(), static_cast<std::size_t>(std::min<int64_t>(want - read, 4096)));
            for (std::size_t i = 0; i < 2 * n; ++i) {
                if (!(block[i] >= -1.0f && block[i] <= 1.0f)) std::abort();  // not cleaned
            }
            read += static_cast<int64_t>(n);
            if (n == 0) break;
        }
        if (read < want && source.Length() != read) std::abort();  // an end found but not kept
        const analysis::FramePlan plan = TrimToDecoded(claimed, read, source, 0.0);
        analysis::FrameFeed feed(source, plan, 1.0f);
        for (int64_t n = 0; n < std::min<int64_t>(plan.FrameCount(), 4); ++n) feed.Frame(n);
    } catch (const Error& e) {
        if (std::string(e.what()).find(path) == std::string::npos && std::string(e.what()).find("--start") == std::string::npos) {
            std::abort();  // every message names the file
        }
    }
    return 0;
}
