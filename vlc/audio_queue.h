// The samples between VLC's audio thread and the plug-in's drawing thread, and where the
// frames fall in them.
//
// The audio filter pushes every block it passes on (float samples, any channel count, stamped
// with the presentation time of its first sample); the drawing thread asks for one frame at a
// time. Frame n starts at stream sample FrameStartSample(n, rate, fps), counted from the first
// sample after the queue was made or flushed, and its record is made from the samples before
// that start: Next() moves exactly those into the caller's SampleHistory, so the records are
// the ones `nimbrelle render` computes for the same samples.
//
// Samples are cleaned (CleanSamples) and mixed to stereo (MixToStereo) as they come in, as every
// front end does where it receives audio, and kept in a ring of fixed size allocated up front:
// nothing is allocated per block or per frame. The ring is the queue's bound. If the drawing
// thread falls so far behind that a block does not fit, the oldest samples not yet taken are
// discarded; the frames that started in them are skipped (counted in Skipped()), and drawing
// resumes with the first frame that starts after them, its history silent before the gap.
//
// Presentation times: each block's timestamp is the time of its first sample. While blocks
// follow on from each other (a timestamp within Tolerance of the time the previous block's
// samples extrapolate to), a frame's time is extrapolated from the block that began the run;
// a block that jumps (after a pause, a stall, a clock adjustment) starts a new run. A bounded
// list of these run starts is kept; when it is full the newest entry is replaced.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/samples.h"

namespace nimbrelle::vlc {

// Microseconds on VLC's clock.
using Micros = int64_t;

// One frame to draw.
struct FrameJob {
    int64_t index = 0;          // frame n of the stream
    int64_t start = 0;          // its first sample, counted from the stream's start
    Micros date = 0;            // the presentation time of that sample
    uint32_t milliseconds = 0;  // the record's `leading`: SampleToMilliseconds(start)
};

class AudioQueue {
public:
    // How far a block's timestamp may stray from where the previous blocks' samples put it
    // and still continue their run.
    static constexpr Micros Tolerance = 2000;
    // Run starts kept (see above).
    static constexpr std::size_t MaxRuns = 64;
    // Input frames cleaned and mixed at a time.
    static constexpr std::size_t ChunkFrames = 1024;

    // `rate` within analysis::MinSampleRate..MaxSampleRate, `channels` >= 1, room for
    // `capacity` sample frames (> 0).
    AudioQueue(int rate, int channels, analysis::FrameRate fps, std::size_t capacity);
    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    // Audio thread: appends `frames` interleaved frames stamped `pts` (the time of the first).
    // Never waits for the drawing thread beyond the short copy under the lock.
    void Push(const float* interleaved, std::size_t frames, Micros pts);
    // Audio thread: forgets every queued sample; the next block starts the stream (and the
    // frame count) afresh, and the next frame's history is silent.
    void Flush();
    // Any thread: Next() returns false from now on, at once.
    void Stop();
    // Audio thread, at the end of the stream: waits until the drawing thread is back in Next()
    // with every frame whose first sample has arrived drawn, for at most `limit`. False when
    // the time ran out or the queue was stopped.
    bool WaitUntilDrawn(std::chrono::microseconds limit);

    // Drawing thread: waits until the first sample of the next frame has arrived, moves the
    // samples before it into `history` (cleared first when the stream restarted or samples were
    // discarded), fills `job` and returns true; returns false once stopped.
    bool Next(analysis::SampleHistory& history, FrameJob& job);

    int Rate() const { return rate_; }
    // Frames skipped because their samples were discarded (see above).
    int64_t Skipped() const;

private:
    struct Run {
        int64_t sample = 0;  // the first sample of the run
        Micros pts = 0;      // its presentation time
    };

    Micros TimeOf(int64_t sample) const;  // under the lock
    void MoveInto(analysis::SampleHistory& history, int64_t end);

    const int rate_;
    const int channels_;
    const analysis::FrameRate fps_;
    std::vector<float> ring_;   // stereo frames: 2 * capacity floats
    std::vector<float> chunk_;  // ChunkFrames input frames, cleaned
    const std::size_t capacity_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;   // the drawing thread: samples came, or a stop
    std::condition_variable idle_;   // WaitUntilDrawn: the drawing thread waits for samples
    bool waiting_ = false;           // the drawing thread waits in Next()
    bool stopped_ = false;
    bool restart_ = false;    // the drawing thread starts the stream afresh
    bool discarded_ = false;  // samples the drawing thread had not taken were discarded
    int64_t written_ = 0;     // samples pushed since the stream started
    int64_t read_ = 0;        // samples moved into a history (or discarded)
    int64_t next_ = 0;        // the next frame to draw
    int64_t skipped_ = 0;
    std::array<Run, MaxRuns> runs_{};
    std::size_t runCount_ = 0;
};

}  // namespace nimbrelle::vlc
