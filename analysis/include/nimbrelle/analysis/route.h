// The whole route from samples to a frame's FrameData, in the two shapes front ends need.
//
//   FrameFeed      frames of a FramePlan over an AudioSource, in any order: forward reads on,
//                  back or a long way ahead re-reads the window. Rendering, snapshots and live
//                  playback of files all use it.
//   AnalyseFrame   one frame of a signal held whole in memory, any channel count.
//
// A front end that receives samples as they come (a capture device, a media pipeline) pushes
// them into a SampleHistory and calls Analyser::Analyse with the frame's milliseconds. All
// three give the same bytes for the same samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "nimbrelle/analysis/analyser.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/samples.h"
#include "nimbrelle/module.h"

namespace nimbrelle::analysis {

class FrameFeed {
public:
    FrameFeed(AudioSource& source, const FramePlan& plan, float gain);

    // The FrameData of frame n of the plan: the WindowSize samples before the frame's first
    // sample. Valid until the next call.
    const FrameData& Frame(int64_t n);

    const FramePlan& Plan() const { return plan_; }

private:
    AudioSource& source_;
    FramePlan plan_;
    Analyser analyser_;
    std::optional<SourceHistory> history_;
    FrameData data_{};
};

// Fills `out` for frame `frame` at `fps` of `interleaved`: `channels` channels at `rate`,
// starting at sample 0. Samples before 0 and past the end are silence.
void AnalyseFrame(Analyser& analyser, std::span<const float> interleaved, int channels, int rate, FrameRate fps,
                  int64_t frame, FrameData& out);

}  // namespace nimbrelle::analysis
