#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

// Each fast path must draw the current stars as the literal loop does, on a canvas of random
// pixels (top bytes included, which drawing clears).
void ExpectEveryPathDrawsTheLiteralStars(int width, int height, int pitch, uint64_t canvasSeed,
                                         const std::string& context)
{
    const auto draw = [&](RasterPath path) {
        test::GuardedCanvas c(width, height, pitch, 0);
        test::Rng rng(canvasSeed);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) c.At(x, y) = static_cast<uint32_t>(rng.Next());
        c.Bind();
        SelectRasterPath(path);
        DrawStars();
        SelectRasterPath(RasterPath::Simd);
        EXPECT_TRUE(c.GuardsIntact()) << "path " << static_cast<int>(path) << ", " << context;
        return c.Hash();
    };
    const uint64_t reference = draw(RasterPath::Reference);
    for (RasterPath path : {RasterPath::Scalar, RasterPath::Sse2, RasterPath::Simd})
        ASSERT_EQ(draw(path), reference) << "path " << static_cast<int>(path) << " on " << width << "x" << height
                                         << " pitch " << pitch << ", " << context;
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

// Random cameras inside and outside the shell (about one landing star in five sits within 0.1
// of a pixel edge, so its two splats fall in different blocks), stars moved onto and around
// the camera, brightness far out of range so the amounts carry or do not fit, stars switched off.
TEST_F(StarPathsTest, EveryPathDrawsTheSameStars)
{
    constexpr uint64_t Seed = 0x57A125;
    test::Rng rng(Seed);
    const auto near = [&](float v, double range) { return static_cast<float>(v + rng.Range(-range, range)); };
    for (int round = 0; round < 40; ++round) {
        const int width = 4 + static_cast<int>(rng.Below(700)), height = 4 + static_cast<int>(rng.Below(500));
        Camera& cam = SceneCamera;
        cam.positions[0] = Vector3{near(0, 700), near(0, 700), near(0, 700)};
        cam.targets[0] = Vector3{near(0, 200), near(0, 200), near(0, 200)};
        UpdateCamera(cam, 0);
        cam.nearOffset = rng.Below(4) == 0 ? near(0, 0.01) : 0.0f;
        cam.focal = near(210, 190);
        cam.scaleX = width * rng.Range(0.001, 0.02), cam.scaleY = height * rng.Range(0.001, 0.02);
        cam.centerX = rng.Range(0, width), cam.centerY = rng.Range(0, height);
        InitStars();
        for (Star& s : Stars) {
            const Vector3 c = cam.position;
            const uint32_t kind = rng.Below(16);
            if (kind == 0) s.position = c;
            if (kind == 1) s.position = Vector3{near(c.x, 1), near(c.y, 1), near(c.z, 1)};
            if (kind == 2) s.brightness = static_cast<int32_t>(rng.Range(-5e4, 5e6));
            if (kind == 3) s.active = static_cast<int32_t>(rng.Below(3));
        }
        ExpectEveryPathDrawsTheLiteralStars(width, height, width + static_cast<int>(rng.Below(5)), rng.Next(),
                                            "round " + std::to_string(round) + " (seed " + std::to_string(Seed) + ")");
    }
}

// Stars exactly on and around the limits a splat's block must stay within (2 and size - 2 for a
// star's point, 0.1 less for its second point). Looking down the x axis from the origin with
// focal length 1, a point at depth 1 lands at (x, -y).
TEST_F(StarPathsTest, StarsOnTheCanvasLimitsLandAsSplatPointDecides)
{
    const auto edges = [](int size) {
        std::vector<float> v;
        for (const auto f : {2.0f, size - 2.0f, 1.9f, static_cast<float>(size - 2.1)})
            v.insert(v.end(), {std::nextafter(f, -1.0f), f, std::nextafter(f, 1e9f)});
        return v;
    };
    Camera& cam = SceneCamera;
    cam.basis = Matrix3x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    cam.position = Vector3{0, 0, 0};
    cam.nearOffset = 0.0f, cam.focal = 1.0f;
    cam.scaleX = cam.scaleY = 1.0, cam.centerX = cam.centerY = 0.0;
    for (Star& s : Stars) s.active = 0;
    int n = 0;
    for (const float x : edges(64))
        for (const float y : edges(48)) Stars[n++] = Star{Vector3{x, -y, 1.0f}, 253, 1};
    ExpectEveryPathDrawsTheLiteralStars(64, 48, 64, 1, "stars on the limits");
}

}  // namespace
}  // namespace nimbrelle
