#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

constexpr RasterPath FastPaths[] = {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd};

// A canvas of random pixels (top bytes included, which drawing clears), the same for every
// path.
struct StarCanvas {
    test::GuardedCanvas canvas;
    StarCanvas(int width, int height, int pitch, uint64_t seed) : canvas(width, height, pitch, 0)
    {
        test::Rng rng(seed);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) canvas.At(x, y) = static_cast<uint32_t>(rng.Next());
    }
};

// Draws the current stars with one path on a fresh copy of the canvas; returns its hash.
uint64_t DrawStarsWith(RasterPath path, int width, int height, int pitch, uint64_t canvasSeed)
{
    StarCanvas c(width, height, pitch, canvasSeed);
    c.canvas.Bind();
    SelectRasterPath(path);
    DrawStars();
    SelectRasterPath(RasterPath::Simd);
    EXPECT_TRUE(c.canvas.GuardsIntact()) << "path " << static_cast<int>(path);
    return c.canvas.Hash();
}

class StarPathsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRandomState(1);
        ASSERT_TRUE(InitScene());
    }
    void TearDown() override { ReleaseScene(); }
};

// Every path must draw the stars' pixels as the literal loop does: random cameras looking
// from inside and outside the shell (about one star in five sits within 0.1 of a pixel edge,
// so its two splats fall in different blocks), stars moved onto and around the camera,
// brightness far out of range so the amounts carry or do not fit, and stars switched off.
TEST_F(StarPathsTest, EveryPathDrawsTheSameStars)
{
    constexpr uint64_t Seed = 0x57A125;
    test::Rng rng(Seed);
    for (int round = 0; round < 40; ++round) {
        const int width = 4 + static_cast<int>(rng.Below(700));
        const int height = 4 + static_cast<int>(rng.Below(500));
        const int pitch = width + static_cast<int>(rng.Below(5));
        const uint64_t canvasSeed = rng.Next();

        Camera& cam = SceneCamera;
        cam.positions[0] = Vector3{static_cast<float>(rng.Range(-700, 700)), static_cast<float>(rng.Range(-700, 700)),
                                   static_cast<float>(rng.Range(-700, 700))};
        cam.targets[0] = Vector3{static_cast<float>(rng.Range(-200, 200)), static_cast<float>(rng.Range(-200, 200)),
                                 static_cast<float>(rng.Range(-200, 200))};
        UpdateCamera(cam, 0);
        cam.nearOffset = rng.Below(4) == 0 ? static_cast<float>(rng.Range(-0.01, 0.01)) : 0.0f;
        cam.focal = static_cast<float>(rng.Range(20, 400));
        cam.scaleX = width * rng.Range(0.001, 0.02);
        cam.scaleY = height * rng.Range(0.001, 0.02);
        cam.centerX = rng.Range(0, width);
        cam.centerY = rng.Range(0, height);

        InitStars();
        for (Star& s : Stars) {
            switch (rng.Below(16)) {
            case 0: s.position = cam.position; break;
            case 1: s.brightness = static_cast<int32_t>(rng.Range(-5e4, 5e6)); break;
            case 2: s.active = static_cast<int32_t>(rng.Below(3)); break;
            case 3:
                // Close around the camera, where the depth crosses the near plane.
                s.position = Vector3{static_cast<float>(cam.position.x + rng.Range(-1, 1)),
                                     static_cast<float>(cam.position.y + rng.Range(-1, 1)),
                                     static_cast<float>(cam.position.z + rng.Range(-1, 1))};
                break;
            default: break;
            }
        }
        const uint64_t reference = DrawStarsWith(RasterPath::Reference, width, height, pitch, canvasSeed);
        for (RasterPath path : FastPaths)
            ASSERT_EQ(DrawStarsWith(path, width, height, pitch, canvasSeed), reference)
                << "path " << static_cast<int>(path) << ", round " << round << " on " << width << "x" << height
                << " pitch " << pitch << " (seed " << Seed << ")";
    }
}

// Coordinates along one axis on and around the limits a splat's block must stay within: 2 and
// size - 2 for a star's point, and 0.1 less for its second point.
std::vector<float> EdgeCoordinates(int size)
{
    std::vector<float> edges;
    for (const double limit : {2.0, static_cast<double>(size - 2), 1.9, size - 2.1}) {
        const auto f = static_cast<float>(limit);
        for (const float v : {std::nextafter(f, -1.0f), f, std::nextafter(f, 1e9f)}) edges.push_back(v);
    }
    return edges;
}

// Stars placed exactly on the canvas limits: each path must land or drop each splat as
// SplatPoint does. Looking down the x axis from the origin with focal length 1, a point at
// depth 1 lands at (x, -y) exactly.
TEST_F(StarPathsTest, StarsOnTheCanvasLimitsLandAsSplatPointDecides)
{
    constexpr int Width = 64, Height = 48;
    Camera& cam = SceneCamera;
    cam.basis = Matrix3x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    cam.position = Vector3{0, 0, 0};
    cam.focal = 1.0f;
    cam.nearOffset = 0.0f;
    cam.scaleX = cam.scaleY = 1.0;
    cam.centerX = cam.centerY = 0.0;
    for (Star& s : Stars) s.active = 0;
    int n = 0;
    for (const float x : EdgeCoordinates(Width))
        for (const float y : EdgeCoordinates(Height)) Stars[n++] = Star{Vector3{x, -y, 1.0f}, 253, 1};
    const uint64_t reference = DrawStarsWith(RasterPath::Reference, Width, Height, Width, 1);
    for (RasterPath path : FastPaths)
        EXPECT_EQ(DrawStarsWith(path, Width, Height, Width, 1), reference) << "path " << static_cast<int>(path);
}

}  // namespace
}  // namespace nimbrelle
