// Measures, in a headless OBS: the visualiser's time per frame (from its closing log line) and
// the process's CPU share with and without it. Not a test: the numbers depend on the machine.
//
//   nimbrelle_obs_measure WIDTH HEIGHT SECONDS tone|quiet|none
//
// "none" shows a scene with only a colour source of the same size, for OBS's own share.
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "obs_harness.h"

using namespace nimbrelle::obs::test;

namespace {

float Tone(int64_t sample, int)
{
    return static_cast<float>(0.5 * std::sin(2.0 * M_PI * static_cast<double>(sample % 100) / 100.0));
}

float Quiet(int64_t, int)
{
    return 0.0f;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT SECONDS tone|quiet|none\n", argv[0]);
        return 2;
    }
    const auto width = static_cast<uint32_t>(std::atoi(argv[1]));
    const auto height = static_cast<uint32_t>(std::atoi(argv[2]));
    const double seconds = std::atof(argv[3]);
    const std::string signal = argv[4];
    std::string error;
    if (!StartObs(VideoSize{width, height}, &error) || !LoadPlugin(NIMBRELLE_OBS_PLUGIN, NIMBRELLE_OBS_DATA)) {
        std::fprintf(stderr, "cannot start OBS: %s\n", error.c_str());
        return 1;
    }
    obs_source_t* audio = obs_source_create(ToneId, "audio", nullptr, nullptr);
    TonePusher pusher(audio, signal == "tone" ? Tone : Quiet);
    obs_source_t* shown =
        signal == "none"
            ? CreateColour("colour", 0xFF204060u, width, height)
            : CreateVisualiser("vis", "{\"audio_source\": \"audio\", \"width\": " + std::to_string(width) +
                                          ", \"height\": " + std::to_string(height) + "}");
    obs_scene_t* scene = ShowScene("scene", {shown});
    Wait(2.0);  // settled
    const double before = CpuSeconds();
    Wait(seconds);
    const double used = CpuSeconds() - before;
    HideScene(scene);
    pusher.Stop();
    obs_source_release(shown);
    obs_source_release(audio);
    obs_wait_for_destroy_queue();
    for (const std::string& line : LogLines()) {
        if (line.find("drew ") != std::string::npos) std::printf("%s\n", line.c_str());
    }
    std::printf("%ux%u %s: the process used %.1f%% of one core over %.0f s\n", width, height, signal.c_str(),
                100.0 * used / seconds, seconds);
    StopObs();
    return 0;
}
