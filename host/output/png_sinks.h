// Frames written as PNG files: every frame into a folder or a numbered series, or one frame.
#pragma once

#include <cstdint>
#include <memory>

#include "base/geometry.h"
#include "nimbrelle/picture.h"
#include "output/frame_sink.h"
#include "output/target.h"

namespace nimbrelle::host {

// Writes every frame as a PNG (PngDirectory or PngPattern), converted for `background`.
std::unique_ptr<FrameSink> MakePngSequenceSink(const OutputTarget& target, FrameGeometry size,
                                               picture::Background background = picture::Background::Blue);
// Writes only frame `frame` as one PNG file, converted for `background`.
std::unique_ptr<FrameSink> MakeSnapshotSink(const OutputTarget& target, FrameGeometry size, int64_t frame,
                                            picture::Background background = picture::Background::Blue);

}  // namespace nimbrelle::host
