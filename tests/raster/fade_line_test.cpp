#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "raster/walk_jump.h"
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

constexpr RasterPath FastPaths[] = {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd};

// Binds a canvas top-down, or bottom-up as a host with a negative pitch does.
void BindCanvasOf(GuardedCanvas& c, bool bottomUp)
{
    if (bottomUp)
        BindCanvas(c.Pixels() + (c.height - 1) * c.pitch, c.width, c.height, -c.pitch);
    else
        c.Bind();
}

// Draws a line on `fast` with the given fast path and on `reference` with the literal walk.
void DrawBothWays(RasterPath path, GuardedCanvas& fast, GuardedCanvas& reference, const float p[4],
                  const float colour[6], bool bottomUp = false)
{
    BindCanvasOf(fast, bottomUp);
    SelectRasterPath(path);
    DrawFadeLine(p[0], p[1], p[2], p[3], colour[0], colour[1], colour[2], colour[3], colour[4], colour[5]);
    SelectRasterPath(RasterPath::Simd);
    BindCanvasOf(reference, bottomUp);
    DrawFadeLineReference(p[0], p[1], p[2], p[3], colour[0], colour[1], colour[2], colour[3], colour[4],
                          colour[5]);
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
        // Every fast walk: plain splats, steps formed in SSE2 and in the widest SIMD.
        const RasterPath path = FastPaths[n % 3];
        DrawBothWays(path, fast, reference, p, colour);
        if (fast.Hash() != reference.Hash()) {
            FAIL() << "path " << static_cast<int>(path) << ", line " << n << " differs (seed 0x5EED1E55): DrawFadeLine("
                   << p[0] << ", " << p[1] << ", " << p[2] << ", " << p[3] << ", ...)";
        }
    }
    EXPECT_TRUE(fast.GuardsIntact());
    EXPECT_GT(fast.CountNot(0x22), width * height / 2);  // the lines did cover the canvas
}

// A jump of k steps must land where k rounded additions land, at every k up to the count
// ConstantSteps allows: from both ends of a binade, toward and away from zero, and with steps
// that are an odd number of half-spacings (rounding ties).
TEST(ConstantSteps, JumpsLandWhereTheRoundedAdditionsDo)
{
    constexpr uint64_t Seed = 0xB1AADE;
    test::Rng rng(Seed);
    int jumped = 0;
    for (int n = 0; n < 3000; ++n) {
        const int e = static_cast<int>(rng.Below(40)) - 8;
        const double spacing = std::ldexp(1.0, e - 52);
        // Somewhere in [2^e, 2^(e+1)), often a few spacings from either end.
        double v = std::ldexp(1.0, e) * rng.Range(1.0, 2.0);
        if (n % 4 == 1) v = std::ldexp(1.0, e + 1) - spacing * rng.Below(40);
        if (n % 4 == 2) v = std::ldexp(1.0, e) + spacing * rng.Below(40);
        // A step of a few spacings to a small fraction of the binade, sometimes on a tie.
        double s = std::ldexp(1.0, e) * std::ldexp(rng.Range(1.0, 2.0), -static_cast<int>(rng.Below(12)) - 3);
        if (n % 3 == 0) s = spacing * (static_cast<double>(rng.Below(7)) + 0.5);
        if (rng.Below(2) == 0) s = -s;
        if (rng.Below(2) == 0) v = -v;
        double d = 0.0;
        const uint64_t count = ConstantSteps(v, s, d);
        if (count == 0 || count == Unbounded) continue;
        ++jumped;
        double stepped = v;
        const uint64_t checked = std::min<uint64_t>(count, 20000);
        for (uint64_t k = 1; k <= checked; ++k) {
            stepped += s;
            const double jump = v + static_cast<double>(k) * d;
            ASSERT_EQ(stepped, jump) << "case " << n << " (seed " << Seed << "): v " << v << ", s " << s << ", step "
                                     << k << " of " << count;
        }
    }
    EXPECT_GT(jumped, 1000);
}

