// Parsing and checking command-line values; each failure is an Error naming the option and
// the value.
#pragma once

#include <string_view>

#include "output/target.h"

namespace nimbrelle::host {

inline constexpr int MaxFrameSide = 8192;

// "1280x720": each side 1 to MaxFrameSide pixels.
FrameGeometry ParseSize(std::string_view text);

// A time in seconds: "12", "12.5" or "1:30" / "1:02:03.5". Non-negative and finite.
double ParseSeconds(std::string_view option, std::string_view text);

// A gain factor: a finite number from 0 to 1000.
float ParseGain(std::string_view text);

// An x264 / VP9 quality: 0 to 63.
int ParseCrf(std::string_view text);

// One of x264's presets, ultrafast to placebo.
void CheckPreset(std::string_view text);

}  // namespace nimbrelle::host
