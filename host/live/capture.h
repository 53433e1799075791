// Live sound without any device in it, so it can be tested on its own:
//
//   CaptureQueue    the samples a capture callback delivers, handed to the drawing thread;
//   LiveTrack       the session's sound, kept in step with the frames: stalls become silence,
//                   bursts of backlog are skipped.
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
        std::optional<Clock::time_point> arrived;  // when the newest of them arrived
    };
    // Drawing thread: moves everything queued into `out` (room for the capacity).
    Taken Take(std::vector<float>& out);

    std::size_t Capacity() const { return capacity_; }

private:
    mutable std::mutex mutex_;
    std::vector<float> ring_;
    std::size_t capacity_;
    std::size_t head_ = 0;  // the oldest queued frame
    std::size_t size_ = 0;
    std::size_t dropped_ = 0;
    std::optional<Clock::time_point> arrived_;
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

}  // namespace nimbrelle::host
