#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

constexpr RasterPath FastPaths[] = {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd};

// Records whose every byte is at most a random loudness.
std::vector<FrameData> RandomRecords(test::Rng& rng, int count)
{
    std::vector<FrameData> frames(static_cast<std::size_t>(count));
    for (FrameData& fd : frames) {
        const uint32_t loudness = rng.Below(256);
        auto* bytes = reinterpret_cast<uint8_t*>(&fd);
        for (size_t i = 0; i < sizeof fd; ++i) bytes[i] = static_cast<uint8_t>(rng.Below(loudness + 1));
    }
    return frames;
}

// The hash of the frames drawn on one canvas by one raster path from a fresh scene.
uint64_t DrawFrames(RasterPath path, uint32_t randomState, int width, int height, int pitch,
                    const std::vector<FrameData>& frames)
{
    SelectRasterPath(path);
    SetRandomState(randomState);
    EXPECT_TRUE(InitScene());
    test::GuardedCanvas c(width, height, pitch, 0);
    c.Bind();
    for (const FrameData& fd : frames) RenderScene(fd);
    EXPECT_TRUE(c.GuardsIntact());
    SelectRasterPath(RasterPath::Simd);
    ReleaseScene();
    return c.Hash();
}

// Whole frames must come out the same from every raster path: random canvases, random signal
// levels, several frames each so the fountain's state carries over.
TEST(RenderPaths, EveryPathDrawsTheSameFrames)
{
    constexpr uint64_t Seed = 0xF4A3E5;
    test::Rng rng(Seed);
    for (int round = 0; round < 12; ++round) {
        const int width = 8 + static_cast<int>(rng.Below(400));
        const int height = 8 + static_cast<int>(rng.Below(300));
        const int pitch = width + static_cast<int>(rng.Below(9));
        const auto randomState = static_cast<uint32_t>(rng.Next());
        const std::vector<FrameData> frames = RandomRecords(rng, 6);
        const uint64_t reference = DrawFrames(RasterPath::Reference, randomState, width, height, pitch, frames);
        for (RasterPath path : FastPaths)
            EXPECT_EQ(DrawFrames(path, randomState, width, height, pitch, frames), reference)
                << "path " << static_cast<int>(path) << ", round " << round << " (seed " << Seed << ")";
    }
}

// The same at 3840x2160, with a loud frame whose glows cover the canvas many times over.
TEST(RenderPaths, EveryPathDrawsTheSame4KFrames)
{
    constexpr uint64_t Seed = 0x4C4;
    test::Rng rng(Seed);
    std::vector<FrameData> frames = RandomRecords(rng, 1);
    frames.push_back(test::UniformFrame(255));
    const uint64_t reference = DrawFrames(RasterPath::Reference, 1, 3840, 2160, 3843, frames);
    for (RasterPath path : FastPaths)
        EXPECT_EQ(DrawFrames(path, 1, 3840, 2160, 3843, frames), reference)
            << "path " << static_cast<int>(path) << " (seed " << Seed << ")";
}

// RenderScene without the burst and the stars, on the literal stamps.
void DrawGlowsOnly(const FrameData& fd)
{
    const auto glowScale = static_cast<float>(std::fabs(FrameEnergy(fd) * static_cast<double>(0.0025f)));
    PlaceCamera(SceneClock);
    UpdateCamera(SceneCamera, 0);
    SelectRasterPath(RasterPath::Reference);
    DrawFountain(glowScale, fd);
    SelectRasterPath(RasterPath::Simd);
    SceneClock = SceneClock + 3.0f;
}

// On canvases narrower or lower than 4 pixels no splat can land, so a frame is the clear and
// the glows alone; the lines must still end at once, however far their walks would go (the
// literal walks take seconds here).
TEST(RenderPaths, SingleRowsAndColumnsGetTheGlowsAlone)
{
    constexpr uint64_t Seed = 0x1D1;
    test::Rng rng(Seed);
    const int shapes[][2] = {{1, 8192}, {8192, 1}, {3, 4000}, {4000, 2}, {1, 1}};
    for (const auto& shape : shapes) {
        const int width = shape[0], height = shape[1];
        std::vector<FrameData> frames = RandomRecords(rng, 5);
        frames.push_back(test::UniformFrame(255));

        SetRandomState(7);
        ASSERT_TRUE(InitScene());
        test::GuardedCanvas expected(width, height, width + 1, 0);
        expected.Bind();
        for (const FrameData& fd : frames) DrawGlowsOnly(fd);
        ReleaseScene();
        for (RasterPath path : FastPaths)
            EXPECT_EQ(DrawFrames(path, 7, width, height, width + 1, frames), expected.Hash())
                << "path " << static_cast<int>(path) << ", " << width << "x" << height << " (seed " << Seed << ")";
    }
}

}  // namespace
}  // namespace nimbrelle
