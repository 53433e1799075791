#include "camera/trig.h"
#include "camera/view_points.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "raster/raster.h"
#include "raster/splat_block.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbrelle {

Star Stars[StarCount];

void InitStars()
{
    for (Star& star : Stars) {
        // The factor multiplies: the angles run up to about 1.7e8 radians and their sines and
        // cosines serve as random values.
        const auto a = static_cast<float>(NextRandom() * 5217.675159235669);
        const double b = NextRandom() * 5217.675159235669;
        const double cb = Cosine(b);
        star.position = Vector3{static_cast<float>(500.0 * Cosine(a) * cb),
                                static_cast<float>(500.0 * Sine(a) * cb),
                                static_cast<float>(500.0 * Sine(b))};
        star.brightness = NextRandom() % 154 + 100;
        star.active = 1;
    }
}

namespace {

// The literal drawing: each star viewed, then its two splats, one after the other.
void DrawStarsReference()
{
    for (const Star& star : Stars) {
        const Vector3 s = ViewPoint(SceneCamera, star.position);
        if (s.z <= 0.0f) continue;  // on or behind the camera plane
        auto u = static_cast<float>(star.brightness - static_cast<double>(s.z) * static_cast<double>(0.25f));
        if (u < 0.0f) u = 0.0f;
        if (star.active != 1) continue;
        const float red = u * 0.25f;
        SplatPoint(s.x, s.y, red, u, u);
        SplatPoint(static_cast<float>(s.x + 0.1), static_cast<float>(s.y + 0.1), red, u, u);
    }
}

// The faster paths draw the same pixels in three passes: every star is viewed (several at a
// time where the path has SIMD), the stars with a splat on the canvas are listed, and the
// listed stars are drawn, the canvas rows of the stars a few places ahead being fetched while
// the current one is drawn: the stars land anywhere, and a large canvas has just been written
// out of the cache.

// Every star's canvas position and depth this frame.
float ViewX[StarCount], ViewY[StarCount], ViewZ[StarCount];

// A star with at least one splat on the canvas: its two points (the second is the first moved
// 0.1 right and down), its brightness for this frame and which of the points land.
struct StarSplat {
    float x, y, x2, y2, u;
    uint32_t landing;
};
constexpr uint32_t FirstLands = 1, SecondLands = 2;
StarSplat Splats[StarCount];
constexpr int PrefetchStars = 16;

// Lists the stars in front of the camera, active and with a splat that lands, in order; returns
// how many. The landing test is SplatLands with the canvas bounds read once.
int ListLandingStars()
{
    const double maxX = static_cast<double>(int64_t{BoundCanvas.width} - 2);
    const double maxY = static_cast<double>(int64_t{BoundCanvas.height} - 2);
    const auto lands = [maxX, maxY](float x, float y) {
        return x >= 2.0f && y >= 2.0f && static_cast<double>(x) <= maxX && static_cast<double>(y) <= maxY;
    };
    int count = 0;
    for (int i = 0; i < StarCount; ++i) {
        const float z = ViewZ[i];
        if (z <= 0.0f || Stars[i].active != 1) continue;  // on or behind the camera plane, or unlit
        const float x = ViewX[i], y = ViewY[i];
        const auto x2 = static_cast<float>(x + 0.1), y2 = static_cast<float>(y + 0.1);
        const uint32_t landing = (lands(x, y) ? FirstLands : 0u) | (lands(x2, y2) ? SecondLands : 0u);
        if (landing == 0) continue;
        auto u = static_cast<float>(Stars[i].brightness - static_cast<double>(z) * static_cast<double>(0.25f));
        if (u < 0.0f) u = 0.0f;
        Splats[count++] = StarSplat{x, y, x2, y2, u, landing};
    }
    return count;
}

// The rows of the block the star's first landing splat adds to.
void PrefetchSplat(const StarSplat& s)
{
    const bool first = (s.landing & FirstLands) != 0;
    const uint32_t* p = PixelAddress(BoundCanvas, static_cast<int32_t>(first ? s.x : s.x2),
                                     static_cast<int32_t>(first ? s.y : s.y2));
    PrefetchPixel(p);
    PrefetchPixel(p + BoundCanvas.pitch);
}

// A listed star's splats, each drawn as SplatPoint draws it.
void SplatStar(const StarSplat& s)
{
    const float red = s.u * 0.25f;
    if ((s.landing & FirstLands) != 0) SplatLanded(s.x, s.y, red, s.u, s.u);
    if ((s.landing & SecondLands) != 0) SplatLanded(s.x2, s.y2, red, s.u, s.u);
}

#if defined(__SSE2__)

// SplatStar's pixels, with both splats' weights found together when both land. Each weight and
// amount is SplatLanded's, rounded the same way, and the second splat is added after the
// first, so every pixel ends the same.
void SplatStarSse2(const StarSplat& s)
{
    if (s.landing != (FirstLands | SecondLands)) {
        SplatStar(s);
        return;
    }
    // Both land, so all four conversions are exact truncations.
    const int32_t ix = static_cast<int32_t>(s.x), iy = static_cast<int32_t>(s.y);
    const int32_t ix2 = static_cast<int32_t>(s.x2), iy2 = static_cast<int32_t>(s.y2);
    // Lane 0 holds the first splat's fraction, lane 1 the second's.
    const __m128d half = _mm_set1_pd(0.5), one = _mm_set1_pd(1.0);
    const __m128d fx =
        _mm_mul_pd(_mm_sub_pd(_mm_setr_pd(s.x, s.x2), _mm_cvtepi32_pd(_mm_setr_epi32(ix, ix2, 0, 0))), half);
    const __m128d fy =
        _mm_mul_pd(_mm_sub_pd(_mm_setr_pd(s.y, s.y2), _mm_cvtepi32_pd(_mm_setr_epi32(iy, iy2, 0, 0))), half);
    const __m128d gx = _mm_sub_pd(one, fx), gy = _mm_sub_pd(one, fy);
    // A splat's weights: (1 - fx, fx) times 1 - fy for the top pair and times fy for the
    // bottom pair, each stored in single precision.
    const auto weights = [](__m128d across, __m128d down) {
        return _mm_cvtps_pd(_mm_cvtpd_ps(_mm_mul_pd(across, down)));
    };
    const __m128d across1 = _mm_unpacklo_pd(gx, fx), across2 = _mm_unpackhi_pd(gx, fx);
    const double r = static_cast<double>(s.u * 0.25f), g = s.u;
    const __m128i c1 = SplatCompositesSse2(weights(across1, _mm_unpacklo_pd(gy, gy)),
                                           weights(across1, _mm_unpacklo_pd(fy, fy)), r, g, g);
    const __m128i c2 = SplatCompositesSse2(weights(across2, _mm_unpackhi_pd(gy, gy)),
                                           weights(across2, _mm_unpackhi_pd(fy, fy)), r, g, g);
    const int32_t pitch = BoundCanvas.pitch;
    uint32_t* top = PixelAddress(BoundCanvas, ix, iy);
    AddBlockSse2(top, top + pitch, c1);
    uint32_t* top2 = PixelAddress(BoundCanvas, ix2, iy2);
    AddBlockSse2(top2, top2 + pitch, c2);
}

#endif

// Views the stars with the widest SIMD the raster path allows; every version gives ViewPoint's
// results exactly.
ViewPointsFn StarViewer(RasterPath path)
{
    switch (path) {
    case RasterPath::Simd: {
        static const bool avx2 = HaveViewPointsAvx2();
        return avx2 ? ViewPointsAvx2 : ViewPointsSse2;
    }
    case RasterPath::Sse2: return ViewPointsSse2;
    case RasterPath::Reference:
    case RasterPath::Scalar: break;
    }
    return ViewPointsScalar;
}

template <void (*Splat)(const StarSplat&)>
void SplatListed(int count)
{
    for (int n = 0; n < count; ++n) {
        if (n + PrefetchStars < count) PrefetchSplat(Splats[n + PrefetchStars]);
        Splat(Splats[n]);
    }
}

}  // namespace

void DrawStars()
{
    const RasterPath path = ActiveRasterPath();
    if (path == RasterPath::Reference) {
        DrawStarsReference();
        return;
    }
    // The positions are read from Stars[] every frame: whoever owns the table may move a star.
    StarViewer(path)(SceneCamera, &Stars[0].position, sizeof(Star), StarCount, ViewX, ViewY, ViewZ);
    const int count = ListLandingStars();
#if defined(__SSE2__)
    if (path != RasterPath::Scalar) {
        SplatListed<SplatStarSse2>(count);
        return;
    }
#endif
    SplatListed<SplatStar>(count);
}

}  // namespace nimbrelle
