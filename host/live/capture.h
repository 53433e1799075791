// Live sound without any device in it, so it can be tested on its own:
//
//   CaptureQueue    the samples a capture callback delivers, handed to the drawing thread;
//   LiveTrack       the session's sound, kept in step with the frames: each frame shows the
//                   sound up to its start; stalls become silence, bursts of backlog are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/timing.h"

namespace nimbrelle::host {

// Stereo samples passed from the capture callback's thread to the drawing thread. Holds at
// most `capacity` frames; when the drawing thread falls further behind, the oldest are
// dropped. Allocates only in the constructor.
class CaptureQueue {
public:
    explicit CaptureQueue(std::size_t capacity);

    // Capture thread: appends `frames` interleaved stereo frames that arrived at `arrived`.
    void Push(const float* stereo, std::size_t frames, Clock::time_point arrived);

    struct Taken {
        std::size_t frames = 0;   // copied to the caller, oldest first
        std::size_t dropped = 0;  // lost to overflow since the last Take
        std::optional<Clock::time_point> arrived;  // when the newest frame queued arrived
    };
    // What the drawing thread does with the frames queued: drops the oldest `drop`, then takes
    // at most `take` of the next; the rest stay queued.
    struct Portion {
        std::size_t drop = 0;
        std::size_t take = 0;
    };

    // Drawing thread: moves everything queued into `out` (room for the capacity).
    Taken Take(std::vector<float>& out)
    {
        return Take(out, [](std::size_t queued) { return Portion{0, queued}; });
    }
    // Drawing thread: `plan(queued)`, called with the queue locked so nothing arrives or
    // overflows meanwhile, says what becomes of the `queued` frames; those taken are moved into
    // `out` (room for the capacity).
    template <class Plan>
    Taken Take(std::vector<float>& out, Plan&& plan)
    {
        const std::lock_guard lock(mutex_);
        return TakeLocked(out, plan(size_));
    }

    std::size_t Capacity() const { return capacity_; }

private:
    Taken TakeLocked(std::vector<float>& out, Portion portion);

    mutable std::mutex mutex_;
    std::vector<float> ring_;
    std::size_t capacity_;
    std::size_t head_ = 0;  // the oldest queued frame
    std::size_t size_ = 0;
    std::size_t dropped_ = 0;
    std::optional<Clock::time_point> arrived_;
};

// The session's sound, sample by sample, in step with its frames: frame n is drawn when the
// track ends at FrameStartSample(n), or at most a little before it (the capture's delivery
// jitter). Samples are appended in the order captured; those that would carry the track past
// the frame's start wait, queued, for the next frame, so a frame never shows sound from after
// its own start and jitter loses nothing. The track is realigned, silence filling a gap or the
// oldest queued samples dropped, only
//   - at once, when the track falls more than `stall` behind (nothing arrives: the frames turn
//     silent) or the queue runs more than `stall` ahead (a backlog delivered in one burst: the
//     newest sound is shown and heard, not replayed late);
//   - at the first samples, and the first after a stall: they are placed to end between `lead`
//     before the frame's start and the start itself, wherever the start-up left them;
//   - when, over a stretch of `settle` samples of frames, the track stayed more than `lead`
//     behind (a lag the start-up or a slow capture clock left) or the queue stayed more than
//     `lead` ahead (a fast one): the least of the lags is filled with silence, or the least of
//     the surpluses dropped.
// So once the capture delivers steadily, the frames show the sound up to their start, as a
// render of the recorded sound would, within `lead` and the capture's jitter. The frame's
// record is analysed from the newest samples of the track.
class LiveTrack {
public:
    LiveTrack(int rate, FrameRate fps, int64_t lead, int64_t stall, int64_t settle);

    struct Step {
        int64_t silence = 0;   // silent samples to append first
        std::size_t skip = 0;  // the oldest queued samples to drop
        std::size_t keep = 0;  // the queued samples to append after them; the rest stay queued
    };
    // Frame `frame` (never less than the previous one's) is due with `queued` samples waiting;
    // says what becomes of them, and counts them into the track.
    Step Advance(int64_t frame, std::size_t queued);

    int64_t Length() const { return length_; }
    int64_t Skipped() const { return skipped_; }
    int64_t Silence() const { return silence_; }

private:
    // Starts a new stretch of frames to watch for a lasting lag or surplus, from `sample`.
    void Watch(int64_t sample);

    int rate_;
    FrameRate fps_;
    int64_t lead_;
    int64_t stall_;
    int64_t settle_;
    int64_t length_ = 0;
    int64_t skipped_ = 0;
    int64_t silence_ = 0;
    bool waiting_ = true;  // nothing has arrived since the start or the last stall
    int64_t watchFrom_ = 0;
    bool watched_ = false;  // samples were queued at some frame of the stretch
    int64_t lowest_ = 0;    // the least and the most the track would have ended before its
    int64_t highest_ = 0;   // frame's start, over the stretch
};

}  // namespace nimbrelle::host
