// The fast fading-line walk with AVX2 splats. Built with -mavx2 for this file alone; called
// only when the processor has AVX2.
#include "raster/fade_walk.h"
#include "raster/splat_block.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace nimbrelle {

namespace {

#if defined(__AVX2__)
// SplatLanded with the four weights formed, rounded to single precision and multiplied by
// each channel four at a time. The products and their truncations are those of the plain
// splat: double products of singles, truncated to the integer indefinite when out of range.
struct Avx2Splat {
    static void Draw(float x, float y, float r, float g, float b)
    {
        const int32_t ix = static_cast<int32_t>(x);
        const int32_t iy = static_cast<int32_t>(y);
        const double fx = (static_cast<double>(x) - ix) * 0.5;
        const double fy = (static_cast<double>(y) - iy) * 0.5;
        // Weights of top-left, top-right, bottom-left, bottom-right.
        const __m256d across = _mm256_set_pd(fx, 1.0 - fx, fx, 1.0 - fx);
        const __m256d down = _mm256_set_pd(fy, fy, 1.0 - fy, 1.0 - fy);
        const __m256d w = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_mul_pd(across, down)));
        const auto amounts = [&](float channel) {
            return _mm256_cvttpd_epi32(_mm256_mul_pd(w, _mm256_set1_pd(static_cast<double>(channel))));
        };
        const __m128i composite =
            _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(amounts(r), 16), _mm_slli_epi32(amounts(g), 8)), amounts(b));
        uint32_t* top = PixelAddress(BoundCanvas, ix, iy);
        uint32_t* bottom = top + BoundCanvas.pitch;
        // One word at a time, as SplatBlockSse2 does.
        const __m128i pixels = _mm_set_epi32(static_cast<int>(bottom[1]), static_cast<int>(bottom[0]),
                                             static_cast<int>(top[1]), static_cast<int>(top[0]));
        const __m128i sum = _mm_and_si128(_mm_adds_epu8(pixels, composite), _mm_set1_epi32(0x00FFFFFF));
        top[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
        top[1] = static_cast<uint32_t>(_mm_extract_epi32(sum, 1));
        bottom[0] = static_cast<uint32_t>(_mm_extract_epi32(sum, 2));
        bottom[1] = static_cast<uint32_t>(_mm_extract_epi32(sum, 3));
    }
};
#else
struct Avx2Splat {
    static void Draw(float x, float y, float r, float g, float b) { SplatLanded(x, y, r, g, b); }
};
#endif

}  // namespace

void RunWalkAvx2(const Walk& k) { RunWalk<Avx2Splat>(k); }

}  // namespace nimbrelle
