#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;
using test::UniformFrame;

// Each test starts from the generator's load state with a freshly built scene.
class SceneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRandomState(1);
        ASSERT_TRUE(InitScene());
    }
    void TearDown() override { ReleaseScene(); }

    // Points the camera as the first frame does on the bound canvas; returns the origin's
    // canvas position.
    static Vector3 FirstFrameCamera()
    {
        PlaceCamera(0.0f);
        UpdateCamera(SceneCamera, 0);
        return ViewPoint(SceneCamera, Vector3{0, 0, 0});
    }
};

TEST(Random, FifteenBitValuesFromTheLoadState)
{
    SetRandomState(1);
    const int32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int32_t e : expected) EXPECT_EQ(NextRandom(), e);
    SetRandomState(0xFFFFFFFFu);
    for (int i = 0; i < 100000; ++i) {
        const int32_t v = NextRandom();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST_F(SceneTest, InitDrawsExactly7646ValuesAndEachCallBuildsANewScene)
{
    SetRandomState(1);
    for (int i = 0; i < 7646; ++i) NextRandom();
    const uint32_t afterOne = RandomState();
    SetRandomState(1);
    ASSERT_TRUE(InitScene());
    EXPECT_EQ(RandomState(), afterOne);

    const Vector3 firstStar = Stars[0].position;
    ASSERT_TRUE(InitScene());
    EXPECT_NE(std::memcmp(&firstStar, &Stars[0].position, sizeof firstStar), 0);
    EXPECT_EQ(SceneClock, 0.0f);
}

TEST_F(SceneTest, TablesStayInTheirRanges)
{
    for (int32_t p : Periods) {
        EXPECT_GE(p, 800);
        EXPECT_LE(p, 1799);
    }
    for (const Star& s : Stars) {
        const double r = std::sqrt(double{s.position.x} * s.position.x + double{s.position.y} * s.position.y +
                                   double{s.position.z} * s.position.z);
        EXPECT_NEAR(r, 500.0, 500.0 * 1e-6);
        EXPECT_GE(s.brightness, 100);
        EXPECT_LE(s.brightness, 253);
        EXPECT_EQ(s.active, 1);
    }
    for (const Pulse& p : Pulses) {
        EXPECT_GE(p.amplitude, 0.0f);
        EXPECT_LE(p.amplitude, 252.0f);
        EXPECT_EQ(p.rate, 140);
        EXPECT_EQ(p.phase, 0.0f);
    }
    for (int j = 0; j < BurstRayCount; ++j) {
        const Vector3& far = BurstRays[255][j];
        EXPECT_NEAR(std::sqrt(double{far.x} * far.x + double{far.y} * far.y + double{far.z} * far.z), 760.0, 1e-3);
    }
    for (int j = 0; j < FountainRayCount; ++j) {
        EXPECT_EQ(FountainRays[0][j].x, 0.0f);
        const Vector3& top = FountainRays[255][j];
        EXPECT_NEAR(std::sqrt(double{top.x} * top.x + double{top.y} * top.y + double{top.z} * top.z), 510.0, 1e-3);
    }
}

TEST(FrameEnergy, PairsTheFirstFourValuesOfEachChannel)
{
    FrameData fd = UniformFrame(0);
    EXPECT_EQ(FrameEnergy(fd), 0.0);
    fd.blockA[0][0] = 200;
    fd.blockB[0][0] = 200;
    EXPECT_EQ(FrameEnergy(fd), 40000.0);
    fd.blockA[1][3] = 3;
    fd.blockB[1][3] = 5;
    fd.blockA[0][4] = 255;  // outside the pairs
    fd.blockB[0][4] = 255;
    EXPECT_EQ(FrameEnergy(fd), 40015.0);
    EXPECT_EQ(FrameEnergy(UniformFrame(255)), 520200.0);
}

TEST_F(SceneTest, FirstFrameCameraAndScreenMapping)
{
    GuardedCanvas c(640, 480, 640, 0);
    c.Bind();
    PlaceCamera(0.0f);
    EXPECT_EQ(SceneCamera.positions[0].x, 0.0f);
    EXPECT_EQ(SceneCamera.positions[0].y, -350.0f);
    EXPECT_NEAR(SceneCamera.positions[0].z, 189.1, 0.01);
    EXPECT_EQ(SceneCamera.targets[0].x, -170.0f);
    EXPECT_EQ(SceneCamera.targets[0].y, 170.0f);
    EXPECT_EQ(SceneCamera.targets[0].z, 0.0f);
    EXPECT_EQ(SceneCamera.scaleX, 640 * double{0.003125f});
    EXPECT_EQ(SceneCamera.scaleY, 480 * double{0.004166667f});
    EXPECT_NEAR(SceneCamera.scaleX, 2.0000000298, 1e-10);
    EXPECT_NEAR(SceneCamera.scaleY, 2.0000001043, 1e-10);
    EXPECT_EQ(SceneCamera.centerX, 320.0);
    EXPECT_EQ(SceneCamera.centerY, 240.0);
    UpdateCamera(SceneCamera, 0);
    Vector3 origin = ViewPoint(SceneCamera, Vector3{0, 0, 0});
    EXPECT_NEAR(origin.x, 377.82, 0.01);
    EXPECT_NEAR(origin.y, 277.24, 0.01);

    GuardedCanvas small(320, 240, 320, 0);
    small.Bind();
    PlaceCamera(0.0f);
    UpdateCamera(SceneCamera, 0);
    origin = ViewPoint(SceneCamera, Vector3{0, 0, 0});
    EXPECT_NEAR(origin.x, 188.91, 0.01);
    EXPECT_NEAR(origin.y, 138.62, 0.01);
    EXPECT_NEAR(origin.z, 376.2, 0.05);

    GuardedCanvas odd(321, 241, 321, 0);
    odd.Bind();
    PlaceCamera(0.0f);
    EXPECT_EQ(SceneCamera.centerX, 160.0);
    EXPECT_EQ(SceneCamera.centerY, 120.0);
}

TEST_F(SceneTest, ClockAdvancesInSinglePrecisionAndStandsStillAtTwoToThe26)
{
    GuardedCanvas c(64, 48, 64, 0);
    c.Bind();
    const FrameData fd = UniformFrame(0);
    RenderScene(fd);
    RenderScene(fd);
    EXPECT_EQ(SceneClock, 6.0f);
    SceneClock = 16777218.0f;
    RenderScene(fd);
    EXPECT_EQ(SceneClock, 16777220.0f);
    SceneClock = 67108864.0f;
    RenderScene(fd);
    EXPECT_EQ(SceneClock, 67108864.0f);
}

TEST_F(SceneTest, PulseOfAmplitude140PeaksAtFrameTwenty)
{
    GuardedCanvas c(320, 240, 320, 0);
    c.Bind();
    FirstFrameCamera();
    FrameData fd = UniformFrame(0);
    for (Pulse& p : Pulses) p = Pulse{140.0f, 0.0f, 140, 0};
    DrawFountain(0.0f, fd);
    EXPECT_EQ(Pulses[0].phase, 0.05f);
    EXPECT_EQ(Pulses[0].row, 6);
    for (int frame = 2; frame < 20; ++frame) DrawFountain(0.0f, fd);
    EXPECT_EQ(Pulses[0].amplitude, 140.0f);  // phase 0.95000005: still rising
    DrawFountain(0.0f, fd);                  // phase 1.0000001 passes the peak
    EXPECT_EQ(Pulses[0].amplitude, 0.0f);
    EXPECT_EQ(Pulses[0].phase, 0.0f);
    EXPECT_EQ(Pulses[0].row, 0);
}

TEST_F(SceneTest, RelaunchesReadTheTwentyLaunchIndices)
{
    GuardedCanvas c(320, 240, 320, 0);
    c.Bind();
    FirstFrameCamera();
    FrameData fd = UniformFrame(0);
    for (int h = 0; h < FountainRayCount; ++h) fd.blockA[0][(512 * h) / 20] = static_cast<uint8_t>(24 + h);
    for (Pulse& p : Pulses) p = Pulse{0.0f, 0.0f, 140, 0};
    DrawFountain(0.0f, fd);  // amplitude 0 relaunches at once
    for (int h = 0; h < FountainRayCount; ++h) EXPECT_EQ(Pulses[h].amplitude, float(24 + h)) << h;
    EXPECT_EQ(fd.blockA[0][486], 24 + 19);
    DrawFountain(0.0f, fd);
    EXPECT_EQ(Pulses[0].row, 1);  // amplitude 24: 1.2 - 0.175 truncates to 1, no relaunch
    EXPECT_EQ(Pulses[0].amplitude, 24.0f);
}

TEST_F(SceneTest, SilentFountainAndBurstLeaveOnlyBlueLines)
{
    // With every level 0 the pulses relaunch with amplitude 0 (adding nothing) and the burst
    // ramps toward pure blue: no red or green anywhere but from stars.
    GuardedCanvas c(320, 240, 320, 0);
    c.Bind();
    const FrameData fd = UniformFrame(0);
    for (Pulse& p : Pulses) p = Pulse{0.0f, 0.0f, 140, 0};
    ClearCanvas(0x22);
    const Vector3 origin = FirstFrameCamera();
    DrawFountain(0.0f, fd);
    EXPECT_EQ(c.CountNot(0x22), 0);
    DrawBurst(origin.x, origin.y, fd);
    int blue = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            ASSERT_EQ(c.At(x, y) & 0xFFFF00u, 0u) << x << "," << y;
            blue += c.At(x, y) != 0x22;
        }
    EXPECT_GT(blue, 200);
}

