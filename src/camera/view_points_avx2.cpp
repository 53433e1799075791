// Built with -mavx2 for this file alone; called only when the processor has AVX2.
#include "camera/view_points.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "camera/view_lanes.h"

namespace nimbrelle {

#if defined(__AVX2__)

namespace {

// Four points per register.
struct Avx2Lanes {
    using D = __m256d;
    static constexpr std::size_t Width = 4;
    static D Set1(double v) { return _mm256_set1_pd(v); }
    static D Add(D a, D b) { return _mm256_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D Div(D a, D b) { return _mm256_div_pd(a, b); }
    static D Round(D a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
    static D NotGreaterEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NGE_UQ); }
    static D Select(D mask, D a, D b) { return _mm256_blendv_pd(b, a, mask); }
    static void Load(const Vector3* points, std::size_t stride, std::size_t i, D& x, D& y, D& z)
    {
        const Vector3& a = StridedPoint(points, stride, i);
        const Vector3& b = StridedPoint(points, stride, i + 1);
        const Vector3& c = StridedPoint(points, stride, i + 2);
        const Vector3& d = StridedPoint(points, stride, i + 3);
        x = _mm256_cvtps_pd(_mm_setr_ps(a.x, b.x, c.x, d.x));
        y = _mm256_cvtps_pd(_mm_setr_ps(a.y, b.y, c.y, d.y));
        z = _mm256_cvtps_pd(_mm_setr_ps(a.z, b.z, c.z, d.z));
    }
    static void Store(float* out, D v) { _mm_storeu_ps(out, _mm256_cvtpd_ps(v)); }
};

}  // namespace

bool HaveViewPointsAvx2() { return __builtin_cpu_supports("avx2") != 0; }

void ViewPointsAvx2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z)
{
    ViewPointsLanes<Avx2Lanes>(camera, points, stride, count, x, y, z);
}

#else

bool HaveViewPointsAvx2() { return false; }

void ViewPointsAvx2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z)
{
    ViewPointsScalar(camera, points, stride, count, x, y, z);
}

#endif

}  // namespace nimbrelle
