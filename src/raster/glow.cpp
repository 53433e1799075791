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

// Columns handled per pass, so the packed texel amounts of one stamp row fit on the stack.
constexpr int64_t ChunkColumns = 4096;
// Canvas rows per band: every stamp of a batch is applied to one band before the next, so the
// band stays in cache while the glows pile up on it.
constexpr int64_t BandRows = 64;
// Stamps set up at once.
constexpr int BatchStamps = 20;

// A stamp reduced to the part that lies on the canvas. The accumulators of stamp row i and
// column j are i * step and j * step (mod 2^32, as repeated addition gives).
struct ClippedStamp {
    Stamp s;
    int64_t iBegin, iEnd, jBegin, jEnd;  // visible stamp rows and columns
    const uint32_t* image;
    uint8_t amount[256];                  // the amount of every possible channel value
};

bool ClipStamp(const GlowStamp& g, ClippedStamp& out)
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
    for (uint32_t v = 0; v < 256; ++v) out.amount[v] = static_cast<uint8_t>(ChannelAmount(v, k));
    return true;
}

// Adds the stamp's rows that fall on canvas rows [rowFrom, rowTo). Consecutive rows that use
// the same texel row share one row of packed amounts, which `addRow` adds in one go.
void AddStampRows(const ClippedStamp& cs, int64_t rowFrom, int64_t rowTo, AddRowFn addRow, uint32_t* packed)
{
    const Stamp& s = cs.s;
    const int64_t iBegin = std::max(cs.iBegin, rowFrom - s.y0);
    const int64_t iEnd = std::min(cs.iEnd, rowTo - s.y0);
    for (int64_t j0 = cs.jBegin; j0 < cs.jEnd; j0 += ChunkColumns) {
        const int64_t n = std::min(ChunkColumns, cs.jEnd - j0);
        uint32_t builtRow = ~0u;
        for (int64_t i = iBegin; i < iEnd; ++i) {
            const uint32_t rowAcc = static_cast<uint32_t>(i) * s.step;
            const uint32_t rowBase = TexelIndex(rowAcc, 0);
            if (rowBase != builtRow) {
                uint32_t colAcc = static_cast<uint32_t>(j0) * s.step;
                for (int64_t j = 0; j < n; ++j, colAcc += s.step) {
                    const uint32_t texel = cs.image[TexelIndex(rowAcc, colAcc)];
                    packed[j] = uint32_t{cs.amount[(texel >> 16) & 0xFFu]} << 16 |
                                uint32_t{cs.amount[(texel >> 8) & 0xFFu]} << 8 | cs.amount[texel & 0xFFu];
                }
                builtRow = rowBase;
            }
            uint32_t* dst = PixelAddress(BoundCanvas, static_cast<int32_t>(s.x0 + j0), static_cast<int32_t>(s.y0 + i));
            addRow(dst, packed, static_cast<std::size_t>(n));
        }
    }
}

// Each pixel receives the stamps in the order given, exactly as one BlitGlow after another;
// only the order in which different pixels are visited changes.
void BlitBatch(const GlowStamp* stamps, int count, AddRowFn addRow)
{
    ClippedStamp clipped[BatchStamps];
    int visible = 0;
    int64_t top = INT64_MAX, bottom = INT64_MIN;
    for (int n = 0; n < count; ++n) {
        ClippedStamp& cs = clipped[visible];
        if (!ClipStamp(stamps[n], cs)) continue;
        top = std::min(top, cs.s.y0 + cs.iBegin);
        bottom = std::max(bottom, cs.s.y0 + cs.iEnd);
        ++visible;
    }
    uint32_t packed[ChunkColumns];
    for (int64_t band = top; band < bottom; band += BandRows)
        for (int n = 0; n < visible; ++n) AddStampRows(clipped[n], band, band + BandRows, addRow, packed);
}

}  // namespace

void BlitGlows(const GlowStamp* stamps, int count)
{
    const RasterPath path = ActiveRasterPath();
    if (path == RasterPath::Reference) {
        for (int n = 0; n < count; ++n)
            BlitGlowReference(stamps[n].x, stamps[n].y, stamps[n].size, stamps[n].image, stamps[n].intensity);
        return;
    }
    const AddRowFn addRow = path == RasterPath::Simd ? FastestAddRow() : AddRowScalar;
    for (int n = 0; n < count; n += BatchStamps) BlitBatch(stamps + n, std::min(BatchStamps, count - n), addRow);
}

void BlitGlow(int32_t x, int32_t y, float size, const uint32_t* image, float intensity)
{
    const GlowStamp stamp{x, y, size, image, intensity};
    BlitGlows(&stamp, 1);
}

}  // namespace nimbrelle
