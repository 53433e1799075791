// The source's track: the sound its frames are made from, kept in step with OBS's video clock.
//
// Frames follow the rule every front end uses: frame k starts at track sample
// floor(k * rate / fps) (counted from where the frame rate last changed), and its record is
// made from the 512 samples before that start. Captured samples are appended to the track as
// they come, so the frames are drawn at exactly those samples whatever the capture's packet
// sizes; the video clock (the time of OBS's current frame) only decides what happens when the
// sound stops or runs away:
//   - a stall: the track has fallen `stall` samples behind the clock (the followed source was
//     removed, stopped sending, or there is none): silence is appended up to `lead` samples
//     before the clock, and from then on with every pass until samples come again, so the
//     scene goes on drawing silence at the video rate;
//   - a run ahead: the track would get more than `ahead` samples in front of the clock (a
//     source delivering faster than real time): the oldest of the new samples are left out.
// Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::obs {

struct Pacing {
    int64_t lead = 0;   // where silence puts the track: this many samples before the clock
    int64_t stall = 0;  // a track this far behind the clock has stalled
    int64_t ahead = 0;  // the track never gets further than this in front of the clock
};

// Pacing for `rate`: 50 ms lead, 200 ms stall, 500 ms ahead. OBS delivers a source's sound in
// packets of about 20 ms; a stall must outlast the longest wait between packets on a busy
// machine, or a live source would have silence cut into it.
Pacing DefaultPacing(int rate);

class Track {
public:
    Track(int rate, analysis::FrameRate fps, Pacing pacing);

    int Rate() const { return rate_; }
    analysis::FrameRate Fps() const { return fps_; }

    // The video clock's frame at OBS time `ns` (nanoseconds): frames counted from the first
    // time given, at the current frame rate, to the nearest. Times before that are frame 0.
    int64_t Due(uint64_t ns);

    // The first track sample of frame `frame`.
    int64_t FrameStart(int64_t frame) const;
    uint32_t Milliseconds(int64_t frame) const { return analysis::SampleToMilliseconds(FrameStart(frame), rate_); }

    struct Step {
        int64_t silence = 0;   // silent samples to append first
        std::size_t skip = 0;  // the oldest new samples to leave out
        std::size_t keep = 0;  // the new samples to append after them
    };
    // `arrived` new samples came while the clock is at frame `due`: what becomes of them.
    // Counts them into the track.
    Step Take(int64_t due, std::size_t arrived);

    // Samples on the track so far.
    int64_t Length() const { return length_; }
    bool Stalled() const { return stalled_; }

    // Starts the track afresh: nothing on it, frame `frame` starting at its first sample and
    // due at OBS time `ns`.
    void Restart(int64_t frame, uint64_t ns);

    // A new video frame rate from frame `next` on (the next frame to draw), at OBS time `ns`:
    // frames count afresh from that frame's start, and the clock goes on from where it was.
    void ChangeFps(analysis::FrameRate fps, int64_t next, uint64_t ns);

private:
    int rate_;
    analysis::FrameRate fps_;
    Pacing pacing_;
    int64_t length_ = 0;
    bool stalled_ = false;
    // Frame starts: frame k starts at originSample_ + FrameStartSample(k - originFrame_).
    int64_t originFrame_ = 0;
    int64_t originSample_ = 0;
    // The clock: OBS time clockNs_ is frame clockFrame_.
    bool clocked_ = false;
    uint64_t clockNs_ = 0;
    int64_t clockFrame_ = 0;
};

}  // namespace nimbrelle::obs
