#include "live/capture.h"

#include <algorithm>
#include <limits>

namespace nimbrelle::host {

// ---------------------------------------------------------------- CaptureQueue

CaptureQueue::CaptureQueue(std::size_t capacity) : ring_(2 * std::max<std::size_t>(capacity, 1)), capacity_(std::max<std::size_t>(capacity, 1)) {}

void CaptureQueue::Push(const float* stereo, std::size_t frames, Clock::time_point arrived)
{
    const std::lock_guard lock(mutex_);
    arrived_ = arrived;
    if (frames > capacity_) {  // only the newest fit
        dropped_ += frames - capacity_;
        stereo += 2 * (frames - capacity_);
        frames = capacity_;
    }
    if (size_ + frames > capacity_) {  // make room by dropping the oldest
        const std::size_t drop = size_ + frames - capacity_;
        head_ = (head_ + drop) % capacity_;
        size_ -= drop;
        dropped_ += drop;
    }
    std::size_t tail = (head_ + size_) % capacity_;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t run = std::min(frames - done, capacity_ - tail);
        std::copy_n(stereo + 2 * done, 2 * run, ring_.begin() + static_cast<std::ptrdiff_t>(2 * tail));
        done += run;
        tail = (tail + run) % capacity_;
    }
    size_ += frames;
}

CaptureQueue::Taken CaptureQueue::TakeLocked(std::vector<float>& out, Portion portion)
{
    const std::size_t drop = std::min(portion.drop, size_);
    head_ = (head_ + drop) % capacity_;
    size_ -= drop;
    const std::size_t take = std::min(portion.take, size_);
    Taken taken{take, dropped_, arrived_};
    if (out.size() < 2 * take) out.resize(2 * capacity_);
    for (std::size_t done = 0; done < take;) {
        const std::size_t from = (head_ + done) % capacity_;
        const std::size_t run = std::min(take - done, capacity_ - from);
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(2 * from), 2 * run,
                    out.begin() + static_cast<std::ptrdiff_t>(2 * done));
        done += run;
    }
    head_ = (head_ + take) % capacity_;
    size_ -= take;
    dropped_ = 0;
    return taken;
}

// ---------------------------------------------------------------- LiveTrack

LiveTrack::LiveTrack(int rate, FrameRate fps, int64_t lead, int64_t stall, int64_t settle)
    : rate_(rate), fps_(fps), lead_(std::max<int64_t>(0, lead)), stall_(std::max(stall, lead_)),
      settle_(std::max<int64_t>(1, settle))
{
    Watch(0);
}

void LiveTrack::Watch(int64_t sample)
{
    watchFrom_ = sample;
    watched_ = false;
    lowest_ = std::numeric_limits<int64_t>::max();
    highest_ = std::numeric_limits<int64_t>::min();
}

LiveTrack::Step LiveTrack::Advance(int64_t frame, std::size_t queued)
{
    const int64_t start = FrameStartSample(frame, rate_, fps_);
    const auto waiting = static_cast<int64_t>(queued);
    // Where the track would end with everything queued appended: this far before the frame's
    // start (negative: past it).
    const int64_t behind = start - length_ - waiting;
    const bool first = waiting_ && queued > 0;
    Step step;
    if (behind < -stall_ || (first && behind < 0)) {
        step.skip = static_cast<std::size_t>(-behind);  // the newest end at the frame's start
        Watch(start);
    } else if (behind > stall_ || (first && behind > lead_)) {
        step.silence = behind - lead_;  // the newest end `lead` before the frame's start
        Watch(start);
        if (queued == 0) waiting_ = true;
    } else {
        if (queued > 0) {
            watched_ = true;
            lowest_ = std::min(lowest_, behind);
            highest_ = std::max(highest_, behind);
        }
        if (start - watchFrom_ >= settle_) {
            // Neither more silence than the frame's start leaves room for, nor more skipped
            // than is queued.
            if (watched_ && lowest_ > lead_) {
                step.silence = std::min(lowest_, start - length_);
            } else if (watched_ && highest_ < -lead_) {
                step.skip = static_cast<std::size_t>(std::min(-highest_, waiting));
            }
            Watch(start);
        }
    }
    if (queued > 0) waiting_ = false;
    const int64_t room = std::max<int64_t>(0, start - length_ - step.silence);
    step.keep = static_cast<std::size_t>(std::min(waiting - static_cast<int64_t>(step.skip), room));
    length_ += step.silence + static_cast<int64_t>(step.keep);
    skipped_ += static_cast<int64_t>(step.skip);
    silence_ += step.silence;
    return step;
}

}  // namespace nimbrelle::host
