#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "camera/view_points.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

constexpr uint64_t Seed = 0x51A125;
constexpr float Inf = std::numeric_limits<float>::infinity(), NaN = std::numeric_limits<float>::quiet_NaN();

// Mostly ordinary values, sometimes zeros of either sign, infinities, NaN or extremes.
float RandomValue(test::Rng& rng, double range)
{
    const float specials[] = {0.0f, -0.0f, Inf, -Inf, NaN, 1e-40f, 3e38f, -3e38f, 0.001f, -0.001f};
    return rng.Below(24) == 0 ? specials[rng.Below(std::size(specials))] : static_cast<float>(rng.Range(-range, range));
}

// Every SIMD version must give ViewPoint's result in every lane (equal bits, or both NaN: which
// NaN an operation passes on depends on how the compiler orders a commutative operation's
// operands, in the scalar code too), reading the positions where they sit in the star records,
// and write nothing past the last point.
void ExpectViewPointResults(const Camera& cam, const std::vector<Star>& stars, int round)
{
    const auto same = [](float a, float b) {
        return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
    };
    const std::size_t n = stars.size();
    for (const ViewPointsFn view : {ViewPointsSse2, HaveViewPointsAvx2() ? ViewPointsAvx2 : ViewPointsSse2}) {
        std::vector<float> out(3 * n + 3, 7.0f);  // x, y and z, each followed by a guard
        float *x = out.data(), *y = x + n + 1, *z = y + n + 1;
        view(cam, n == 0 ? nullptr : &stars[0].position, sizeof(Star), n, x, y, z);
        for (std::size_t i = 0; i < n; ++i) {
            const Vector3 e = ViewPoint(cam, stars[i].position);
            ASSERT_TRUE(same(x[i], e.x) && same(y[i], e.y) && same(z[i], e.z))
                << (view == ViewPointsSse2 ? "sse2" : "avx2") << ": point " << i << " of " << n << " is (" << x[i]
                << ", " << y[i] << ", " << z[i] << "), not (" << e.x << ", " << e.y << ", " << e.z << "), round "
                << round << " (seed " << Seed << ")";
        }
        EXPECT_TRUE(x[n] == 7.0f && y[n] == 7.0f && z[n] == 7.0f) << "wrote past the end, round " << round;
    }
}

class ViewPointsTest : public ::testing::Test {
protected:
    Camera cam{};
    void SetUp() override { ASSERT_TRUE(CreateCamera(cam, "view")); }
    void TearDown() override { ReleaseCamera(cam); }
};

// Random cameras (sometimes with a random or non-finite basis, a zero or negative focal length)
// and any number of points, so every tail length occurs; some points sit on the camera, on its
// target or close around it, where the depth crosses the near plane.
TEST_F(ViewPointsTest, EveryLaneIsViewPoint)
{
    test::Rng rng(Seed);
    const auto point = [&](double range) {
        return Vector3{RandomValue(rng, range), RandomValue(rng, range), RandomValue(rng, range)};
    };
    for (int round = 0; round < 3000; ++round) {
        cam.positions[0] = point(600);
        cam.targets[0] = point(600);
        UpdateCamera(cam, 0);
        if (rng.Below(4) == 0)
            for (auto& row : cam.basis.m)
                for (int c = 0; c < 3; ++c) row[c] = RandomValue(rng, 2);
        cam.nearOffset = rng.Below(2) == 0 ? 0.0f : RandomValue(rng, 0.01);
        cam.focal = rng.Below(8) == 0 ? RandomValue(rng, 300) : static_cast<float>(rng.Range(1, 300));
        cam.scaleX = rng.Range(0, 25), cam.scaleY = rng.Range(0, 25);
        cam.centerX = rng.Range(-100, 4000), cam.centerY = rng.Range(-100, 3000);
        std::vector<Star> stars(rng.Below(23));
        for (Star& s : stars) {
            const uint32_t kind = rng.Below(8);
            const Vector3 c = kind == 1 ? *cam.currentTarget : cam.position, d = point(0.5);
            s.position = kind == 0 || kind == 1 ? c : kind == 2 ? Vector3{c.x + d.x, c.y + d.y, c.z + d.z} : point(800);
        }
        ExpectViewPointResults(cam, stars, round);
    }
}

// With an upright basis at the origin and focal length 1 the divisor is minus the depth, so
// depths around 0.001f put it exactly on, just inside and just past the near limit.
TEST_F(ViewPointsTest, LanesClampAndDivideAtTheNearLimitAsViewPointDoes)
{
    cam.basis = Matrix3x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    cam.position = Vector3{0, 0, 0};
    cam.focal = 1.0f;
    std::vector<Star> stars;
    for (float d : {0.001f, std::nextafter(0.001f, 1.0f), std::nextafter(0.001f, 0.0f), 0.0f, -0.0f, -5.0f, NaN, Inf})
        stars.push_back(Star{Vector3{3.0f, -2.0f, d}, 0, 0});
    ExpectViewPointResults(cam, stars, -1);
}

}  // namespace
}  // namespace nimbrelle
