// Frame rates and times as the command line gives them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::host {

// Frame timing is the shared route's; the host adds the parsing of the command line's values.
using analysis::FrameAtSample;
using analysis::FrameCountFor;
using analysis::FrameRate;
using analysis::FrameStartSample;
using analysis::MaxFps;
using analysis::MinFps;
using analysis::SampleToMilliseconds;
using analysis::SecondsToSamples;

// Parses "60", "29.97" (up to six decimals) or "30000/1001". Accepts 1 to 1000 frames per
// second; throws Error otherwise.
FrameRate ParseFrameRate(std::string_view text);

// "12", "12.5" or "12.345": at most millisecond precision, no trailing zeros.
std::string SecondsText(double seconds);

}  // namespace nimbrelle::host
