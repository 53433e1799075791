// The fast fading-line walk with AVX2: landing runs formed four steps to a vector, and single
// splats with the four weights in one vector. Built with -mavx2 for this file alone; called
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
        uint32_t* top = PixelAddress(BoundCanvas, ix, iy);
        AddBlockSse2(top, top + BoundCanvas.pitch, CompositesSse2(amounts(r), amounts(g), amounts(b)));
    }

    static void DrawRun(Walk& k, uint64_t run);
};

inline __m256d Single(__m256d v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }

// Four steps of a landing run, one to a lane: every operation is SplatLanded's, in the same
// order and precision.
class Avx2Group {
public:
    explicit Avx2Group(int32_t canvasPitch) : pitch(canvasPitch) {}

    void Start(const Track (&t)[5], int32_t n)
    {
        for (int a = 0; a < 5; ++a) {
            const __m256d m = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(n - t[a].from)), _mm256_set_pd(3.0, 2.0, 1.0, 0.0));
            v[a] = _mm256_add_pd(_mm256_set1_pd(t[a].base), _mm256_mul_pd(m, _mm256_set1_pd(t[a].d)));
            four[a] = _mm256_set1_pd(4.0 * t[a].d);
        }
    }

    void Next()
    {
        for (int a = 0; a < 5; ++a) v[a] = _mm256_add_pd(v[a], four[a]);
    }

    void Load(const double (&lanes)[5][4])
    {
        for (int a = 0; a < 5; ++a) v[a] = _mm256_loadu_pd(lanes[a]);
    }

    void Form(SplatBatch& b, int slot) const
    {
        const __m256d fx = Single(v[0]), fy = Single(v[1]);
        const __m128i ix = _mm256_cvttpd_epi32(fx), iy = _mm256_cvttpd_epi32(fy);  // in range: the splat lands
        const __m256d half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
        const __m256d ax = _mm256_mul_pd(_mm256_sub_pd(fx, _mm256_cvtepi32_pd(ix)), half);
        const __m256d ay = _mm256_mul_pd(_mm256_sub_pd(fy, _mm256_cvtepi32_pd(iy)), half);
        const __m256d bx = _mm256_sub_pd(one, ax), by = _mm256_sub_pd(one, ay);
        const __m256d w[4] = {Single(_mm256_mul_pd(bx, by)), Single(_mm256_mul_pd(ax, by)), Single(_mm256_mul_pd(bx, ay)),
                              Single(_mm256_mul_pd(ax, ay))};
        const __m256d c[3] = {Single(v[2]), Single(v[3]), Single(v[4])};
        // Pixel j's amount of channel ch for the four steps; out of range gives INT32_MIN.
        const auto amounts = [&](int j, int ch) { return _mm256_cvttpd_epi32(_mm256_mul_pd(w[j], c[ch])); };
        StoreComposites(b, slot, amounts);
        // Offsets iy * pitch + ix in 64 bits.
        const __m256i rows = _mm256_mul_epi32(_mm256_cvtepi32_epi64(iy), _mm256_set1_epi64x(pitch));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(b.offsets + slot), _mm256_add_epi64(rows, _mm256_cvtepi32_epi64(ix)));
    }

private:
    __m256d v[5];     // x, y, r, g, b of the four steps
    __m256d four[5];  // each one's move over four steps
    int32_t pitch;
};

void Avx2Splat::DrawRun(Walk& k, uint64_t run) { DrawLandingRun<Avx2Group>(k, run); }
#else
using Avx2Splat = PlainSplat;
#endif

}  // namespace

void RunWalkAvx2(const Walk& k) { RunWalk<Avx2Splat>(k); }

}  // namespace nimbrelle
