#include <algorithm>
#include <cmath>

#include "raster/add_row.h"
#include "raster/convert.h"
#include "raster/raster.h"

namespace nimbrelle {

const uint32_t* const activeGlow = GlowImage;

namespace {

// Brightness of one texel channel v (0-255) at `intensity`: the product truncated to an
// integer and reduced to its low eight bits; a product that is not a number or is too large
// for 64 bits gives 0.
inline uint32_t ChannelAmount(uint32_t v, double intensity)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(TruncToInt64(v * intensity)) & 0xFFu);
}

inline void AddTexel(int32_t col, int32_t row, uint32_t texel, double intensity)
{
    AddPixel(col, row, static_cast<int32_t>(ChannelAmount((texel >> 16) & 0xFFu, intensity)),
             static_cast<int32_t>(ChannelAmount((texel >> 8) & 0xFFu, intensity)),
             static_cast<int32_t>(ChannelAmount(texel & 0xFFu, intensity)));
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
bool SetUpStamp(int32_t x, int32_t y, float size, Stamp& s)
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

}  // namespace

void BlitGlowReference(int32_t x, int32_t y, float size, const uint32_t* image, float intensity)
{
    Stamp s;
    if (!SetUpStamp(x, y, size, s)) return;
    const Canvas& c = BoundCanvas;
    const double k = intensity;
    uint32_t rowAcc = 0;
    for (int64_t i = 0; static_cast<double>(i) < static_cast<double>(size); ++i) {
        const int64_t row = s.y0 + i;
        uint32_t colAcc = 0;
        for (int64_t j = 0; static_cast<double>(j) < static_cast<double>(size); ++j) {
            const int64_t col = s.x0 + j;
            if (col >= 0 && col < c.width && row >= 0 && row < c.height)
                AddTexel(static_cast<int32_t>(col), static_cast<int32_t>(row),
                         image[TexelIndex(rowAcc, colAcc)], k);
            colAcc += s.step;
        }
        rowAcc += s.step;
    }
}

namespace {

using AddRowFn = void (*)(uint32_t* dst, const uint32_t* add, std::size_t count);

// Columns handled per pass, so the packed texel amounts of one stamp row fit on the stack.
constexpr int64_t ChunkColumns = 512;

// Visits only the stamp rows and columns on the canvas. The accumulators of row i and column j
// are i * step and j * step (mod 2^32, as repeated addition gives). Consecutive rows that use
// the same texel row share one row of packed amounts, which `addRow` adds in one go.
void BlitGlowClipped(int32_t x, int32_t y, float size, const uint32_t* image, float intensity,
                     AddRowFn addRow)
{
    Stamp s;
    if (!SetUpStamp(x, y, size, s)) return;
    const Canvas& c = BoundCanvas;
    const int64_t iBegin = s.y0 < 0 ? -s.y0 : 0;
    const int64_t iEnd = std::min<int64_t>(s.count, int64_t{c.height} - s.y0);
    const int64_t jBegin = s.x0 < 0 ? -s.x0 : 0;
    const int64_t jEnd = std::min<int64_t>(s.count, int64_t{c.width} - s.x0);
    if (iBegin >= iEnd || jBegin >= jEnd) return;

    // The amount of every possible channel value, so the loops do no floating point.
    uint32_t amount[256];
    const double k = intensity;
    for (uint32_t v = 0; v < 256; ++v) amount[v] = ChannelAmount(v, k);

    uint32_t packed[ChunkColumns];
    for (int64_t j0 = jBegin; j0 < jEnd; j0 += ChunkColumns) {
        const int64_t n = std::min(ChunkColumns, jEnd - j0);
        uint32_t builtRow = ~0u;
        for (int64_t i = iBegin; i < iEnd; ++i) {
            const uint32_t rowAcc = static_cast<uint32_t>(i) * s.step;
            const uint32_t rowBase = TexelIndex(rowAcc, 0);
            if (rowBase != builtRow) {
                uint32_t colAcc = static_cast<uint32_t>(j0) * s.step;
                for (int64_t j = 0; j < n; ++j, colAcc += s.step) {
                    const uint32_t texel = image[TexelIndex(rowAcc, colAcc)];
                    packed[j] = amount[(texel >> 16) & 0xFFu] << 16 | amount[(texel >> 8) & 0xFFu] << 8 |
                                amount[texel & 0xFFu];
                }
                builtRow = rowBase;
            }
            uint32_t* dst = PixelAddress(c, static_cast<int32_t>(s.x0 + j0), static_cast<int32_t>(s.y0 + i));
            addRow(dst, packed, static_cast<std::size_t>(n));
        }
    }
}

}  // namespace

void BlitGlow(int32_t x, int32_t y, float size, const uint32_t* image, float intensity)
{
    switch (ActiveRasterPath()) {
    case RasterPath::Reference: BlitGlowReference(x, y, size, image, intensity); return;
    case RasterPath::Scalar: BlitGlowClipped(x, y, size, image, intensity, AddRowScalar); return;
    case RasterPath::Simd: BlitGlowClipped(x, y, size, image, intensity, AddRowSse2); return;
    }
}

}  // namespace nimbrelle
