#include "audio_queue.h"

#include <algorithm>
#include <cstdlib>

namespace nimbrelle::vlc {

namespace analysis = nimbrelle::analysis;

AudioQueue::AudioQueue(int rate, int channels, analysis::FrameRate fps, std::size_t capacity)
    : rate_(rate),
      channels_(std::max(1, channels)),
      fps_(fps),
      ring_(2 * std::max<std::size_t>(1, capacity)),
      chunk_(ChunkFrames * static_cast<std::size_t>(std::max(1, channels))),
      capacity_(std::max<std::size_t>(1, capacity))
{
}

Micros AudioQueue::TimeOf(int64_t sample) const
{
    // The latest run that starts at or before the sample (the first one if none does).
    std::size_t i = 0;
    while (i + 1 < runCount_ && runs_[i + 1].sample <= sample) ++i;
    const Run& run = runs_[i];
    __extension__ using Int128 = __int128;
    const Int128 offset = static_cast<Int128>(sample - run.sample) * 1'000'000 / rate_;
    return run.pts + static_cast<Micros>(offset);
}

void AudioQueue::Push(const float* interleaved, std::size_t frames, Micros pts)
{
    if (frames == 0 || interleaved == nullptr) return;
    const auto channels = static_cast<std::size_t>(channels_);
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        const bool continues = runCount_ > 0 && std::abs(pts - TimeOf(written_)) <= Tolerance;
        if (!continues) {
            if (runCount_ == MaxRuns) --runCount_;
            runs_[runCount_++] = Run{written_, pts};
        }

        // The ring ends up holding at most the newest capacity_ samples.
        const auto total = static_cast<int64_t>(frames);
        const auto capacity = static_cast<int64_t>(capacity_);
        const int64_t end = written_ + total;
        if (end - read_ > capacity) {
            read_ = end - capacity;
            discarded_ = true;
        }
        const int64_t first = std::max(written_, end - capacity);
        interleaved += static_cast<std::size_t>(first - written_) * channels;
        for (int64_t at = first; at < end;) {
            const auto slot = static_cast<std::size_t>(at % capacity);
            const std::size_t count =
                std::min({ChunkFrames, static_cast<std::size_t>(end - at), capacity_ - slot});
            std::copy_n(interleaved, count * channels, chunk_.data());
            analysis::CleanSamples(chunk_.data(), count * channels);
            analysis::MixToStereo(chunk_.data(), count, channels_, ring_.data() + 2 * slot);
            interleaved += count * channels;
            at += static_cast<int64_t>(count);
        }
        written_ = end;
    }
    wake_.notify_one();
}

void AudioQueue::Flush()
{
    std::lock_guard lock(mutex_);
    written_ = 0;
    read_ = 0;
    next_ = 0;
    runCount_ = 0;
    discarded_ = false;
    restart_ = true;
}

void AudioQueue::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
    idle_.notify_all();
}

bool AudioQueue::WaitUntilDrawn(std::chrono::microseconds limit)
{
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [this] {
        return stopped_ || (waiting_ && analysis::FrameStartSample(next_, rate_, fps_) >= written_);
    }) && !stopped_;
}

int64_t AudioQueue::Skipped() const
{
    std::lock_guard lock(mutex_);
    return skipped_;
}

void AudioQueue::MoveInto(analysis::SampleHistory& history, int64_t end)
{
    // Only the newest WindowSize samples stay in a history.
    int64_t at = std::max(read_, end - analysis::WindowSize);
    const auto capacity = static_cast<int64_t>(capacity_);
    while (at < end) {
        const auto slot = static_cast<std::size_t>(at % capacity);
        const std::size_t count = std::min(static_cast<std::size_t>(end - at), capacity_ - slot);
        history.Push(ring_.data() + 2 * slot, count, 2);
        at += static_cast<int64_t>(count);
    }
    read_ = end;
}

bool AudioQueue::Next(analysis::SampleHistory& history, FrameJob& job)
{
    std::unique_lock lock(mutex_);
    int64_t start = 0;
    for (;;) {
        if (stopped_) return false;
        if (restart_ || discarded_) {
            history.Clear();
            restart_ = false;
            discarded_ = false;
        }
        start = analysis::FrameStartSample(next_, rate_, fps_);
        if (start < read_) {
            // Its samples were discarded: go on with the first frame that starts after them.
            const int64_t resume = analysis::FrameCountFor(read_, rate_, fps_);
            skipped_ += resume - next_;
            next_ = resume;
            continue;
        }
        if (start < written_) break;
        waiting_ = true;
        idle_.notify_all();
        wake_.wait(lock);
        waiting_ = false;
    }
    MoveInto(history, start);
    job.index = next_++;
    job.start = start;
    job.date = TimeOf(start);
    job.milliseconds = analysis::SampleToMilliseconds(start, rate_);
    // Runs that ended before the samples still queued are no longer needed.
    std::size_t drop = 0;
    while (drop + 1 < runCount_ && runs_[drop + 1].sample <= read_) ++drop;
    if (drop > 0) {
        std::copy(runs_.begin() + static_cast<std::ptrdiff_t>(drop),
                  runs_.begin() + static_cast<std::ptrdiff_t>(runCount_), runs_.begin());
        runCount_ -= drop;
    }
    return true;
}

}  // namespace nimbrelle::vlc
