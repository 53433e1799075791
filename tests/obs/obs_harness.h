// Real libobs, headless, for the OBS source's tests: an X server of the test's own (Xvfb,
// started and stopped by pid), Mesa's software OpenGL through EGL, OBS started with its
// OpenGL renderer and BGRA output, a test tone and a solid colour source, and the frames OBS
// outputs collected through its raw video callback.
//
// One OBS per process (ctest runs each test case in a process of its own): the first test to
// ask starts it; it is shut down at exit, where OBS's count of its own allocations must have
// come back to zero.
#pragma once

#include <obs.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbrelle::obs::test {

inline constexpr int Rate = 48000;
inline constexpr int Fps = 60;

struct VideoSize {
    uint32_t width = 192;
    uint32_t height = 108;
};

// Starts Xvfb and OBS (once per process) at `size`; false with the reason in `error`.
bool StartObs(VideoSize size, std::string* error);
// Shuts OBS down, stops the X server; returns OBS's count of allocations still held.
long StopObs();

// LeakSanitizer's check of the memory no one can reach any more, now; 0 when it finds none
// or the build has no LeakSanitizer.
int CheckLeaksNow();

// Loads an OBS plug-in file with its data folder; false when it does not load or init.
bool LoadPlugin(const std::filesystem::path& file, const std::filesystem::path& data);
// Whether OBS lists `id` among its input source types.
bool InputTypeListed(const std::string& id);

// OBS's log lines since the session started (or since ClearLog).
std::vector<std::string> LogLines();
void ClearLog();
// Log lines containing `part`.
int CountLog(const std::string& part);

// The registered test sources' ids.
inline constexpr const char* ToneId = "nimbrelle_test_tone";
inline constexpr const char* ColourId = "nimbrelle_test_colour";

// A source of the test tone type whose samples a thread of the test pushes in real time with
// obs_source_output_audio, packets of `packet` frames, from a function of the sample index.
class TonePusher {
public:
    using Signal = float (*)(int64_t sample, int channel);
    TonePusher(obs_source_t* source, Signal signal, int packet = 800);
    ~TonePusher();
    void Stop();
    int64_t Pushed() const { return pushed_.load(); }

private:
    void Run();
    obs_source_t* source_;
    Signal signal_;
    int packet_;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> pushed_{0};
    std::thread thread_;
};

// A 0xAARRGGBB colour for a colour source's settings ("color").
obs_source_t* CreateColour(const char* name, uint32_t argb, uint32_t width, uint32_t height);

// The frames OBS outputs, as BGRA bytes, from the moment this is made until it is destroyed.
class FrameCatcher {
public:
    FrameCatcher();
    ~FrameCatcher();
    // Frames caught so far, moved out.
    std::vector<std::vector<uint8_t>> Take();
    std::size_t Count();

private:
    static void Caught(void* param, struct video_data* frame);
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> frames_;
};

// Runs until `seconds` have passed.
void Wait(double seconds);

// A scene named `name` shown as OBS's output, holding `sources` bottom to top, one over the
// other at the top left or side by side from left to right.
enum class Layout { Stacked, SideBySide };
obs_scene_t* ShowScene(const char* name, const std::vector<obs_source_t*>& sources,
                       Layout layout = Layout::SideBySide);
void HideScene(obs_scene_t* scene);

// The visualiser with `settings` (a JSON object) named `name`.
obs_source_t* CreateVisualiser(const char* name, const std::string& settingsJson);

}  // namespace nimbrelle::obs::test
