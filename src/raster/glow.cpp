#include <algorithm>
#include <cmath>

#include "raster/add_row.h"
#include "raster/glow_stamp.h"

namespace nimbrelle {

const uint32_t* const activeGlow = GlowImage;

namespace {

inline void AddTexel(int32_t col, int32_t row, uint32_t texel, double intensity)
{
    AddPixel(col, row, static_cast<int32_t>(ChannelAmount((texel >> 16) & 0xFFu, intensity)),
             static_cast<int32_t>(ChannelAmount((texel >> 8) & 0xFFu, intensity)),
             static_cast<int32_t>(ChannelAmount(texel & 0xFFu, intensity)));
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

// Adds the stamp's rows that fall on canvas rows [rowFrom, rowTo). Consecutive rows that use
// the same texel row share one row of packed amounts, which `addRow` adds in one go.
void AddStampRows(const ClippedStamp& cs, int64_t rowFrom, int64_t rowTo, AddRowFn addRow, uint32_t* packed)
{
    const Stamp& s = cs.s;
    const int64_t iBegin = std::max(cs.iBegin, rowFrom - s.y0);
    const int64_t iEnd = std::min(cs.iEnd, rowTo - s.y0);
    const bool grey = IsGreyPicture(cs.image);
    for (int64_t j0 = cs.jBegin; j0 < cs.jEnd; j0 += ChunkColumns) {
        const int64_t n = std::min(ChunkColumns, cs.jEnd - j0);
        uint32_t builtRow = ~0u;
        for (int64_t i = iBegin; i < iEnd; ++i) {
            const uint32_t rowAcc = static_cast<uint32_t>(i) * s.step;
            const uint32_t rowBase = TexelIndex(rowAcc, 0);
            if (rowBase != builtRow) {
                uint32_t colAcc = static_cast<uint32_t>(j0) * s.step;
                // A grey texel adds the same amount to each channel.
                if (grey)
                    for (int64_t j = 0; j < n; ++j, colAcc += s.step)
                        packed[j] = uint32_t{cs.amount[cs.image[TexelIndex(rowAcc, colAcc)] & 0xFFu]} * 0x010101u;
                else
                    for (int64_t j = 0; j < n; ++j, colAcc += s.step)
                        packed[j] = PackedAmounts(cs, cs.image[TexelIndex(rowAcc, colAcc)]);
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
    const AddRowFn addRow = ActiveKernels().addRow;
    for (int n = 0; n < count; n += BatchStamps) BlitBatch(stamps + n, std::min(BatchStamps, count - n), addRow);
}

void BlitGlow(int32_t x, int32_t y, float size, const uint32_t* image, float intensity)
{
    const GlowStamp stamp{x, y, size, image, intensity};
    BlitGlows(&stamp, 1);
}

}  // namespace nimbrelle
