// Live playback: the sound through the audio device and the module's frames in a window, the
// picture following the sound.
//
// The window and audio code lives in play.cpp. What decides which frame to draw is kept here
// as small classes without any window or device in them, so it can be tested on its own:
//
//   FramePlan        (the shared route's) the stretch of audio being played, cut into frames
//                    exactly as a render of the same --start and --duration cuts it;
//   FrameChooser     which frame to draw for the sample being heard: forward only, skipping
//                    frames when drawing falls behind;
//   SeekTarget       where a seek lands;
//   DeviceQueue      the sample being heard, from what was queued and what is still pending;
//   SmoothedPosition that position carried on by the wall clock between device buffers;
//   WallClock        the position when there is no audio device at all;
//   FrameFeed        (the shared route's) the FrameData of any frame, in any order, identical to
//                    what a render computes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "audio/source.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/route.h"
#include "nimbrelle/module.h"
#include "options/options.h"
#include "base/timing.h"

namespace nimbrelle::host {

// play: the shared options (size is the window's initial size; fps the rate at which records
// are cut) and fullscreen.
struct PlayOptions : CommandOptions {
    bool fullscreen = false;
};

// Plays the audio (or the demo) and shows the module's frames in a resizable window until the
// end of the range, a quit key or the window closing. Throws Error for a missing module or
// audio file or when no window can be opened; Interrupted after Ctrl-C or SIGTERM. Without an
// audio device it warns once and keeps time by the system clock.
void RunPlay(const PlayOptions& options);

// ---------------------------------------------------------------- choosing frames

using analysis::FrameFeed;
using analysis::FramePlan;

// Whole samples in a non-negative stretch of wall-clock time, rounded down.
inline int64_t SamplesIn(Clock::duration elapsed, int rate)
{
    if (elapsed <= Clock::duration::zero()) return 0;
    return static_cast<int64_t>(std::chrono::duration<double>(elapsed).count() * rate);
}

// Where a seek by `seconds` from the sample being heard lands: the first sample of the frame
// holding the target, so sound and picture restart together, and never before the range.
// Past the last sample it is the end of the range: the play is over.
inline int64_t SeekTarget(const FramePlan& plan, int64_t heard, double seconds)
{
    const int64_t target = heard + static_cast<int64_t>(std::llround(seconds * plan.rate));
    if (target >= plan.end) return plan.end;
    if (target <= plan.first) return plan.first;
    return plan.FrameStart(plan.FrameAt(target));
}

// Picks the frame to draw for the sample being heard. Frames only go forward: the frame being
// heard is drawn once, and when drawing falls behind, the frames in between are skipped
// rather than drawn late, so the picture never drifts from the sound. After a seek, Restart
// lets the frame at the new position be drawn, whichever way the seek went.
class FrameChooser {
public:
    explicit FrameChooser(const FramePlan& plan) : plan_(plan) {}

    // The frame to draw now, or nothing when it has been drawn already or the range is over.
    std::optional<int64_t> Choose(int64_t heard)
    {
        if (plan_.Finished(heard)) return std::nullopt;
        const int64_t frame = plan_.FrameAt(heard);
        if (last_ != NoFrame) {
            if (frame <= last_) return std::nullopt;
            skipped_ += frame - last_ - 1;
        }
        last_ = frame;
        ++drawn_;
        return frame;
    }

    void Restart() { last_ = NoFrame; }

    // The sample at which the next frame starts, when there is one to wait for.
    std::optional<int64_t> NextFrameStart() const
    {
        if (last_ == NoFrame || last_ + 1 >= plan_.FrameCount()) return std::nullopt;
        return plan_.FrameStart(last_ + 1);
    }

    int64_t Drawn() const { return drawn_; }
    int64_t Skipped() const { return skipped_; }

private:
    static constexpr int64_t NoFrame = -1;
    FramePlan plan_;
    int64_t last_ = NoFrame;
    int64_t drawn_ = 0;
    int64_t skipped_ = 0;
};

// What has been handed to the audio device. The queue holds the absolute samples
// [End() - pending, End()), so the sample being heard is the first one still pending (the
// latency of the device's own buffer is ignored).
class DeviceQueue {
public:
    void Restart(int64_t at) { end_ = at; }
    void Added(int64_t frames) { end_ += frames; }
    int64_t End() const { return end_; }
    int64_t Heard(int64_t pending) const { return end_ - pending; }
    // How many frames to queue so that `ahead` are pending, never past absolute sample `stop`.
    int64_t Wanted(int64_t pending, int64_t ahead, int64_t stop) const
    {
        return std::max<int64_t>(0, std::min(ahead - pending, stop - end_));
    }

private:
    int64_t end_ = 0;
};

// The device takes queued audio a buffer at a time, so "queued minus pending" moves in steps
// of a whole device buffer (5 to 50 ms), which would make frames come in bursts. Between
// steps the position is carried on by the wall clock from the latest step, never past
// `limit` (the next step, or the end of what is queued) and never backwards.
class SmoothedPosition {
public:
    explicit SmoothedPosition(int rate) : rate_(rate) {}

    // Starts again from `sample`: after a seek, or when the device resumes after a pause.
    void Reset(int64_t sample)
    {
        last_ = sample;
        device_.reset();
    }

    int64_t Update(int64_t device, int64_t limit, Clock::time_point now)
    {
        if (!device_ || device != *device_) {
            device_ = device;
            anchor_ = now;
        }
        const int64_t carried = std::min(device + SamplesIn(now - anchor_, rate_), std::max(device, limit));
        last_ = std::max(last_, carried);
        return last_;
    }

private:
    int rate_;
    int64_t last_ = 0;
    std::optional<int64_t> device_;
    Clock::time_point anchor_{};
};

// The position when there is no audio device: the wall clock from the last start, seek or
// resume, standing still while paused.
class WallClock {
public:
    WallClock(int rate, int64_t sample, Clock::time_point now) : rate_(rate), origin_(sample), since_(now) {}

    int64_t Sample(Clock::time_point now) const { return paused_ ? origin_ : origin_ + SamplesIn(now - since_, rate_); }
    bool Paused() const { return paused_; }
    void Pause(Clock::time_point now)
    {
        if (paused_) return;
        origin_ = Sample(now);
        paused_ = true;
    }
    void Resume(Clock::time_point now)
    {
        if (!paused_) return;
        since_ = now;
        paused_ = false;
    }
    void Seek(int64_t sample, Clock::time_point now)
    {
        origin_ = sample;
        since_ = now;
    }

private:
    int rate_;
    int64_t origin_;
    Clock::time_point since_;
    bool paused_ = false;
};

}  // namespace nimbrelle::host
