#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "camera/camera.h"

namespace nimbrelle {
namespace {

void ExpectVector(const Vector3& v, float x, float y, float z)
{
    EXPECT_FLOAT_EQ(v.x, x);
    EXPECT_FLOAT_EQ(v.y, y);
    EXPECT_FLOAT_EQ(v.z, z);
}

TEST(VectorOps, SubtractCrossNormalize)
{
    Vector3 v{1, 2, 3};
    const Vector3 w{1, 1, 1};
    Subtract(v, w);
    ExpectVector(v, 0, 1, 2);
    ExpectVector(w, 1, 1, 1);

    Vector3 c;
    Cross(c, Vector3{1, 0, 0}, Vector3{0, 1, 0});
    ExpectVector(c, 0, 0, 1);

    Vector3 n{3, 0, 4};
    Normalize(n);
    EXPECT_EQ(n.x, 0.6f);
    EXPECT_EQ(n.y, 0.0f);
    EXPECT_EQ(n.z, 0.8f);
}

TEST(VectorOps, DotSumsInDoubleFromTheLastTerm)
{
    // The tiny x term survives only when the large terms cancel first: (z + y) + x.
    const Vector3 a{0x1.0p-60f, 1.0f, -1.0f};
    const Vector3 b{1.0f, 1.0f, 1.0f};
    EXPECT_EQ(Dot(a, b), 0x1.0p-60);
}

TEST(VectorOps, BuildBasisAndTransform)
{
    Matrix3x4 m;
    BuildBasis(Vector3{1, 0, 0}, Vector3{0, 0, 1}, m);
    const float rows[3][3] = {{0, -1, 0}, {0, 0, 1}, {1, 0, 0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(m.m[r][c], rows[r][c]) << r << "," << c;
    Vector3 out;
    TransformPoint(m, Vector3{5, 2, 3}, out);
    ExpectVector(out, -2, 3, 5);

    BuildBasis(Vector3{2, 0, 2}, Vector3{0, 0, 1}, m);
    EXPECT_NEAR(m.m[2][0], 0.7071068f, 1e-7f);  // forward
    EXPECT_NEAR(m.m[2][2], 0.7071068f, 1e-7f);
    EXPECT_NEAR(m.m[1][0], -0.7071068f, 1e-7f);  // up
    EXPECT_NEAR(m.m[1][2], 0.7071068f, 1e-7f);
    EXPECT_NEAR(m.m[0][1], -1.0f, 1e-7f);  // side
}

TEST(VectorOps, BuildBasisRoundsEveryStoredComponent)
{
    // The first frame's view direction of the scene. Each component of the orthogonalised up
    // vector is rounded to single precision before it is normalised; an optimiser that keeps
    // the double instead moves the up row by one unit in the last place and flips the sign of
    // the side row's tiny z.
    const Vector3 forward{-0x1.2cbcbp-2f, 0x1.cbf366p-1f, -0x1.4e8938p-2f};
    Matrix3x4 m;
    BuildBasis(forward, Vector3{0, 0, 1}, m);
    EXPECT_EQ(m.m[0][0], 0x1.e6a752p-1f);
    EXPECT_EQ(m.m[0][1], 0x1.3e3254p-2f);
    EXPECT_EQ(m.m[0][2], 0x1.6242c8p-28f);
    EXPECT_EQ(m.m[1][0], -0x1.9fd038p-4f);
    EXPECT_EQ(m.m[1][1], 0x1.3df992p-2f);
    EXPECT_EQ(m.m[1][2], 0x1.e3e80ap-1f);
}

class CameraTest : public ::testing::Test {
protected:
    Camera cam{};
    void TearDown() override { ReleaseCamera(cam); }
};

TEST_F(CameraTest, CreateSetsTheReferenceScreen)
{
    ASSERT_TRUE(CreateCamera(cam, "blenk"));
    EXPECT_STREQ(cam.name, "blenk");
    EXPECT_EQ(cam.focal, 140.0f);
    EXPECT_EQ(cam.nearOffset, 0.0f);
    EXPECT_EQ(cam.scaleX, 1.0);
    EXPECT_EQ(cam.scaleY, 1.0);
    EXPECT_EQ(cam.centerX, 160.0);
    EXPECT_EQ(cam.centerY, 120.0);
    EXPECT_EQ(cam.positionCount, 1);
    EXPECT_EQ(cam.targetCount, 1);
    ExpectVector(cam.up, 0, 0, 1);
    EXPECT_NE(cam.positions, nullptr);
    EXPECT_NE(cam.targets, nullptr);
}

TEST_F(CameraTest, LongNamesAreCutToThirtyOneCharacters)
{
    const char* longName = "a-camera-name-that-is-much-longer-than-thirty-two-bytes";
    ASSERT_TRUE(CreateCamera(cam, longName));
    EXPECT_EQ(std::strlen(cam.name), 31u);
    EXPECT_EQ(std::strncmp(cam.name, longName, 31), 0);
}

void* FailSecond(std::size_t bytes)
{
    static int calls = 0;
    return (++calls % 2 == 0) ? nullptr : std::malloc(bytes);
}

TEST_F(CameraTest, AllocationFailureLeavesNoLists)
{
    CameraAllocate = FailSecond;
    const bool created = CreateCamera(cam, "x");
    CameraAllocate = std::malloc;
    EXPECT_FALSE(created);
    EXPECT_EQ(cam.positions, nullptr);
    EXPECT_EQ(cam.targets, nullptr);
}

TEST_F(CameraTest, UpdateLooksFromPositionToTargetForAnyFrameNumber)
{
    ASSERT_TRUE(CreateCamera(cam, "c"));
    cam.positions[0] = Vector3{0, 0, 0};
    cam.targets[0] = Vector3{10, 0, 0};
    for (int32_t frame : {0, 1, -1, 7, INT32_MIN, INT32_MAX}) {
        UpdateCamera(cam, frame);
        EXPECT_EQ(cam.currentPosition, &cam.positions[0]);
        EXPECT_EQ(cam.currentTarget, &cam.targets[0]);
    }
    EXPECT_EQ(cam.basis.m[0][1], -1.0f);
    EXPECT_EQ(cam.basis.m[1][2], 1.0f);
    EXPECT_EQ(cam.basis.m[2][0], 1.0f);
    ExpectVector(cam.position, 0, 0, 0);

    // Negative frame numbers fold into the list rather than before its start.
    cam.positionCount = 3;
    UpdateCamera(cam, -1);
    EXPECT_EQ(cam.currentPosition, &cam.positions[2]);
    UpdateCamera(cam, INT32_MIN);
    EXPECT_EQ(cam.currentPosition, &cam.positions[1]);
}

TEST_F(CameraTest, ProjectPointDividesOrClampsAtTheNearPlane)
{
    ASSERT_TRUE(CreateCamera(cam, "c"));
    cam.focal = 100.0f;
    Vector3 out;
    ProjectPoint(cam, out, Vector3{10, 5, 100});
    ExpectVector(out, 170, 115, 100);

    ProjectPoint(cam, out, Vector3{10, 5, 0.05f});
    EXPECT_EQ(out.x, 10160.0f);
    EXPECT_EQ(out.y, -4880.0f);
    EXPECT_EQ(out.z, 0.05f);

    // Depth 0.1f gives w = -0.0010000000149, not below the single -0.001: clamped too.
    ProjectPoint(cam, out, Vector3{10, 5, 0.1f});
    EXPECT_EQ(out.x, 10160.0f);
    EXPECT_EQ(out.y, -4880.0f);

    // Just past the boundary the division applies and lands slightly closer in.
    ProjectPoint(cam, out, Vector3{10, 5, 0.1000001f});
    EXPECT_LT(out.x, 10160.0f);

    ProjectPoint(cam, out, Vector3{10, 5, std::numeric_limits<float>::quiet_NaN()});
    EXPECT_TRUE(std::isnan(out.x));
    EXPECT_TRUE(std::isnan(out.y));
}

TEST_F(CameraTest, ViewPointComposesTheTransform)
{
    ASSERT_TRUE(CreateCamera(cam, "c"));
    cam.focal = 100.0f;
    cam.positions[0] = Vector3{-100, 0, 0};
    cam.targets[0] = Vector3{0, 0, 0};
    UpdateCamera(cam, 0);
    const Vector3 p{0, -10, 5};  // 100 ahead, 10 to the right, 5 up
    const Vector3 s = ViewPoint(cam, p);
    ExpectVector(s, 170, 115, 100);
    ExpectVector(p, 0, -10, 5);
}

}  // namespace
}  // namespace nimbrelle
