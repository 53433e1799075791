#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "camera/view_points.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// The SIMD versions this build and processor can run, by name.
struct Viewer {
    const char* name;
    ViewPointsFn view;
};
std::vector<Viewer> SimdViewers()
{
    std::vector<Viewer> viewers{{"sse2", ViewPointsSse2}};
    if (HaveViewPointsAvx2()) viewers.push_back({"avx2", ViewPointsAvx2});
    return viewers;
}

// Equal bits, or both not a number (which NaN an operation passes on depends on the order the
// compiler gives a commutative operation's operands, in the scalar code as well).
bool Same(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Mostly ordinary values, sometimes zeros of either sign, infinities, NaN or extremes.
float RandomValue(test::Rng& rng, double range)
{
    const float specials[] = {0.0f, -0.0f, Inf, -Inf, NaN, 1e-40f, -1e-40f, 3e38f, -3e38f, 0.001f, -0.001f};
    if (rng.Below(24) == 0) return specials[rng.Below(std::size(specials))];
    return static_cast<float>(rng.Range(-range, range));
}

// A camera looking from a random position toward a random target, with a random screen
// mapping; now and then its basis is overwritten with random or non-finite values.
void RandomCamera(test::Rng& rng, Camera& cam)
{
    cam.positions[0] = Vector3{RandomValue(rng, 600), RandomValue(rng, 600), RandomValue(rng, 600)};
    cam.targets[0] = Vector3{RandomValue(rng, 600), RandomValue(rng, 600), RandomValue(rng, 600)};
    UpdateCamera(cam, 0);
    if (rng.Below(4) == 0)
        for (auto& row : cam.basis.m)
            for (float& v : row) v = RandomValue(rng, 2);
    cam.nearOffset = rng.Below(2) == 0 ? 0.0f : RandomValue(rng, 0.01);
    cam.focal = rng.Below(8) == 0 ? RandomValue(rng, 300) : static_cast<float>(rng.Range(1, 300));
    cam.scaleX = rng.Range(0, 25);
    cam.scaleY = rng.Range(0, 25);
    cam.centerX = rng.Range(-100, 4000);
    cam.centerY = rng.Range(-100, 3000);
}

// Stars and other records hold their position at their start, followed by other fields.
struct Record {
    Vector3 position;
    int32_t other[2];
};

std::string Describe(const Camera& c, const Vector3& p)
{
    std::ostringstream s;
    s.precision(9);
    s << "point (" << p.x << ", " << p.y << ", " << p.z << "), camera at (" << c.position.x << ", " << c.position.y
      << ", " << c.position.z << "), basis";
    for (const auto& row : c.basis.m) s << " " << row[0] << " " << row[1] << " " << row[2];
    s << ", near offset " << c.nearOffset << ", focal " << c.focal << ", scale " << c.scaleX << " " << c.scaleY
      << ", centre " << c.centerX << " " << c.centerY;
    return s.str();
}

// Views `points` with every SIMD version and requires ViewPoint's result in every lane.
void ExpectViewPointResults(const Camera& cam, const std::vector<Record>& points, const std::string& context)
{
    const std::size_t n = points.size();
    for (const Viewer& viewer : SimdViewers()) {
        std::vector<float> x(n + 1, 7.0f), y(n + 1, 7.0f), z(n + 1, 7.0f);
        viewer.view(cam, points.empty() ? nullptr : &points[0].position, sizeof(Record), n, x.data(), y.data(), z.data());
        for (std::size_t i = 0; i < n; ++i) {
            const Vector3 expected = ViewPoint(cam, points[i].position);
            ASSERT_TRUE(Same(x[i], expected.x) && Same(y[i], expected.y) && Same(z[i], expected.z))
                << viewer.name << " gives (" << x[i] << ", " << y[i] << ", " << z[i] << "), ViewPoint ("
                << expected.x << ", " << expected.y << ", " << expected.z << ") for point " << i << " of " << n
                << ": " << Describe(cam, points[i].position) << " (" << context << ")";
        }
        EXPECT_EQ(x[n], 7.0f) << viewer.name << " wrote past the last point (" << context << ")";
        EXPECT_EQ(z[n], 7.0f) << viewer.name << " wrote past the last point (" << context << ")";
    }
}

class ViewPointsTest : public ::testing::Test {
protected:
    Camera cam{};
    void SetUp() override { ASSERT_TRUE(CreateCamera(cam, "view")); }
    void TearDown() override { ReleaseCamera(cam); }
};

// Random cameras and points, any count (so every tail length occurs): each lane must be what
// ViewPoint gives for its point. Some points sit on the camera, some just behind or in front
// of the near plane, some are copies of the target.
TEST_F(ViewPointsTest, EveryLaneIsViewPoint)
{
    constexpr uint64_t Seed = 0x51A125;
    test::Rng rng(Seed);
    for (int round = 0; round < 3000; ++round) {
        RandomCamera(rng, cam);
        std::vector<Record> points(rng.Below(23));
        for (Record& r : points) {
            r.position = Vector3{RandomValue(rng, 800), RandomValue(rng, 800), RandomValue(rng, 800)};
            switch (rng.Below(8)) {
            case 0: r.position = cam.position; break;
            case 1: r.position = *cam.currentTarget; break;
            case 2:
                // Close to the camera, where the depth crosses the near plane.
                r.position.x = static_cast<float>(cam.position.x + rng.Range(-0.5, 0.5));
                r.position.y = static_cast<float>(cam.position.y + rng.Range(-0.5, 0.5));
                r.position.z = static_cast<float>(cam.position.z + rng.Range(-0.5, 0.5));
                break;
            default: break;
            }
        }
        ExpectViewPointResults(cam, points, "round " + std::to_string(round) + ", seed " + std::to_string(Seed));
    }
}

// With an upright basis at the origin and focal length 1 the divisor is minus the point's
// depth, so depths around 0.001f put it exactly on, just inside and just past the single-
// precision near limit: the lanes must clamp and divide exactly where ViewPoint does.
TEST_F(ViewPointsTest, LanesClampAndDivideAtTheNearLimitAsViewPointDoes)
{
    cam.basis = Matrix3x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    cam.position = Vector3{0, 0, 0};
    cam.focal = 1.0f;
    cam.nearOffset = 0.0f;
    const float depths[] = {0.001f, std::nextafter(0.001f, 1.0f), std::nextafter(0.001f, 0.0f), 0.0f, -0.0f,
                            -0.001f, -5.0f, NaN, Inf, -Inf, 0.0015f};
    std::vector<Record> points;
    for (float d : depths) points.push_back(Record{Vector3{3.0f, -2.0f, d}, {}});
    ExpectViewPointResults(cam, points, "near limit");

    const Vector3 on = ViewPoint(cam, points[0].position);
    const Vector3 past = ViewPoint(cam, points[1].position);
    EXPECT_EQ(on.x, static_cast<float>(160.0 - 3.0 * ProjectionClampedReciprocal)) << "on the limit: clamped";
    EXPECT_NE(past.x, on.x) << "past the limit: divided";
}

}  // namespace
}  // namespace nimbrelle
