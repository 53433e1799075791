#include "camera/view_points.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "camera/view_lanes.h"

namespace nimbrelle {

void ViewPointsScalar(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                      float* y, float* z)
{
    for (std::size_t i = 0; i < count; ++i) {
        const Vector3 s = ViewPoint(camera, StridedPoint(points, stride, i));
        x[i] = s.x;
        y[i] = s.y;
        z[i] = s.z;
    }
}

#if defined(__SSE2__)

namespace {

// Two points per register.
struct Sse2Lanes {
    using D = __m128d;
    static constexpr std::size_t Width = 2;
    static D Set1(double v) { return _mm_set1_pd(v); }
    static D Add(D a, D b) { return _mm_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D Div(D a, D b) { return _mm_div_pd(a, b); }
    static D Round(D a) { return _mm_cvtps_pd(_mm_cvtpd_ps(a)); }
    static D NotGreaterEqual(D a, D b) { return _mm_cmpnge_pd(a, b); }
    static D Select(D mask, D a, D b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); }
    static void Load(const Vector3* points, std::size_t stride, std::size_t i, D& x, D& y, D& z)
    {
        const Vector3& a = StridedPoint(points, stride, i);
        const Vector3& b = StridedPoint(points, stride, i + 1);
        x = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(&a.x), _mm_load_ss(&b.x)));
        y = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(&a.y), _mm_load_ss(&b.y)));
        z = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(&a.z), _mm_load_ss(&b.z)));
    }
    // Two floats, stored as one unaligned 64-bit word.
    static void Store(float* out, D v)
    {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(_mm_cvtpd_ps(v)));
    }
};

}  // namespace

void ViewPointsSse2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z)
{
    ViewPointsLanes<Sse2Lanes>(camera, points, stride, count, x, y, z);
}

#else

void ViewPointsSse2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z)
{
    ViewPointsScalar(camera, points, stride, count, x, y, z);
}

#endif

}  // namespace nimbrelle
