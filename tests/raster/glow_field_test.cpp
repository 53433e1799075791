#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;

// A picture with independent, mostly unequal channels, so a lane mixed up shows.
const uint32_t* NoisePicture()
{
    static uint32_t image[4096];
    test::Rng rng(0x1A6E);
    for (uint32_t& t : image) t = static_cast<uint32_t>(rng.Next()) & 0x00FFFFFFu;
    return image;
}

// A grey picture other than the glow: a diagonal ramp.
const uint32_t* GreyRamp()
{
    static uint32_t image[4096];
    for (uint32_t i = 0; i < 4096; ++i) image[i] = ((i / 64 + i % 64) * 2u) * 0x010101u;
    return image;
}

// Mostly ordinary intensities; sometimes one whose every amount is 0 (the stamp is left out
// where the canvas's top bytes are clear) or one that makes the amounts wrap.
float Intensity(test::Rng& rng)
{
    const float special[] = {0.0f, std::numeric_limits<float>::quiet_NaN(), 256.0f, 1.0f / 300.0f, 2.5f};
    if (rng.Below(4) == 0) return special[rng.Below(std::size(special))];
    return static_cast<float>(rng.Range(-0.1, 1.6));
}

struct Shape {
    int width, height;
};

// The one-pass clear and stamping must equal a clear followed by the literal stamps, on every
// canvas shape (single rows and columns included), for small stamps (drawn in two passes) and
// large ones (summed in one), on every raster path.
TEST(ClearAndBlitGlows, MatchesAClearAndTheLiteralStamps)
{
    constexpr uint64_t Seed = 0xF1E1D;
    test::Rng rng(Seed);
    const Shape fixed[] = {{1, 700}, {700, 1}, {2, 300}, {300, 3}, {1, 1}, {5, 5}};
    for (int round = 0; round < 120; ++round) {
        Shape shape{1 + static_cast<int>(rng.Below(500)), 1 + static_cast<int>(rng.Below(400))};
        if (round < static_cast<int>(std::size(fixed))) shape = fixed[round];
        const int pitch = shape.width + static_cast<int>(rng.Below(5));
        std::vector<GlowStamp> stamps(1 + rng.Below(round % 10 == 9 ? 80 : 24));
        const bool large = rng.Below(3) != 0;
        // Grey pictures alone are summed in one lane per pixel, others in one per channel.
        const bool grey = round % 2 == 0;
        for (GlowStamp& g : stamps) {
            const uint32_t* image = grey ? (rng.Below(2) ? GlowImage : GreyRamp()) : rng.Below(2) ? GlowImage : NoisePicture();
            const double reach = large ? 600.0 : 80.0;
            g = GlowStamp{static_cast<int32_t>(rng.Range(-reach, shape.width + reach)),
                          static_cast<int32_t>(rng.Range(-reach, shape.height + reach)),
                          static_cast<float>(large ? rng.Range(150, 1500) : rng.Range(-2, 140)),
                          image, Intensity(rng)};
        }
        // Mostly the scene's background; sometimes one with a top byte, which pixels keep
        // only where no stamp lands.
        const uint32_t background = rng.Below(4) == 0 ? static_cast<uint32_t>(rng.Next()) : 0x22u;

        GuardedCanvas expected(shape.width, shape.height, pitch, 0);
        expected.Bind();
        ClearCanvas(background);
        for (const GlowStamp& g : stamps) BlitGlowReference(g.x, g.y, g.size, g.image, g.intensity);
        for (RasterPath path : {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd}) {
            GuardedCanvas c(shape.width, shape.height, pitch, 0);
            c.Bind();
            SelectRasterPath(path);
            ClearAndBlitGlows(background, stamps.data(), static_cast<int>(stamps.size()));
            SelectRasterPath(RasterPath::Simd);
            ASSERT_TRUE(c.GuardsIntact()) << "round " << round << " (seed " << Seed << ")";
            ASSERT_EQ(c.Hash(), expected.Hash()) << "path " << static_cast<int>(path) << ", round " << round << " (seed "
                                                 << Seed << "): " << shape.width << "x" << shape.height << ", "
                                                 << stamps.size() << (large ? " large" : " small") << (grey ? " grey" : "") << " stamps";
        }
    }
}

// A canvas large enough to be streamed out takes the one-pass path even for small stamps.
TEST(ClearAndBlitGlows, LargeCanvasesWithSmallStampsMatchToo)
{
    constexpr uint64_t Seed = 0x5743;
    test::Rng rng(Seed);
    const int width = 3072, height = 2100;  // over 24 MB
    std::vector<GlowStamp> stamps(20);
    for (GlowStamp& g : stamps)
        g = GlowStamp{static_cast<int32_t>(rng.Range(-40, width + 40)), static_cast<int32_t>(rng.Range(-40, height + 40)),
                      static_cast<float>(rng.Range(1, 90)), GlowImage, static_cast<float>(rng.Range(0, 1.2))};
    GuardedCanvas expected(width, height, width + 1, 0);
    expected.Bind();
    ClearCanvas(0x22);
    for (const GlowStamp& g : stamps) BlitGlowReference(g.x, g.y, g.size, g.image, g.intensity);
    for (RasterPath path : {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd}) {
        GuardedCanvas c(width, height, width + 1, 0);
        c.Bind();
        SelectRasterPath(path);
        ClearAndBlitGlows(0x22, stamps.data(), static_cast<int>(stamps.size()));
        SelectRasterPath(RasterPath::Simd);
        EXPECT_TRUE(c.GuardsIntact());
        EXPECT_EQ(c.Hash(), expected.Hash()) << "path " << static_cast<int>(path) << " (seed " << Seed << ")";
    }
}

// The scratch rows grow with the canvas and are given back; a frame after either is the same.
TEST(ClearAndBlitGlows, ScratchGrowsWithTheCanvasAndCanBeReleased)
{
    const GlowStamp stamp{100, 60, 900.0f, GlowImage, 0.9f};
    std::vector<uint64_t> hashes;
    for (int width : {200, 2000, 200, 3000}) {
        GuardedCanvas c(width, 120, width, 0);
        c.Bind();
        ClearAndBlitGlows(0x22, &stamp, 1);
        GuardedCanvas expected(width, 120, width, 0);
        expected.Bind();
        ClearCanvas(0x22);
        BlitGlowReference(stamp.x, stamp.y, stamp.size, stamp.image, stamp.intensity);
        EXPECT_EQ(c.Hash(), expected.Hash()) << width;
        if (width == 2000) ReleaseRasterScratch();
    }
    ReleaseRasterScratch();
}

}  // namespace
}  // namespace nimbrelle
