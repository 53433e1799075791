// Which encoder each output uses and the options each one takes, checked once the output is
// known and before any work.
//
//   .mp4, .mkv   H.264 (libx264): --crf 0 to 51 (default 20), --preset one of x264's;
//   .webm        VP9 (libvpx-vp9): --crf 0 to 63 (default 32); no --preset: it is always
//                encoded at realtime speed settings (-deadline realtime -cpu-used 8);
//   .mov         ProRes 4444 (prores_ks): neither, its quality is the profile's;
//   PNG          lossless: neither.
// Only .webm, .mov and PNG carry an alpha channel, which --background transparent needs.
#pragma once

#include <string>

#include "options/options.h"
#include "output/target.h"

namespace nimbrelle::host {

enum class VideoCodec { H264, Vp9, ProRes };

VideoCodec CodecOf(VideoContainer container);

// "H.264", "VP9" or "ProRes 4444".
std::string CodecName(VideoCodec codec);

// Throws Error naming the option, the output and what it takes when `options` ask for
// something `target` cannot do: transparency without an alpha channel, a --crf outside the
// codec's range or for an output without one, a --preset for anything but H.264.
void CheckEncoderOptions(const OutputTarget& target, const CommandOptions& options);

}  // namespace nimbrelle::host
