#include "track.h"

#include <algorithm>

namespace nimbrelle::obs {

namespace {

__extension__ typedef __int128 Wide;

constexpr int64_t NanosecondsPerSecond = 1'000'000'000;

}  // namespace

Pacing DefaultPacing(int rate)
{
    return Pacing{rate / 20, rate / 5, rate / 2};
}

Track::Track(int rate, analysis::FrameRate fps, Pacing pacing) : rate_(rate), fps_(fps), pacing_(pacing) {}

int64_t Track::Due(uint64_t ns)
{
    if (!clocked_) {
        clocked_ = true;
        clockNs_ = ns;
    }
    if (ns <= clockNs_) return clockFrame_;
    // OBS's frame times are whole nanoseconds a truncated interval apart (16666666 ns at 60
    // fps), so frame n comes a little before n / fps seconds: the nearest frame is the one.
    // ns - clockNs_ < 2^64 and fps.num <= 2^63: the products fit 128 bits.
    const Wide scale = static_cast<Wide>(fps_.den) * NanosecondsPerSecond;
    const Wide elapsed = (static_cast<Wide>(ns - clockNs_) * fps_.num + scale / 2) / scale;
    return clockFrame_ + static_cast<int64_t>(std::min<Wide>(elapsed, INT64_MAX / 2));
}

int64_t Track::FrameStart(int64_t frame) const
{
    return originSample_ + analysis::FrameStartSample(frame - originFrame_, rate_, fps_);
}

Track::Step Track::Take(int64_t due, std::size_t arrived)
{
    const int64_t clock = FrameStart(due);
    const int64_t reached = length_ + static_cast<int64_t>(arrived);
    Step step;
    const bool stalling = reached < clock - pacing_.stall || (stalled_ && arrived == 0);
    if (stalling) step.silence = std::max<int64_t>(0, clock - pacing_.lead - reached);
    stalled_ = arrived == 0 && (stalled_ || step.silence > 0);
    const int64_t over = reached + step.silence - (clock + pacing_.ahead);
    step.skip = over > 0 ? static_cast<std::size_t>(std::min<int64_t>(over, static_cast<int64_t>(arrived))) : 0;
    step.keep = arrived - step.skip;
    length_ += step.silence + static_cast<int64_t>(step.keep);
    return step;
}

void Track::Restart(int64_t frame, uint64_t ns)
{
    length_ = 0;
    stalled_ = false;
    originFrame_ = frame;
    originSample_ = 0;
    clocked_ = true;
    clockNs_ = ns;
    clockFrame_ = frame;
}

void Track::ChangeFps(analysis::FrameRate fps, int64_t next, uint64_t ns)
{
    const int64_t clock = FrameStart(Due(ns));
    originSample_ = FrameStart(next);
    originFrame_ = next;
    fps_ = fps;
    // The clock's frame at `ns` under the new rate: the one holding its old position.
    clockNs_ = ns;
    clockFrame_ = next + std::max<int64_t>(0, analysis::FrameAtSample(std::max<int64_t>(0, clock - originSample_), rate_, fps));
}

}  // namespace nimbrelle::obs
