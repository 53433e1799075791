// Writes the FrameData records `nimbrelle render` draws for an audio file, for the browser
// tests to compare with the page's: the file decoded and planned as render does (the whole
// file at 60 fps, gain 1) and every frame's record from the same FrameFeed, 1540 bytes each.
//   wav_records AUDIO OUT.bin
#include <cstdio>
#include <exception>
#include <fstream>
#include <optional>

#include "audio/selection.h"
#include "audio/source.h"
#include "nimbrelle/analysis/route.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: wav_records AUDIO OUT.bin\n");
        return 2;
    }
    try {
        namespace host = nimbrelle::host;
        const auto audio = host::OpenAudio(std::filesystem::path(argv[1]));
        const auto plan = host::PlanFrames(*audio, 0.0, std::nullopt, host::FrameRate{60, 1});
        nimbrelle::analysis::FrameFeed feed(*audio, plan, 1.0f);
        std::ofstream out(argv[2], std::ios::binary);
        for (int64_t n = 0; n < plan.FrameCount(); ++n) {
            out.write(reinterpret_cast<const char*>(&feed.Frame(n)), sizeof(FrameData));
        }
        out.close();
        if (!out) {
            std::fprintf(stderr, "wav_records: cannot write %s\n", argv[2]);
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wav_records: %s\n", error.what());
        return 1;
    }
    return 0;
}
