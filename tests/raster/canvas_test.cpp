#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;

uint32_t AddTo(uint32_t old, int32_t r, int32_t g, int32_t b)
{
    GuardedCanvas c(4, 4, 4, old);
    c.Bind();
    AddPixel(1, 1, r, g, b);
    return c.At(1, 1);
}

TEST(AddPixel, SaturatesEachChannelAndClearsTheTopByte)
{
    EXPECT_EQ(AddTo(0x00000064, 0, 0, 200), 0x000000FFu);
    EXPECT_EQ(AddTo(0xAB102030, 0, 0, 0), 0x00102030u);
    EXPECT_EQ(AddTo(0x00F0F0F0, 0x20, 0x0F, 0x10), 0x00FFFFFFu);
    EXPECT_EQ(AddTo(0x00010203, 1, 2, 3), 0x00020406u);
}

TEST(AddPixel, AmountsOutsideAByteCarryAndBorrowThroughTheComposite)
{
    EXPECT_EQ(AddTo(0, 300, 0, 0), 0x002C0000u);   // red 300 mod 256, carry lost
    EXPECT_EQ(AddTo(0, 0, 256, 0), 0x00010000u);   // green overflow carries into red
    EXPECT_EQ(AddTo(0, 0, 0, -1), 0x00FFFFFFu);    // the borrow runs through every byte
    EXPECT_EQ(AddTo(0, INT32_MIN, INT32_MAX, INT32_MIN), AddTo(0, 0, -1, 0));
}

TEST(AddPixel, DropsCoordinatesOffTheCanvas)
{
    GuardedCanvas c(5, 3, 7, 0);
    c.Bind();
    AddPixel(4, 0, 1, 1, 1);
    AddPixel(5, 0, 1, 1, 1);
    AddPixel(-1, 0, 1, 1, 1);
    AddPixel(0, -1, 1, 1, 1);
    AddPixel(0, 3, 1, 1, 1);
    AddPixel(INT32_MIN, INT32_MAX, 1, 1, 1);
    EXPECT_EQ(c.At(4, 0), 0x00010101u);
    EXPECT_EQ(c.CountNot(0), 1);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(ClearCanvas, FillsOnlyTheVisibleArea)
{
    GuardedCanvas c(4, 3, 6, 0);
    c.Bind();
    ClearCanvas(0x22);
    EXPECT_EQ(c.CountNot(0x22), 0);
    EXPECT_TRUE(c.GuardsIntact());
}

// Rows long enough for the string instructions, on every path: rows without spare words are
// cleared as one run, rows with them one by one, and neither reaches past the visible area.
TEST(ClearCanvas, LongRowsFillOnlyTheVisibleArea)
{
    for (const RasterPath path : {RasterPath::Reference, RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd}) {
        SelectRasterPath(path);
        for (const int32_t pitch : {700, 701, 716}) {
            GuardedCanvas c(700, 5, pitch, 0);
            c.Bind();
            ClearCanvas(0x22);
            EXPECT_EQ(c.CountNot(0x22), 0) << "path " << static_cast<int>(path) << ", pitch " << pitch;
            EXPECT_TRUE(c.GuardsIntact()) << "path " << static_cast<int>(path) << ", pitch " << pitch;
        }
    }
    SelectRasterPath(RasterPath::Simd);
}

TEST(ClearCanvas, NonPositiveSizesWriteNothing)
{
    GuardedCanvas c(4, 3, 4, 7);
    BindCanvas(c.Pixels(), 0, 3, 4);
    ClearCanvas(0x22);
    BindCanvas(c.Pixels(), 4, -3, 4);
    ClearCanvas(0x22);
    EXPECT_EQ(c.CountNot(7), 0);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(Canvas, HalvesAreArithmeticShifts)
{
    BindCanvas(nullptr, 321, -241, 0);
    EXPECT_EQ(BoundCanvas.halfWidth, 160);
    EXPECT_EQ(BoundCanvas.halfHeight, -121);
}

TEST(Canvas, NegativePitchAddressesABottomUpBuffer)
{
    // Rows stored bottom-up: row 0 is the last row in memory.
    GuardedCanvas c(3, 3, 3, 0);
    uint32_t* lastRow = c.Pixels() + 2 * 3;
    BindCanvas(lastRow, 3, 3, -3);
    ClearCanvas(0x22);
    AddPixel(1, 0, 0, 0, 1);
    AddPixel(2, 2, 0, 1, 0);
    EXPECT_EQ(c.At(1, 2), 0x23u);
    EXPECT_EQ(c.At(2, 0), 0x0122u);
    EXPECT_TRUE(c.GuardsIntact());
}

}  // namespace
}  // namespace nimbrelle
