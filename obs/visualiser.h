// One visualiser: a private copy of the module, its scene drawn on a worker thread of its own
// from the samples the audio callback leaves in a ring, frames handed to the graphics thread.
// Nothing here knows OBS: the source (source.cpp) feeds it the video clock and the samples,
// and uploads what it publishes.
//
// Threads:
//   - any thread (OBS's UI, scripts): Configure;
//   - the thread delivering the followed source's audio: Ring().Write / WriteSilence;
//   - OBS's graphics thread: Tick (once per video frame), Frames().TakeNewest / Front;
//   - the worker: everything else. It waits for ticks and draws every frame the track reaches,
//     in order, each exactly once: the module's scene moves on with each frame drawn, so a
//     frame is never left out; when the graphics thread falls behind, only uploads are.
// The graphics thread never waits for the worker: Tick bumps an atomic and wakes it, and the
// frames cross through FrameExchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_exchange.h"
#include "nimbrelle/analysis/analyser.h"
#include "nimbrelle/analysis/samples.h"
#include "nimbrelle/loader.h"
#include "nimbrelle/picture.h"
#include "sample_ring.h"
#include "track.h"

namespace nimbrelle::obs {

inline constexpr int MinSize = 1;
inline constexpr int MaxSize = 8192;
inline constexpr int DefaultWidth = 1280;
inline constexpr int DefaultHeight = 720;
inline constexpr double MaxGain = 1000.0;

struct Settings {
    int width = DefaultWidth;
    int height = DefaultHeight;
    float gain = 1.0f;
    picture::Background background = picture::Background::Blue;
    // The module file; empty when none was found (the error says where it looked).
    std::filesystem::path module;
    std::string moduleError;
};

// Clamps a size setting from OBS's integer (any value) to MinSize..MaxSize.
int ClampSize(long long value);
// A gain setting from OBS's double (any value, NaN included) as the analysis's float: 0 to
// MaxGain, NaN as 1.
float ClampGain(double value);

class Visualiser {
public:
    using Log = std::function<void(bool error, const std::string& line)>;
    using Housekeeping = std::function<void()>;

    // `rate`: OBS's mixing rate; `fps`: its video rate. `log` writes one line to OBS's log (an
    // error or news); `housekeeping` runs on the worker before each pass (following the audio source).
    Visualiser(int rate, analysis::FrameRate fps, const Settings& settings, Log log, Housekeeping housekeeping);
    ~Visualiser();
    Visualiser(const Visualiser&) = delete;
    Visualiser& operator=(const Visualiser&) = delete;

    // Any thread: the worker takes the new settings before its next frame. A new module file
    // loads a new copy (a fresh scene); a new size or background changes the next frame.
    void Configure(const Settings& settings);

    // Graphics thread: OBS's video frame at `ns` (its frame time), at `fps`.
    void Tick(uint64_t ns, analysis::FrameRate fps);
    // Whether the source is shown anywhere. The scene starts with the first frame shown, from
    // silence (the track starts there); while the source is hidden after that, the scene
    // pauses: frames are not drawn, and the samples that come are only counted into the track.
    void SetShowing(bool showing) { showing_.store(showing, std::memory_order_relaxed); }

    SampleRing& Ring() { return ring_; }
    FrameExchange& Frames() { return frames_; }

    // Stops the worker and waits for it (the destructor does too). Housekeeping no longer runs
    // once this returns.
    void Stop();

    // What the worker has done, for tests and the log.
    struct Counts {
        int64_t drawn = 0;    // frames the module drew
        int64_t paused = 0;   // frames passed while not shown
        int64_t silence = 0;  // samples of silence put on the track
        int64_t skipped = 0;  // captured samples left out
        int64_t drawNs = 0;   // the worker's time in the frames it drew: analysis, module, conversion
    };
    Counts Snapshot() const;

private:
    void Run();
    void Pass(uint64_t ns, analysis::FrameRate fps);
    void ApplySettings();
    void LoadModule();
    // Appends `frames` stereo frames (null: silence) to the track, drawing every frame whose
    // start they reach (or, with `draw` false, passing it by).
    void Feed(const float* stereo, int64_t frames, bool draw);
    void DrawFrame();
    void PublishNothing();
    // Drops the module and says why, once: nothing is drawn until the settings change.
    void Fail(const std::string& line);

    Log log_;
    Housekeeping housekeeping_;
    SampleRing ring_;
    FrameExchange frames_;

    // Set by Configure, taken by the worker.
    std::mutex settingsMutex_;
    Settings pending_;
    bool changed_ = true;

    std::atomic<uint64_t> tickNs_{0};
    std::atomic<int64_t> fpsNum_;
    std::atomic<int64_t> fpsDen_;
    std::atomic<uint64_t> ticks_{0};
    std::atomic<bool> showing_{false};
    std::atomic<bool> stop_{false};

    // The worker's own.
    Settings settings_;
    std::unique_ptr<loader::Module> module_;
    std::filesystem::path loaded_;
    bool failed_ = false;  // the module could not be loaded or refused a frame: nothing is drawn
    std::unique_ptr<analysis::Analyser> analyser_;
    analysis::SampleHistory history_;
    Track track_;
    std::vector<float> taken_;  // samples read from the ring in one pass
    int64_t next_ = 0;          // the next frame to draw
    int64_t position_ = 0;      // samples pushed into history_
    bool started_ = false;      // a frame was due while the source was shown
    FrameData record_{};

    std::atomic<int64_t> drawn_{0};
    std::atomic<int64_t> paused_{0};
    std::atomic<int64_t> silence_{0};
    std::atomic<int64_t> skipped_{0};
    std::atomic<int64_t> drawNs_{0};

    std::thread worker_;
};

}  // namespace nimbrelle::obs
