// The stretch of audio a render or a playback covers: what --start and --duration select, cut
// to where the decoded audio really ends.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/source.h"
#include "base/timing.h"
#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::host {

// The frames at `fps` of the samples of `source` that --start and --duration (in seconds)
// select; the rest of the audio when there is no duration. Throws Error when the start is at
// or past the end of the audio or the duration is shorter than one sample.
analysis::FramePlan PlanFrames(const AudioSource& source, double start, std::optional<double> duration,
                               FrameRate fps);

// `plan` cut to the `decoded` frames that really follow its first sample (see CountDecoded).
// Throws Error, as PlanFrames does, when none do.
analysis::FramePlan TrimToDecoded(const analysis::FramePlan& plan, int64_t decoded, const AudioSource& source,
                                  double start);

}  // namespace nimbrelle::host