TEST_F(SceneTest, LoudBurstReachesWhiteAndWrapsPastIt)
{
    // Level 170: m = 255, the core ramps to white. Level 255: m = 382, amounts above 255
    // wrap in AddPixel, so the core is not a clamped white.
    for (uint8_t level : {170, 255}) {
        GuardedCanvas c(320, 240, 320, 0);
        c.Bind();
        FrameData fd = UniformFrame(0);
        fd.blockB[0][2] = level;
        ClearCanvas(0);
        const Vector3 origin = FirstFrameCamera();
        DrawBurst(origin.x, origin.y, fd);
        const uint32_t core = c.At(static_cast<int>(origin.x), static_cast<int>(origin.y));
        if (level == 170) {
            EXPECT_EQ(core, 0x00FFFFFFu);
        }
        EXPECT_GT(c.CountNot(0), 300) << int{level};
    }
}

TEST_F(SceneTest, StarsDimWithDepth)
{
    // One star straight ahead at depth 400 with brightness 200: u = 100, two splats of
    // (25, 100, 100) landing on the same whole pixel's block.
    GuardedCanvas c(320, 240, 320, 0);
    c.Bind();
    SceneCamera.focal = 100.0f;
    SceneCamera.positions[0] = Vector3{0, 0, 0};
    SceneCamera.targets[0] = Vector3{1, 0, 0};
    UpdateCamera(SceneCamera, 0);
    for (Star& s : Stars) s.active = 0;
    Stars[0] = Star{Vector3{400, 0, 0}, 200, 1};
    Stars[1] = Star{Vector3{900, 0, 0}, 200, 1};   // u = 0: adds nothing
    Stars[2] = Star{Vector3{-400, 0, 0}, 253, 1};  // behind the camera: skipped
    DrawStars();
    // First splat at (160, 120) whole; the second at (160.1, 120.1): fx = fy = 0.05.
    const uint32_t centre = c.At(160, 120);
    EXPECT_EQ(centre >> 16, 25u + static_cast<uint32_t>(float(0.95f * 0.95f) * 25.0f));
    // (161, 121) gets weight 0.0025: every amount truncates to 0.
    EXPECT_EQ(c.CountNot(0), 3);
}

}  // namespace
}  // namespace nimbrelle
