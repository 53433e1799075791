// Live capture without any device in it, so it can be tested on its own:
//
//   ChooseDevice    the capture device a --device request names;
//   MonitorOf       the capture device that carries what an output device plays;
//   CaptureQueue    the samples a capture callback delivers, handed to the drawing thread;
//   LiveTrack       the session's sound, kept in step with the frames: stalls become silence,
//                   bursts of backlog are skipped;
//   LiveStats       frames per second, the module's time per frame and the capture latency.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/timing.h"

namespace nimbrelle::host {

// Monitors (what an output plays, offered as an input) are listed by the sound server as
// "Monitor of <output>".
inline constexpr std::string_view MonitorPrefix = "Monitor of ";
bool IsMonitor(std::string_view device);

// The device among `devices` that `request` names: the one spelled exactly so, else the only
// one whose name holds it (ignoring case). Throws Error saying why none was chosen.
std::string ChooseDevice(const std::vector<std::string>& devices, std::string_view request);

// The monitor of the output `output`; without an output name, the only monitor there is.
std::optional<std::string> MonitorOf(const std::vector<std::string>& devices, const std::optional<std::string>& output);

using LiveClock = std::chrono::steady_clock;

// Stereo samples passed from the capture callback's thread to the drawing thread. Holds at
// most `capacity` frames; when the drawing thread falls further behind, the oldest are
// dropped. Allocates only in the constructor.
class CaptureQueue {
public:
    explicit CaptureQueue(std::size_t capacity);

    // Capture thread: appends `frames` interleaved stereo frames that arrived at `arrived`.
    void Push(const float* stereo, std::size_t frames, LiveClock::time_point arrived);

    struct Taken {
        std::size_t frames = 0;   // copied to the caller, oldest first
        std::size_t dropped = 0;  // lost to overflow since the last Take
        std::optional<LiveClock::time_point> arrived;  // when the newest of them arrived
    };
    // Drawing thread: moves everything queued into `out` (room for the capacity).
    Taken Take(std::vector<float>& out);

    std::size_t Capacity() const { return capacity_; }
    // True once any sample has arrived.
    bool Started() const;

private:
    mutable std::mutex mutex_;
    std::vector<float> ring_;
    std::size_t capacity_;
    std::size_t head_ = 0;  // the oldest queued frame
    std::size_t size_ = 0;
    std::size_t dropped_ = 0;
    bool started_ = false;
    std::optional<LiveClock::time_point> arrived_;
};

// The session's sound, sample by sample, in step with its frames: frame n is drawn when the
// track holds FrameStartSample(n) samples less at most `lead` (the capture's own delivery
// jitter). What is captured between two frames is appended, except
//   - a burst that would carry the track past the frame's start: its oldest samples are
//     skipped, so the newest sound is shown and heard, not replayed late;
//   - a stall, the track falling more than `stall` behind: silence fills the gap before the
//     next samples, placing them `lead` before the frame's start.
// The frame's record is analysed from the newest samples of the track.
class LiveTrack {
public:
    LiveTrack(int rate, FrameRate fps, int64_t lead, int64_t stall);

    struct Step {
        int64_t silence = 0;  // silent samples to append first
        std::size_t skip = 0;  // the oldest captured samples to drop
        std::size_t keep = 0;  // the captured samples to append after them
    };
    // The samples captured for frame `frame` (never less than the previous one's) number
    // `captured`; says what becomes of them, and counts them into the track.
    Step Advance(int64_t frame, std::size_t captured);

    int64_t Length() const { return length_; }
    int64_t Skipped() const { return skipped_; }
    int64_t Silence() const { return silence_; }

private:
    int rate_;
    FrameRate fps_;
    int64_t lead_;
    int64_t stall_;
    int64_t length_ = 0;
    int64_t skipped_ = 0;
    int64_t silence_ = 0;
};

// Rolling figures for the statistics overlay, over the latest second.
class LiveStats {
public:
    struct Figures {
        double fps = 0.0;
        double moduleMs = 0.0;   // the module's mean time per frame
        double latencyMs = 0.0;  // from the newest sample's capture to its frame
    };

    // One frame drawn at `at`, the module taking `module`, showing sound `latency` old.
    void Frame(LiveClock::time_point at, LiveClock::duration module, LiveClock::duration latency);
    // The figures of the latest completed second (zeros before the first one); true once a
    // second has completed since the last call.
    bool Update(LiveClock::time_point now);
    const Figures& Latest() const { return latest_; }

private:
    std::optional<LiveClock::time_point> since_;
    int frames_ = 0;
    double moduleSeconds_ = 0.0;
    double latencySeconds_ = 0.0;
    Figures latest_;
};

}  // namespace nimbrelle::host
