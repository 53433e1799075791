// Frame timing as the host uses it: the analysis library's frame timing, and the one clock the
// host measures wall time with.
#pragma once

#include <chrono>

#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::host {

using analysis::FrameCountFor;
using analysis::FrameRate;
using analysis::FrameStartSample;
using analysis::MaxFps;
using analysis::MinFps;
using analysis::SampleToMilliseconds;
using analysis::SecondsToSamples;

// Monotonic wall time: frame deadlines, playback positions, progress and statistics.
using Clock = std::chrono::steady_clock;

}  // namespace nimbrelle::host
