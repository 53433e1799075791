#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;

// A picture whose texel (r, c) encodes its own position, so the tests can see which texel
// landed where: blue = column, green = row, red = 1.
const uint32_t* PositionPicture()
{
    static uint32_t image[4096];
    for (uint32_t r = 0; r < 64; ++r)
        for (uint32_t c = 0; c < 64; ++c) image[r * 64 + c] = 0x010000u | (r << 8) | c;
    return image;
}

TEST(BlitGlow, Size64UsesEveryTexelOnce)
{
    GuardedCanvas c(80, 80, 84, 0);
    c.Bind();
    BlitGlow(40, 40, 64, PositionPicture(), 1.0f);  // x0 = y0 = 8
    for (int r = 0; r < 64; ++r)
        for (int col = 0; col < 64; ++col)
            ASSERT_EQ(c.At(8 + col, 8 + r), PositionPicture()[r * 64 + col]) << r << "," << col;
    EXPECT_EQ(c.CountNot(0), 64 * 64);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(BlitGlow, SmallerSizesStepThroughTheTexels)
{
    GuardedCanvas c(80, 80, 80, 0);
    c.Bind();
    BlitGlow(40, 40, 32, PositionPicture(), 1.0f);  // step 128: every second texel
    EXPECT_EQ(c.At(24, 24), 0x010000u);
    EXPECT_EQ(c.At(24 + 31, 24 + 31), 0x013E3Eu);
    EXPECT_EQ(c.At(24 + 32, 24), 0u);

    GuardedCanvas d(80, 80, 80, 0);
    d.Bind();
    BlitGlow(40, 40, 10.5f, PositionPicture(), 1.0f);  // 11 x 11, step 390
    const int x0 = static_cast<int>(40 - 5.25);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(d.At(x0 + i, x0), 0x010000u | static_cast<uint32_t>(6 * i)) << i;
        EXPECT_EQ(d.At(x0, x0 + i), 0x010000u | static_cast<uint32_t>(6 * i) << 8) << i;
    }
    EXPECT_EQ(d.At(x0 + 11, x0), 0u);
    EXPECT_EQ(d.At(x0, x0 + 11), 0u);
}

TEST(BlitGlow, TinyStampsAreOnePixelOfTheFirstTexel)
{
    GuardedCanvas c(10, 10, 10, 0);
    c.Bind();
    BlitGlow(5, 5, 1.0f, PositionPicture(), 1.0f);
    BlitGlow(2, 2, 1e-30f, PositionPicture(), 1.0f);  // step overflows but is never used
    EXPECT_EQ(c.At(4, 4), 0x010000u);  // x0 = trunc(5 - 0.5) = 4
    EXPECT_EQ(c.At(2, 2), 0x010000u);  // 2 - 5e-31 is 2 in double
    EXPECT_EQ(c.CountNot(0), 2);
}

TEST(BlitGlow, TruncatesTheCornerTowardZero)
{
    GuardedCanvas c(10, 10, 10, 0);
    c.Bind();
    BlitGlow(1, 1, 3, PositionPicture(), 1.0f);  // 1 - 1.5 = -0.5 truncates to 0
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ((c.At(x, y) >> 16) & 0xFF, 1u) << x << "," << y;
    EXPECT_EQ(c.CountNot(0), 9);
}

