// Frames written as PNG files: every frame into a folder or a numbered series, or one frame.
#pragma once

#include <cstdint>
#include <memory>

#include "base/geometry.h"
#include "output/frame_sink.h"
#include "output/target.h"

namespace nimbrelle::host {

// Writes every frame as a PNG (PngDirectory or PngPattern).
std::unique_ptr<FrameSink> MakePngSequenceSink(const OutputTarget& target, FrameGeometry size);
// Writes only frame `frame` as one PNG file.
std::unique_ptr<FrameSink> MakeSnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame);

}  // namespace nimbrelle::host