// Walks that start far from the canvas and come toward it, on canvases of every shape: the
// fast walk jumps over the steps whose splats cannot land, and must land the same splats with
// the same colours as the literal walk. Ends sit near powers of two and on half-units so that
// jumps meet binade edges and rounding ties, and colours ramp through zero.
TEST(DrawFadeLine, JumpsOverStepsOffTheCanvasExactly)
{
    constexpr uint64_t Seed = 0x1EA9;
    test::Rng rng(Seed);
    for (int n = 0; n < 1500; ++n) {
        const int width = n % 5 == 0 ? 1 + static_cast<int>(rng.Below(6)) : 1 + static_cast<int>(rng.Below(160));
        const int height = n % 5 == 1 ? 1 + static_cast<int>(rng.Below(6)) : 1 + static_cast<int>(rng.Below(120));
        const double reach = n % 3 == 0 ? 60000.0 : 4000.0;
        float p[4];
        p[0] = static_cast<float>(rng.Range(-reach, reach));
        p[1] = static_cast<float>(rng.Range(-reach, reach));
        p[2] = static_cast<float>(rng.Range(-20.0, width + 20.0));
        p[3] = static_cast<float>(rng.Range(-20.0, height + 20.0));
        for (float& v : p) {
            if (rng.Below(4) == 0) v = std::ldexp(1.0f, static_cast<int>(rng.Below(16))) * (rng.Below(2) ? 1.0f : -1.0f);
            if (rng.Below(4) == 0) v = std::trunc(v) + 0.5f;
        }
        if (rng.Below(2) == 0) {
            std::swap(p[0], p[2]);
            std::swap(p[1], p[3]);
        }
        float colour[6];
        for (float& v : colour) v = static_cast<float>(rng.Range(-300.0, 400.0));
        GuardedCanvas fast(width, height, width + 2, 0x22), reference(width, height, width + 2, 0x22);
        const RasterPath path = FastPaths[n % 3];
        DrawBothWays(path, fast, reference, p, colour);
        ASSERT_EQ(fast.Hash(), reference.Hash())
            << "path " << static_cast<int>(path) << ", line " << n << " differs (seed " << Seed << ") on " << width << "x"
            << height << ": DrawFadeLine(" << p[0] << ", " << p[1] << ", " << p[2] << ", " << p[3] << ", " << colour[0] << ", " << colour[1] << ", "
            << colour[2] << ", " << colour[3] << ", " << colour[4] << ", " << colour[5] << ")";
        ASSERT_TRUE(fast.GuardsIntact());
    }
}