TEST(BlitGlow, BadSizesDrawNothing)
{
    GuardedCanvas c(10, 10, 10, 0);
    c.Bind();
    for (float size : {0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
        BlitGlow(5, 5, size, PositionPicture(), 1.0f);
    EXPECT_EQ(c.CountNot(0), 0);
}

TEST(BlitGlow, IntensityScalesAndTruncates)
{
    GuardedCanvas c(80, 80, 80, 0);
    c.Bind();
    BlitGlow(32, 32, 64, GlowImage, 0.5f);
    for (int i = 0; i < 4096; ++i) {
        const uint32_t v = (GlowImage[i] & 0xFF) / 2;
        ASSERT_EQ(c.At(i % 64, i / 64), v * 0x010101u) << i;
    }
    // Not a number, or a product beyond 64 bits, adds nothing.
    GuardedCanvas d(80, 80, 80, 0x00010203);
    d.Bind();
    BlitGlow(32, 32, 64, GlowImage, std::numeric_limits<float>::quiet_NaN());
    BlitGlow(32, 32, 64, GlowImage, 1e30f);
    EXPECT_EQ(d.CountNot(0x00010203), 0);
}

TEST(BlitGlow, HalfOffTheEdgeDrawsTheVisibleColumns)
{
    GuardedCanvas c(40, 40, 44, 0);
    c.Bind();
    BlitGlow(0, 20, 64, PositionPicture(), 1.0f);  // x0 = -32
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(c.At(x, y), PositionPicture()[(y + 12) * 64 + x + 32]) << x << "," << y;
    EXPECT_EQ(c.At(32, 20), 0u);
    EXPECT_TRUE(c.GuardsIntact());
}

// Every fast path must draw exactly what the literal double loop draws.
TEST(BlitGlow, FastPathsMatchTheLiteralLoopsOnRandomStamps)
{
    for (RasterPath path : {RasterPath::Scalar, RasterPath::Simd}) {
        test::Rng rng(0xB117);
        const int width = 90, height = 70, pitch = 93;
        GuardedCanvas fast(width, height, pitch, 0x22), reference(width, height, pitch, 0x22);
        for (int n = 0; n < 4000; ++n) {
            const auto x = static_cast<int32_t>(rng.Range(-120, 210));
            const auto y = static_cast<int32_t>(rng.Range(-120, 190));
            auto size = static_cast<float>(rng.Range(-2, 200));
            if (n % 7 == 0) size = static_cast<float>(rng.Range(0, 2));
            const auto intensity = static_cast<float>(rng.Range(-0.2, 1.5));
            const uint32_t* image = (n % 2) ? GlowImage : PositionPicture();
            fast.Bind();
            SelectRasterPath(path);
            BlitGlow(x, y, size, image, intensity);
            SelectRasterPath(RasterPath::Simd);
            reference.Bind();
            BlitGlowReference(x, y, size, image, intensity);
            if (fast.Hash() != reference.Hash())
                FAIL() << "path " << static_cast<int>(path) << ", stamp " << n << " differs (seed 0xB117): BlitGlow("
                       << x << ", " << y << ", " << size << ", ..., " << intensity << ")";
        }
        EXPECT_TRUE(fast.GuardsIntact());
    }
}

// A batch of overlapping stamps, drawn band by band, must equal the stamps one after another.
TEST(BlitGlow, BatchesMatchStampsOneAfterAnother)
{
    test::Rng rng(0xBA7C4);
    for (RasterPath path : {RasterPath::Scalar, RasterPath::Simd}) {
        for (int round = 0; round < 60; ++round) {
            const int width = 20 + static_cast<int>(rng.Below(300)), height = 20 + static_cast<int>(rng.Below(200));
            std::vector<GlowStamp> stamps(1 + rng.Below(45));
            for (GlowStamp& g : stamps)
                g = GlowStamp{static_cast<int32_t>(rng.Range(-100, width + 100)),
                              static_cast<int32_t>(rng.Range(-100, height + 100)),
                              static_cast<float>(rng.Range(-5, 260)), rng.Below(2) ? GlowImage : PositionPicture(),
                              static_cast<float>(rng.Range(0, 1.2))};
            GuardedCanvas batch(width, height, width + 3, 0x22), single(width, height, width + 3, 0x22);
            batch.Bind();
            SelectRasterPath(path);
            BlitGlows(stamps.data(), static_cast<int>(stamps.size()));
            SelectRasterPath(RasterPath::Simd);
            single.Bind();
            for (const GlowStamp& g : stamps) BlitGlowReference(g.x, g.y, g.size, g.image, g.intensity);
            ASSERT_EQ(batch.Hash(), single.Hash()) << "path " << static_cast<int>(path) << ", round " << round
                                                   << " (seed 0xBA7C4)";
            ASSERT_TRUE(batch.GuardsIntact());
        }
    }
}

}  // namespace
}  // namespace nimbrelle
