// The size of a frame in pixels.
#pragma once

namespace nimbrelle::host {

// A frame's width and height in pixels; where frames are passed as one buffer, rows are packed.
struct FrameGeometry {
    int width = 0;
    int height = 0;
};

}  // namespace nimbrelle::host
