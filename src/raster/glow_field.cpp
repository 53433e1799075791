// Clearing the canvas and stamping the glows in one pass over the canvas.
//
// Every addition ends in a per-byte saturating add, and saturating adds of non-negative
// amounts commute and associate: a pixel's final byte is min(255, background + the sum of
// everything added to it), whatever the order. So the glows are summed into 16-bit lanes and
// saturated once. A stamp is a 64x64 picture scaled by nearest neighbour, so each canvas row
// equals the row above except where some stamp moves to its next texel row (or starts or
// ends). One row of sums is kept for the current canvas row: at a change only the changed
// stamp's columns are updated, by the difference between its new and old texel rows (one
// amount per run of columns showing the same texel), and the row's pixels recomputed there; every canvas row is then a
// copy of the current row. A frame thus costs one write of every pixel plus work for each
// texel-row change, not for each stamped pixel.
#include <cstdlib>
#include <cstring>

#include "raster/add_row.h"
#include "raster/glow_stamp.h"

namespace nimbrelle {

namespace {

// 64 amounts of at most 255 over a background byte stay below 2^15, so the lanes neither
// overflow nor turn negative.
constexpr int MaxFieldStamps = 64;
constexpr int MaxRuns = 64;  // texel columns never decrease along a stamp row

// What the row loop and a grey change read; the colour path's table lives apart, so the
// records the row loop walks through stay small.
struct FieldStamp {
    int64_t nextRow;   // canvas row of the stamp's next change; INT64_MAX after its last row
    bool on;           // between its first and last rows
    bool consecutive;  // run k shows texel column runTexel[0] + k
    int runCount;
    int64_t runStart[MaxRuns + 1];  // canvas columns: run k is [runStart[k], runStart[k + 1])
    uint8_t runTexel[MaxRuns];      // texel column of run k
    uint16_t runGrey[MaxRuns];      // for grey pictures, the amount run k adds in the texel row in effect
    ClippedStamp c;
};

// What only pictures with unequal channels need: the RunAmounts that run k adds in the texel
// row in effect.
struct ColourStamp {
    uint64_t runAmounts[MaxRuns];
};

// Lanes 0-2 of a RunAmounts value with bit 15 set: subtracting amounts of 0-255 from them
// borrows nothing across lanes.
constexpr uint64_t LaneBias = 0x0000800080008000ull;

// Scratch kept between frames: one row of sums and of pixels, grown with the canvas width.
struct FieldScratch {
    uint16_t* sums = nullptr;  // four lanes per pixel
    uint32_t* row = nullptr;
    uint64_t* amounts = nullptr;  // a stamp's change, one RunAmounts value per pixel
    uint16_t* greyAmounts = nullptr;  // the same for grey pictures, one amount per pixel
    std::size_t capacity = 0;  // pixels
};

FieldScratch Scratch;
FieldStamp Stamps[MaxFieldStamps];
ColourStamp ColourStamps[MaxFieldStamps];

bool ReserveRow(std::size_t width)
{
    if (width <= Scratch.capacity) return true;
    ReleaseRasterScratch();
    // 16-bit lanes times 4 and 32-bit pixels; a width that would overflow the byte count fails.
    if (width > SIZE_MAX / 16) return false;
    auto* sums = static_cast<uint16_t*>(std::malloc((width * 4 + RowSlack) * sizeof(uint16_t)));
    auto* row = static_cast<uint32_t*>(std::malloc((width + RowSlack) * sizeof(uint32_t)));
    auto* amounts = static_cast<uint64_t*>(std::malloc((width + AmountsSlack) * sizeof(uint64_t)));
    auto* greyAmounts = static_cast<uint16_t*>(std::malloc((width + GreyAmountsSlack) * sizeof(uint16_t)));
    if (sums == nullptr || row == nullptr || amounts == nullptr || greyAmounts == nullptr) {
        std::free(sums);
        std::free(row);
        std::free(amounts);
        std::free(greyAmounts);
        return false;
    }
    // Touched now, so later frames take no page faults on them.
    std::memset(sums, 0, (width * 4 + RowSlack) * sizeof(uint16_t));
    std::memset(row, 0, (width + RowSlack) * sizeof(uint32_t));
    std::memset(amounts, 0, (width + AmountsSlack) * sizeof(uint64_t));
    std::memset(greyAmounts, 0, (width + GreyAmountsSlack) * sizeof(uint16_t));
    Scratch = FieldScratch{sums, row, amounts, greyAmounts, width};
    return true;
}

void SetUpRuns(FieldStamp& f)
{
    const ClippedStamp& c = f.c;
    f.runCount = 0;
    for (int64_t j = c.jBegin; j < c.jEnd; j = NextTexelBoundary(j, c.s.step, c.jEnd)) {
        f.runStart[f.runCount] = c.s.x0 + j;
        f.runTexel[f.runCount] = static_cast<uint8_t>((static_cast<uint32_t>(j) * c.s.step) >> 6);
        ++f.runCount;
    }
    f.runStart[f.runCount] = c.s.x0 + c.jEnd;
}

// The channel value of each texel of the last picture IsGreyPicture was asked about, with
// room for the SIMD reads past the last texel.
uint8_t GreyTexels[4096 + TexelSlack];

}  // namespace

bool IsGreyPicture(const uint32_t* image)
{
    static const uint32_t* checked = nullptr;
    static bool grey = false;
    if (image != checked) {
        grey = true;
        for (int i = 0; i < 4096; ++i) {
            const uint32_t t = image[i];
            grey = grey && (t & 0xFFu) == ((t >> 8) & 0xFFu) && (t & 0xFFu) == ((t >> 16) & 0xFFu);
            GreyTexels[i] = static_cast<uint8_t>(t);
        }
        checked = image;
    }
    return grey;
}

namespace {

// ChangeRow for grey pictures: one amount per run, from the picture's channel values.
void ChangeGreyRow(FieldStamp& f, int64_t texelRow, const RowKernels& kernels, uint32_t background)
{
    const int runs = f.runCount;
    uint16_t change[MaxRuns];
    if (texelRow < 0) {
        for (int k = 0; k < runs; ++k) change[k] = static_cast<uint16_t>(-f.runGrey[k]);
        std::fill_n(f.runGrey, runs, uint16_t{0});
    } else {
        const uint8_t* texels = GreyTexels + texelRow;
        const uint8_t* amount = f.c.amount;
        uint16_t* held = f.runGrey;
        if (f.consecutive) {
            // Runs show texels runTexel[0], runTexel[0] + 1, ... (a stamp of 64 pixels or more).
            kernels.greyChanges(texels + f.runTexel[0], runs, amount, f.c.intensity, held, change);
        } else {
            for (int k = 0; k < runs; ++k) {
                const uint16_t now = amount[texels[f.runTexel[k]]];
                change[k] = static_cast<uint16_t>(now - held[k]);
                held[k] = now;
            }
        }
    }
    int first = 0, last = runs - 1;
    while (first < runs && change[first] == 0) ++first;
    while (last >= first && change[last] == 0) --last;
    if (first > last) return;
    const int64_t from = f.runStart[first], to = f.runStart[last + 1];
    // Runs of four columns or more are added straight from their amounts; narrower ones (a
    // small stamp shows a texel per column) through a row of amounts.
    if (to - from >= 4 * int64_t{last - first + 1}) {
        kernels.addGreyRuns(Scratch.sums, Scratch.row, f.runStart + first, change + first, last - first + 1, background);
        return;
    }
    for (int k = first; k <= last; ++k) {
        const int64_t runFrom = f.runStart[k], runTo = f.runStart[k + 1];
        if (runTo - runFrom <= 8)
            FillGreyAmountsShort(Scratch.greyAmounts + runFrom, change[k]);
        else
            kernels.fillGreyAmounts(Scratch.greyAmounts + runFrom, change[k], static_cast<std::size_t>(runTo - runFrom));
    }
    kernels.addGreySums(Scratch.sums + from, Scratch.row + from, Scratch.greyAmounts + from,
                        static_cast<std::size_t>(to - from), background);
}

// Moves stamp f to the texel row of canvas row y (or off the canvas past its last row),
// updating the sums and pixels under the runs whose amounts change by the difference. With
// grey pictures the sums hold one lane per pixel, the amount of any one channel.
void ChangeRow(FieldStamp& f, ColourStamp& colour, int64_t y, const RowKernels& kernels, bool grey, uint32_t background)
{
    const ClippedStamp& c = f.c;
    const int64_t i = y - c.s.y0;
    int64_t texelRow = -1;
    f.on = i < c.iEnd;
    if (f.on) {
        texelRow = static_cast<int64_t>(TexelIndex(static_cast<uint32_t>(i) * c.s.step, 0));
        f.nextRow = c.s.y0 + NextTexelBoundary(i, c.s.step, c.iEnd);
    } else {
        f.nextRow = INT64_MAX;
    }
    if (grey) {
        ChangeGreyRow(f, texelRow, kernels, background);
        return;
    }
    // The amounts of the new texel row, then the lane-by-lane differences (modulo 2^16).
    const int runs = f.runCount;
    uint64_t change[MaxRuns];
    if (texelRow < 0) {
        std::fill_n(change, runs, uint64_t{0});
    } else {
        const uint32_t* texels = c.image + texelRow;
        for (int k = 0; k < runs; ++k) {
            const uint32_t texel = texels[f.runTexel[k]];
            change[k] = RunAmounts(c.amount[texel & 0xFFu], c.amount[(texel >> 8) & 0xFFu], c.amount[(texel >> 16) & 0xFFu]);
        }
    }
    for (int k = 0; k < runs; ++k) {
        const uint64_t now = change[k];
        change[k] = ((now | LaneBias) - colour.runAmounts[k]) ^ LaneBias;
        colour.runAmounts[k] = now;
    }
    int first = 0, last = runs - 1;
    while (first < runs && change[first] == 0) ++first;
    while (last >= first && change[last] == 0) --last;
    if (first > last) return;
    const int64_t from = f.runStart[first], to = f.runStart[last + 1];
    for (int k = first; k <= last; ++k) {
        const int64_t runFrom = f.runStart[k], runTo = f.runStart[k + 1];
        if (runTo - runFrom <= 4) {
            for (int64_t x = runFrom; x < runTo; ++x) Scratch.amounts[x] = change[k];
        } else {
            kernels.fillAmounts(Scratch.amounts + runFrom, change[k], static_cast<std::size_t>(runTo - runFrom));
        }
    }
    kernels.addSums(Scratch.sums + 4 * from, Scratch.row + from, Scratch.amounts + from,
                    static_cast<std::size_t>(to - from));
}

// Canvases of this many bytes or more are streamed out (3840x2160 is 33 MB; 1920x1080, at
// 8 MB, stays in a typical last-level cache for the lines and stars drawn next).
constexpr int64_t StreamBytes = int64_t{24} << 20;

// Work of stamping row by row against that of the texel-row changes: a change updates a
// stamp's whole width in cache-resident rows, about the cost of adding one of its rows to the
// canvas. Stamps showing a texel row per canvas row (under 64 pixels) are thus stamped row by
// row, larger ones in one pass.
constexpr int64_t ChangeCostInRows = 1;

// True when every channel value of the stamp's picture adds 0 (an intensity of 0 or below
// 1/255, one that is not a number, or a multiple of 256): on a canvas whose top bytes are clear
// the stamp changes no pixel.
bool AddsNothing(const ClippedStamp& c)
{
    uint32_t any = 0;
    for (const uint8_t a : c.amount) any |= a;
    return any == 0;
}

// Sets up the visible stamps that add something, and copies them to `kept`; false when the
// one-pass path does not pay or cannot hold them. On a canvas that is streamed out it always
// pays: stamping after the clear would read the streamed rows back in.
bool SetUpField(const GlowStamp* stamps, int count, bool stream, int& visible, bool& grey, GlowStamp* kept)
{
    visible = 0;
    grey = true;
    if (count > MaxFieldStamps) return false;
    int64_t rowWork = 0, changeWork = 0;
    for (int n = 0; n < count; ++n) {
        FieldStamp& f = Stamps[visible];
        if (!ClipStamp(stamps[n], f.c) || AddsNothing(f.c)) continue;
        kept[visible] = stamps[n];
        const ClippedStamp& c = f.c;
        const int64_t width = c.jEnd - c.jBegin;
        rowWork += (c.iEnd - c.iBegin) * width;
        // Texel rows visible: the last one's index minus the first's, plus one.
        const int64_t texelRows = ((static_cast<int64_t>(static_cast<uint32_t>(c.iEnd - 1) * c.s.step) >> 6) -
                                   (static_cast<int64_t>(static_cast<uint32_t>(c.iBegin) * c.s.step) >> 6)) + 1;
        changeWork += (texelRows + 1) * width * ChangeCostInRows;
        // The grey sums read one picture's channel values: every stamp must show it.
        grey = grey && c.image == Stamps[0].c.image && IsGreyPicture(c.image);
        f.nextRow = c.s.y0 + c.iBegin;
        f.on = false;
        SetUpRuns(f);
        ColourStamp& colour = ColourStamps[visible];
        std::fill_n(colour.runAmounts, f.runCount, uint64_t{0});
        std::fill_n(f.runGrey, f.runCount, uint16_t{0});
        f.consecutive = f.runTexel[f.runCount - 1] - f.runTexel[0] == f.runCount - 1;
        ++visible;
    }
    return stream || rowWork > changeWork;
}

}  // namespace

void ReleaseRasterScratch()
{
    std::free(Scratch.sums);
    std::free(Scratch.row);
    std::free(Scratch.amounts);
    std::free(Scratch.greyAmounts);
    Scratch = FieldScratch{};
}

void ClearAndBlitGlows(uint32_t background, const GlowStamp* stamps, int count)
{
    const Canvas& canvas = BoundCanvas;
    int visible = 0;
    bool grey = false;
    // A canvas well beyond the cache is streamed out: its lines would be evicted before the
    // next frame anyway, and streaming saves reading each one in before it is written.
    const bool stream = int64_t{canvas.width} * canvas.height * 4 >= StreamBytes;
    // Pixels a stamp touches lose their top byte and untouched ones keep it, which the sums
    // do not track: a background with a top byte takes the two-pass path.
    if (ActiveRasterPath() == RasterPath::Reference || (background >> 24) != 0 || canvas.width <= 0 ||
        canvas.height <= 0) {
        ClearCanvas(background);
        BlitGlows(stamps, count);
        return;
    }
    // The background's top byte is clear, so stamps that add nothing are left out (a silent
    // frame's glows all are); the rest are stamped by whichever path pays.
    GlowStamp kept[MaxFieldStamps];
    if (!SetUpField(stamps, count, stream, visible, grey, kept)) {
        ClearCanvas(background);
        if (count > MaxFieldStamps)
            BlitGlows(stamps, count);
        else
            BlitGlows(kept, visible);
        return;
    }
    if (!ReserveRow(static_cast<std::size_t>(canvas.width))) {
        ClearCanvas(background);
        BlitGlows(kept, visible);
        return;
    }
    const auto width = static_cast<std::size_t>(canvas.width);
    const RowKernels& kernels = ActiveKernels();
    const uint16_t lanes[4] = {static_cast<uint16_t>(background & 0xFFu), static_cast<uint16_t>((background >> 8) & 0xFFu),
                               static_cast<uint16_t>((background >> 16) & 0xFFu), 0};
    if (grey)
        std::memset(Scratch.sums, 0, width * sizeof(uint16_t));
    else
        for (std::size_t x = 0; x < width; ++x) std::memcpy(Scratch.sums + 4 * x, lanes, sizeof lanes);
    kernels.fillRow(Scratch.row, background, width);

    const CopyRowFn copyRow = stream ? kernels.streamRow : kernels.copyRow;
    for (int64_t y = 0; y < canvas.height;) {
        int64_t next = canvas.height;
        // Columns under some stamp; the row holds the background outside them.
        int64_t from = canvas.width, to = 0;
        for (int n = 0; n < visible; ++n) {
            FieldStamp& f = Stamps[n];
            if (f.nextRow == y) ChangeRow(f, ColourStamps[n], y, kernels, grey, background);
            next = std::min(next, f.nextRow);
            if (f.on) {
                from = std::min(from, f.runStart[0]);
                to = std::max(to, f.runStart[f.runCount]);
            }
        }
        for (; y < next; ++y) {
            uint32_t* dst = PixelAddress(canvas, 0, static_cast<int32_t>(y));
            if (stream) {
                copyRow(dst, Scratch.row, width);
                continue;
            }
            if (from >= to) {
                kernels.fillRow(dst, background, width);
                continue;
            }
            kernels.fillRow(dst, background, static_cast<std::size_t>(from));
            copyRow(dst + from, Scratch.row + from, static_cast<std::size_t>(to - from));
            kernels.fillRow(dst + to, background, width - static_cast<std::size_t>(to));
        }
    }
    if (stream) StreamFence();
}

}  // namespace nimbrelle
