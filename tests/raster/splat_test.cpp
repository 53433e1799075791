#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;

TEST(SplatPoint, WholePositionGoesToOnePixel)
{
    GuardedCanvas c(20, 20, 24, 0);
    c.Bind();
    SplatPoint(2.0f, 2.0f, 255, 255, 255);
    EXPECT_EQ(c.At(2, 2), 0x00FFFFFFu);
    EXPECT_EQ(c.CountNot(0), 1);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(SplatPoint, FractionsAreHalvedAndProductsTruncated)
{
    GuardedCanvas c(20, 20, 20, 0);
    c.Bind();
    SplatPoint(10.5f, 10.0f, 100, 100, 100);  // fx = 0.25
    EXPECT_EQ(c.At(10, 10), 0x004B4B4Bu);     // 75
    EXPECT_EQ(c.At(11, 10), 0x00191919u);     // 25
    EXPECT_EQ(c.CountNot(0), 2);

    GuardedCanvas d(20, 20, 20, 0);
    d.Bind();
    SplatPoint(10.5f, 10.5f, 100, 0, 0);  // weights 0.5625, 0.1875, 0.1875, 0.0625
    EXPECT_EQ(d.At(10, 10), 56u << 16);
    EXPECT_EQ(d.At(11, 10), 18u << 16);
    EXPECT_EQ(d.At(10, 11), 18u << 16);
    EXPECT_EQ(d.At(11, 11), 6u << 16);
}

TEST(SplatPoint, AcceptsExactlyTheRangeTwoToSizeMinusTwo)
{
    GuardedCanvas c(20, 20, 20, 0);
    c.Bind();
    SplatPoint(18.0f, 18.0f, 0, 0, 9);  // width - 2, height - 2: drawn
    EXPECT_EQ(c.At(18, 18), 9u);
    SplatPoint(18.5f, 5.0f, 0, 0, 9);   // width - 1.5: not drawn
    SplatPoint(1.999f, 5.0f, 0, 0, 9);
    SplatPoint(5.0f, 1.999f, 0, 0, 9);
    SplatPoint(5.0f, 18.25f, 0, 0, 9);
    EXPECT_EQ(c.CountNot(0), 1);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(SplatPoint, RejectsNonNumbersAndNarrowCanvases)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    GuardedCanvas c(20, 20, 20, 0);
    c.Bind();
    for (float bad : {nan, inf, -inf}) {
        SplatPoint(bad, 5.0f, 255, 255, 255);
        SplatPoint(5.0f, bad, 255, 255, 255);
    }
    EXPECT_EQ(c.CountNot(0), 0);

    GuardedCanvas narrow(3, 20, 3, 0);
    narrow.Bind();
    for (float x = 0.0f; x < 4.0f; x += 0.25f) SplatPoint(x, 5.0f, 255, 255, 255);
    EXPECT_EQ(narrow.CountNot(0), 0);
    EXPECT_TRUE(narrow.GuardsIntact());
}

TEST(SplatPoint, ZeroWeightNeighboursAreRewritten)
{
    // All four pixels are written even with weight 0, which clears their top bytes.
    GuardedCanvas c(20, 20, 20, 0xFF000000u);
    c.Bind();
    SplatPoint(5.0f, 5.0f, 1, 1, 1);
    EXPECT_EQ(c.At(5, 5), 0x00010101u);
    EXPECT_EQ(c.At(6, 5), 0u);
    EXPECT_EQ(c.At(5, 6), 0u);
    EXPECT_EQ(c.At(6, 6), 0u);
    EXPECT_EQ(c.At(7, 7), 0xFF000000u);
}

TEST(SplatPoint, HugeAmountsAreDefinedAndWrapLikeX86)
{
    // An amount beyond 32 bits converts to the most negative integer (as x86 does), whose
    // composite bytes are all zero: the pixel is rewritten unchanged.
    GuardedCanvas c(20, 20, 20, 0x00102030u);
    c.Bind();
    SplatPoint(5.0f, 5.0f, 1e30f, -1e30f, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(c.At(5, 5), 0x00102030u);
}

}  // namespace
}  // namespace nimbrelle
