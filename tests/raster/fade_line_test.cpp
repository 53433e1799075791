#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;

// Red channel of row y for x = 0 .. width-1.
std::vector<int> RedRow(const GuardedCanvas& c, int y)
{
    std::vector<int> red;
    for (int x = 0; x < c.width; ++x) red.push_back(static_cast<int>((c.At(x, y) >> 16) & 0xFF));
    return red;
}

// Red after a line along row 50 (or the given row) of a black 100 x 100 canvas.
std::vector<int> Draw(float x1, float y1, float x2, float y2, float rA, float rB = 0, int row = 50)
{
    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(x1, y1, x2, y2, rA, 0, 0, rB, 0, 0);
    EXPECT_TRUE(c.GuardsIntact());
    return RedRow(c, row);
}

TEST(DrawFadeLine, WholeSplatsOneUnitApartWithoutTheFarEnd)
{
    // Splats at x = 10 .. 14 with red 0, 50, 100, 150, 200; none at 15.
    const auto red = Draw(10, 10, 15, 10, 250, 0, 10);
    const std::vector<int> expected{0, 50, 100, 150, 200, 0};
    EXPECT_EQ(std::vector<int>(red.begin() + 10, red.begin() + 16), expected);

    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(10, 10, 10, 10, 250, 250, 250, 0, 0, 0);  // P1 = P2
    EXPECT_EQ(c.CountNot(0), 0);
}

TEST(DrawFadeLine, FractionalLengthAddsOneSplat)
{
    // len 5.5: six splats at x = 10 .. 15, ramp step 250 / 5.5.
    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(10, 10, 15.5f, 10, 250, 250, 250, 0, 0, 0);
    for (int x = 11; x <= 15; ++x) EXPECT_NE(c.At(x, 10), 0u) << x;
    EXPECT_EQ(c.At(16, 10), 0u);
}

TEST(DrawFadeLine, ChannelDifferenceIsTruncatedBeforeDividing)
{
    const auto red = Draw(10, 10, 20, 10, 10.9f, 0, 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(red[static_cast<size_t>(10 + i)], i);
    EXPECT_EQ(red[20], 0);
}

TEST(DrawFadeLine, CaseOneWalksFromTheFirstEndUntilItLeavesTheTopLeft)
{
    const auto red = Draw(50, 50, -50, 50, 250);
    for (int x = 2; x <= 50; ++x) EXPECT_EQ(red[static_cast<size_t>(x)], static_cast<int>((50 - x) * 2.5)) << x;
    EXPECT_EQ(red[51], 0);

    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(50, 50, -50, 50, 200, 100, 50, 10, 20, 30);
    EXPECT_EQ(c.At(50, 50), 0x000A141Eu);  // colour B at the first splat
}

TEST(DrawFadeLine, CaseTwoWalksFromTheSecondEndWithColourA)
{
    const auto red = Draw(-50, 50, 50, 50, 250);
    for (int x = 2; x <= 50; ++x) EXPECT_EQ(red[static_cast<size_t>(x)], static_cast<int>(125 + x * 2.5)) << x;
    EXPECT_EQ(red[51], 0);
}

TEST(DrawFadeLine, CasesThreeAndFourStopPastTheRightEdge)
{
    const auto fromLeft = Draw(50, 50, 150, 50, 250);   // case 3: red 0, 2.5, ... from x = 50
    const auto fromRight = Draw(150, 50, 50, 50, 250);  // case 4: red 250, 247.5, ... from x = 50
    for (int x = 50; x <= 98; ++x) {
        EXPECT_EQ(fromLeft[static_cast<size_t>(x)], static_cast<int>((x - 50) * 2.5)) << x;
        EXPECT_EQ(fromRight[static_cast<size_t>(x)], static_cast<int>(250 - (x - 50) * 2.5)) << x;
    }
    EXPECT_EQ(fromLeft[49], 0);
    EXPECT_EQ(fromRight[49], 0);
}

TEST(DrawFadeLine, LinesThatSelectNoCaseOrStayOffTheCanvasDrawNothing)
{
    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(120, 10, 130, 10, 250, 250, 250, 0, 0, 0);  // both ends right of the canvas
    DrawFadeLine(0, 10, -10, 10, 250, 250, 250, 0, 0, 0);    // x1 = 0 is case 5, all rejected
    DrawFadeLine(-10, -10, -5, -5, 250, 250, 250, 0, 0, 0);
    EXPECT_EQ(c.CountNot(0), 0);
}

TEST(DrawFadeLine, NonFiniteEndsDrawNothing)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    for (float bad : {nan, inf, -inf}) {
        DrawFadeLine(bad, 10, 50, 50, 250, 250, 250, 0, 0, 0);
        DrawFadeLine(10, bad, 50, 50, 250, 250, 250, 0, 0, 0);
        DrawFadeLine(10, 10, bad, 50, 250, 250, 250, 0, 0, 0);
        DrawFadeLine(10, 10, 50, bad, 250, 250, 250, 0, 0, 0);
    }
    EXPECT_EQ(c.CountNot(0), 0);
}

TEST(DrawFadeLine, WalksFromFarAwayEndWhereThePositionStopsMoving)
{
    // 1e30 - 1 is 1e30: the literal walk would repeat one rejected splat for 2e30 steps.
    GuardedCanvas c(100, 100, 100, 0);
    c.Bind();
    DrawFadeLine(-1e30f, 5, 1e30f, 5, 250, 250, 250, 0, 0, 0);
    DrawFadeLine(1e30f, 1e30f, -1e30f, -1e30f, 250, 250, 250, 0, 0, 0);
    EXPECT_EQ(c.CountNot(0), 0);
}

// The early-stopping walk must draw exactly what the literal walk draws.
TEST(DrawFadeLine, MatchesTheLiteralWalkOnRandomLines)
{
    test::Rng rng(0x5EED1E55);
    const int width = 97, height = 61, pitch = 101;
    GuardedCanvas fast(width, height, pitch, 0x22), reference(width, height, pitch, 0x22);
    for (int n = 0; n < 20000; ++n) {
        // Mostly near the canvas, sometimes far off it, sometimes on whole numbers.
        const double reach = (n % 10 == 0) ? 3000.0 : 150.0;
        float p[4];
        for (float& v : p) {
            v = static_cast<float>(rng.Range(-reach, reach));
            if (rng.Below(4) == 0) v = std::trunc(v);
        }
        float colour[6];
        for (float& v : colour) v = static_cast<float>(rng.Range(-20.0, 400.0));
        fast.Bind();
        SelectRasterPath(RasterPath::Scalar);
        DrawFadeLine(p[0], p[1], p[2], p[3], colour[0], colour[1], colour[2], colour[3], colour[4], colour[5]);
        SelectRasterPath(RasterPath::Simd);
        reference.Bind();
        DrawFadeLineReference(p[0], p[1], p[2], p[3], colour[0], colour[1], colour[2], colour[3],
                              colour[4], colour[5]);
        if (fast.Hash() != reference.Hash()) {
            FAIL() << "line " << n << " differs (seed 0x5EED1E55): DrawFadeLine(" << p[0] << ", " << p[1]
                   << ", " << p[2] << ", " << p[3] << ", ...)";
        }
    }
    EXPECT_TRUE(fast.GuardsIntact());
    EXPECT_GT(fast.CountNot(0x22), width * height / 2);  // the lines did cover the canvas
}

}  // namespace
}  // namespace nimbrelle
