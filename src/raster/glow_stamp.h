// The set-up shared by the glow stamping paths: where a stamp lies, which of its rows and
// columns are on the canvas, and the amount each texel value adds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "raster/convert.h"
#include "raster/raster.h"

namespace nimbrelle {

// Brightness of one texel channel v (0-255) at `intensity`: the product truncated to an
// integer and reduced to its low eight bits; a product that is not a number or is too large
// for 64 bits gives 0.
inline uint32_t ChannelAmount(uint32_t v, double intensity)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(TruncToInt64(v * intensity)) & 0xFFu);
}

// Texel index for the fixed-point accumulators: six fractional bits per texel.
inline uint32_t TexelIndex(uint32_t rowAcc, uint32_t colAcc)
{
    return (rowAcc & ~63u) + (colAcc >> 6);
}

struct Stamp {
    int64_t x0, y0;  // top-left pixel
    int64_t count;   // ceil(size): pixels per side
    uint32_t step;   // texel step, 4096 / size in fixed point
};

// A stamp of a positive finite size; false when nothing is to be drawn.
inline bool SetUpStamp(int32_t x, int32_t y, float size, Stamp& s)
{
    // A size that is not a number passes neither the size test nor the loop tests, and an
    // infinite one never ends the loops: both draw nothing.
    if (!(size > 0.0f) || !std::isfinite(size)) return false;
    const double half = static_cast<double>(size) * 0.5;
    s.x0 = TruncToInt32(static_cast<double>(x) - half);
    s.y0 = TruncToInt32(static_cast<double>(y) - half);
    // For sizes of at most 1 only the first texel is used and the step does not matter.
    s.step = static_cast<uint32_t>(TruncToInt32(4096.0 / static_cast<double>(size)));
    s.count = static_cast<int64_t>(std::ceil(static_cast<double>(size)));
    return true;
}

// A stamp reduced to the part that lies on the canvas. The accumulators of stamp row i and
// column j are i * step and j * step; below `count` these stay under 4096 (for sizes above 1
// the step is under 4096 / size, and a size of at most 1 has the one row and column 0), so
// texel rows and columns never decrease along a stamp.
struct ClippedStamp {
    Stamp s;
    int64_t iBegin, iEnd, jBegin, jEnd;  // visible stamp rows and columns
    const uint32_t* image;
    double intensity;
    uint8_t amount[256];                  // the amount of every possible channel value
};

inline bool ClipStamp(const GlowStamp& g, ClippedStamp& out)
{
    if (!SetUpStamp(g.x, g.y, g.size, out.s)) return false;
    const Canvas& c = BoundCanvas;
    const Stamp& s = out.s;
    out.iBegin = s.y0 < 0 ? -s.y0 : 0;
    out.iEnd = std::min<int64_t>(s.count, int64_t{c.height} - s.y0);
    out.jBegin = s.x0 < 0 ? -s.x0 : 0;
    out.jEnd = std::min<int64_t>(s.count, int64_t{c.width} - s.x0);
    if (out.iBegin >= out.iEnd || out.jBegin >= out.jEnd) return false;
    out.image = g.image;
    const double k = g.intensity;
    out.intensity = k;
    for (uint32_t v = 0; v < 256; ++v) out.amount[v] = static_cast<uint8_t>(ChannelAmount(v, k));
    return true;
}

// True when every texel of the picture has equal channels. The answer for the last picture
// asked about is kept (a scene stamps one picture), so alternating pictures cost a scan each.
bool IsGreyPicture(const uint32_t* image);

// The packed amounts a texel adds.
inline uint32_t PackedAmounts(const ClippedStamp& cs, uint32_t texel)
{
    return uint32_t{cs.amount[(texel >> 16) & 0xFFu]} << 16 | uint32_t{cs.amount[(texel >> 8) & 0xFFu]} << 8 |
           cs.amount[texel & 0xFFu];
}

// The first stamp row or column after `i` whose texel differs from that of `i` (`end` at
// most): the smallest n with n * step at or past the next multiple of 64.
inline int64_t NextTexelBoundary(int64_t i, uint32_t step, int64_t end)
{
    if (step == 0) return end;
    const int64_t texelStart = (static_cast<int64_t>(static_cast<uint32_t>(i) * step) & ~int64_t{63}) + 64;
    const int64_t next = (texelStart + step - 1) / step;
    return std::min(end, std::max(next, i + 1));
}

}  // namespace nimbrelle
