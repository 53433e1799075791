#include "live/capture.h"

#include <algorithm>

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

CaptureQueue::Taken CaptureQueue::Take(std::vector<float>& out)
{
    const std::lock_guard lock(mutex_);
    Taken taken{size_, dropped_, arrived_};
    if (out.size() < 2 * size_) out.resize(2 * capacity_);
    for (std::size_t done = 0; done < size_;) {
        const std::size_t from = (head_ + done) % capacity_;
        const std::size_t run = std::min(size_ - done, capacity_ - from);
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(2 * from), 2 * run,
                    out.begin() + static_cast<std::ptrdiff_t>(2 * done));
        done += run;
    }
    head_ = 0;
    size_ = 0;
    dropped_ = 0;
    return taken;
}

// ---------------------------------------------------------------- LiveTrack

LiveTrack::LiveTrack(int rate, FrameRate fps, int64_t lead, int64_t stall)
    : rate_(rate), fps_(fps), lead_(std::max<int64_t>(0, lead)), stall_(std::max(stall, lead_))
{
}

LiveTrack::Step LiveTrack::Advance(int64_t frame, std::size_t captured)
{
    const int64_t start = FrameStartSample(frame, rate_, fps_);
    const auto room = static_cast<std::size_t>(std::max<int64_t>(0, start - length_));
    Step step;
    step.keep = std::min(captured, room);
    step.skip = captured - step.keep;
    const int64_t reached = length_ + static_cast<int64_t>(step.keep);
    if (reached < start - stall_) step.silence = start - lead_ - reached;
    length_ = reached + step.silence;
    skipped_ += static_cast<int64_t>(step.skip);
    silence_ += step.silence;
    return step;
}

}  // namespace nimbrelle::host