// Walks across the canvas, where the fast paths form the splats of a landing run several
// steps at a time: ends near powers of two and colours ramping through zero, past 255 and
// from powers of two cut the runs wherever an accumulator changes binade, and short and
// narrow canvases leave runs of a few steps. Every fast path must draw what the literal walk
// draws, on a canvas the earlier lines have already saturated in places, bound top-down and
// (every fifth line) bottom-up.
TEST(DrawFadeLine, LandingRunsFormedTogetherMatchTheLiteralWalk)
{
    constexpr uint64_t Seed = 0x7A1C5;
    test::Rng rng(Seed);
    struct Shape {
        int width, height, lines;
    };
    // The wide and tall canvases put positions beyond 2^16 and 2^12 on the canvas.
    const Shape shapes[] = {{4, 4, 300},  {5, 300, 600},   {300, 5, 600}, {257, 190, 3000},
                            {1, 40, 50},  {40, 1, 50},     {70000, 6, 150}, {7, 4200, 150}};
    const auto nearPowerOfTwo = [&](int limit) {
        const int e = static_cast<int>(rng.Below(static_cast<uint32_t>(std::ilogb(limit) + 1)));
        return static_cast<float>(std::ldexp(1.0, e) + rng.Range(-3.0, 3.0));
    };
    int line = 0;
    for (const Shape& s : shapes) {
        GuardedCanvas fast(s.width, s.height, s.width + 3, 0x22), reference(s.width, s.height, s.width + 3, 0x22);
        for (int n = 0; n < s.lines; ++n, ++line) {
            float p[4];
            for (int e = 0; e < 4; ++e) {
                const int size = e % 2 == 0 ? s.width : s.height;
                p[e] = static_cast<float>(rng.Range(-12.0, size + 12.0));
                if (rng.Below(3) == 0) p[e] = nearPowerOfTwo(size);
                if (rng.Below(6) == 0) p[e] = std::trunc(p[e]) + (rng.Below(2) ? 0.5f : 0.0f);
            }
            float colour[6];
            for (float& v : colour) {
                v = static_cast<float>(rng.Range(-600.0, 900.0));
                if (rng.Below(4) == 0) v = std::ldexp(1.0f, static_cast<int>(rng.Below(10))) * (rng.Below(4) ? 1.0f : -1.0f);
                if (rng.Below(8) == 0) v = 0.0f;
            }
            const RasterPath path = FastPaths[line % 3];
            DrawBothWays(path, fast, reference, p, colour, line % 5 == 0);
            ASSERT_EQ(fast.Hash(), reference.Hash())
                << "path " << static_cast<int>(path) << ", line " << line << " differs (seed " << Seed << ") on "
                << s.width << "x" << s.height << ": DrawFadeLine(" << p[0] << ", " << p[1] << ", " << p[2] << ", "
                << p[3] << ", " << colour[0] << ", " << colour[1] << ", " << colour[2] << ", " << colour[3] << ", "
                << colour[4] << ", " << colour[5] << ")";
        }
        EXPECT_TRUE(fast.GuardsIntact());
    }
}

// Single runs thousands of steps long, from near the canvas corner across to its far side:
// the position passes every power of two from 2 up and the colours ramp through zero, so the
// accumulators leave their binades many times inside one run and the walk goes on across
// many batches of splats. Each fast path must draw exactly what the literal walk draws.
TEST(DrawFadeLine, LongRunsAcrossManyBinadesMatchTheLiteralWalk)
{
    struct Line {
        int width, height;
        float p[4], colour[6];
    };
    const Line lines[] = {
        {4100, 8, {2.25f, 2.5f, 4099.0f, 5.75f}, {-700.0f, 300.0f, 255.0f, 900.0f, -0.5f, 0.0f}},
        {4100, 8, {4097.5f, 5.0f, 2.0f, 2.0f}, {0.0f, 0.0f, 0.0f, 255.0f, 128.0f, 1.0f}},
        {8, 4100, {3.0f, 2.0f, 4.75f, 4099.5f}, {64.0f, -64.0f, 511.0f, -300.0f, 1000.0f, 2.0f}},
        {1500, 1400, {2.0f, 1397.0f, 1497.0f, 2.0f}, {1.0f, 2.0f, 4.0f, 512.0f, 256.0f, 128.0f}},
        {1500, 1400, {-300.0f, -200.0f, 1800.0f, 1600.0f}, {1e6f, -1e6f, 3e9f, 0.0f, 0.0f, 0.0f}},
    };
    for (const Line& line : lines)
        for (const RasterPath path : FastPaths) {
            GuardedCanvas fast(line.width, line.height, line.width + 1, 0x22),
                reference(line.width, line.height, line.width + 1, 0x22);
            DrawBothWays(path, fast, reference, line.p, line.colour);
            ASSERT_EQ(fast.Hash(), reference.Hash())
                << "path " << static_cast<int>(path) << " differs on " << line.width << "x" << line.height
                << ": DrawFadeLine(" << line.p[0] << ", " << line.p[1] << ", " << line.p[2] << ", " << line.p[3]
                << ", ...)";
            EXPECT_GT(reference.CountNot(0x22), std::max(line.width, line.height));  // the run was long
        }
}

}  // namespace
}  // namespace nimbrelle
