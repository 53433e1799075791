#include "camera/trig.h"
#include "camera/view_points.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "raster/raster.h"

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

// Where each star lands this frame, found before any is drawn so that the canvas rows of the
// stars a few places ahead can be fetched while the current one is drawn: the stars land
// anywhere, and a large canvas has just been written out of the cache.
struct StarSplat {
    float x, y, u;
};
StarSplat Splats[StarCount];
// Every star's canvas position and depth this frame.
float ViewX[StarCount], ViewY[StarCount], ViewZ[StarCount];
constexpr int PrefetchStars = 16;

void PrefetchSplat(const StarSplat& s)
{
    if (!SplatLands(s.x, s.y)) return;
    const uint32_t* p = PixelAddress(BoundCanvas, static_cast<int32_t>(s.x), static_cast<int32_t>(s.y));
    PrefetchPixel(p);
    PrefetchPixel(p + BoundCanvas.pitch);
}

// The stars are viewed with the widest SIMD the raster path allows; every version gives
// ViewPoint's results exactly.
ViewPointsFn StarViewer()
{
    switch (ActiveRasterPath()) {
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

}  // namespace

void DrawStars()
{
    // The positions are read from Stars[] every frame: whoever owns the table may move a star.
    StarViewer()(SceneCamera, &Stars[0].position, sizeof(Star), StarCount, ViewX, ViewY, ViewZ);
    int count = 0;
    for (int i = 0; i < StarCount; ++i) {
        const float z = ViewZ[i];
        if (z <= 0.0f) continue;  // on or behind the camera plane
        auto u = static_cast<float>(Stars[i].brightness - static_cast<double>(z) * static_cast<double>(0.25f));
        if (u < 0.0f) u = 0.0f;
        if (Stars[i].active != 1) continue;
        Splats[count++] = StarSplat{ViewX[i], ViewY[i], u};
    }
    for (int n = 0; n < count; ++n) {
        if (n + PrefetchStars < count) PrefetchSplat(Splats[n + PrefetchStars]);
        const StarSplat& s = Splats[n];
        const float red = s.u * 0.25f;
        SplatPoint(s.x, s.y, red, s.u, s.u);
        SplatPoint(static_cast<float>(s.x + 0.1), static_cast<float>(s.y + 0.1), red, s.u, s.u);
    }
}

}  // namespace nimbrelle
