// The fast fading-line walk with landing runs formed two steps to an SSE2 vector: the widest
// the 32-bit x86 build may assume, so nothing here goes beyond SSE2.
#include "raster/fade_walk.h"
#include "raster/splat_block.h"

namespace nimbrelle {

namespace {

#if defined(__SSE2__)
// Rounds each lane to single precision and back, as a float variable holds it.
inline __m128d Single(__m128d v) { return _mm_cvtps_pd(_mm_cvtpd_ps(v)); }

// Four steps as two halves of two lanes each: every operation is SplatLanded's, in the same
// order and precision.
class Sse2Group {
public:
    explicit Sse2Group(int32_t pitch)
        : pitchMagnitude(_mm_set1_epi32(static_cast<int>(pitch < 0 ? 0u - static_cast<uint32_t>(pitch)
                                                                   : static_cast<uint32_t>(pitch)))),
          pitchSign(_mm_set1_epi32(pitch < 0 ? -1 : 0))
    {
    }

    void Start(const Track (&t)[5], int32_t n)
    {
        for (int a = 0; a < 5; ++a) {
            const __m128d base = _mm_set1_pd(t[a].base), d = _mm_set1_pd(t[a].d);
            const auto m = static_cast<double>(n - t[a].from);
            lo[a] = _mm_add_pd(base, _mm_mul_pd(_mm_set_pd(m + 1.0, m), d));
            hi[a] = _mm_add_pd(base, _mm_mul_pd(_mm_set_pd(m + 3.0, m + 2.0), d));
            four[a] = _mm_set1_pd(4.0 * t[a].d);
        }
    }

    void Next()
    {
        for (int a = 0; a < 5; ++a) {
            lo[a] = _mm_add_pd(lo[a], four[a]);
            hi[a] = _mm_add_pd(hi[a], four[a]);
        }
    }

    void Load(const double (&lanes)[5][4])
    {
        for (int a = 0; a < 5; ++a) {
            lo[a] = _mm_loadu_pd(&lanes[a][0]);
            hi[a] = _mm_loadu_pd(&lanes[a][2]);
        }
    }

    void Form(SplatBatch& b, int slot) const
    {
        const Half l = Prepare(lo), h = Prepare(hi);
        // Pixel j's amount of channel ch for the four steps; out of range gives INT32_MIN.
        const auto amounts = [&](int j, int ch) {
            return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_mul_pd(l.w[j], l.c[ch])),
                                      _mm_cvttpd_epi32(_mm_mul_pd(h.w[j], h.c[ch])));
        };
        StoreComposites(b, slot, amounts);
        // Offsets iy * pitch + ix in 64 bits. Both coordinates are at least 2, so SSE2's
        // unsigned multiply takes the pitch's magnitude and the sign is applied after.
        const __m128i ix = _mm_unpacklo_epi64(l.ix, h.ix), iy = _mm_unpacklo_epi64(l.iy, h.iy);
        const __m128i rows02 = _mm_mul_epu32(iy, pitchMagnitude);
        const __m128i rows13 = _mm_mul_epu32(_mm_srli_epi64(iy, 32), pitchMagnitude);
        const __m128i off02 = _mm_add_epi64(_mm_sub_epi64(_mm_xor_si128(rows02, pitchSign), pitchSign),
                                            _mm_and_si128(ix, _mm_set_epi32(0, -1, 0, -1)));
        const __m128i off13 = _mm_add_epi64(_mm_sub_epi64(_mm_xor_si128(rows13, pitchSign), pitchSign),
                                            _mm_srli_epi64(ix, 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b.offsets + slot), _mm_unpacklo_epi64(off02, off13));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b.offsets + slot + 2), _mm_unpackhi_epi64(off02, off13));
    }

private:
    // Weights of top-left, top-right, bottom-left, bottom-right and the channels of two steps,
    // with the truncated position.
    struct Half {
        __m128i ix, iy;
        __m128d w[4], c[3];
    };

    static Half Prepare(const __m128d (&v)[5])
    {
        Half h;
        const __m128d fx = Single(v[0]), fy = Single(v[1]);
        h.ix = _mm_cvttpd_epi32(fx);  // in range: the splat lands
        h.iy = _mm_cvttpd_epi32(fy);
        const __m128d half = _mm_set1_pd(0.5), one = _mm_set1_pd(1.0);
        const __m128d ax = _mm_mul_pd(_mm_sub_pd(fx, _mm_cvtepi32_pd(h.ix)), half);
        const __m128d ay = _mm_mul_pd(_mm_sub_pd(fy, _mm_cvtepi32_pd(h.iy)), half);
        const __m128d bx = _mm_sub_pd(one, ax), by = _mm_sub_pd(one, ay);
        h.w[0] = Single(_mm_mul_pd(bx, by));
        h.w[1] = Single(_mm_mul_pd(ax, by));
        h.w[2] = Single(_mm_mul_pd(bx, ay));
        h.w[3] = Single(_mm_mul_pd(ax, ay));
        for (int ch = 0; ch < 3; ++ch) h.c[ch] = Single(v[2 + ch]);
        return h;
    }

    __m128d lo[5], hi[5];    // x, y, r, g, b of the first two steps and of the last two
    __m128d four[5];         // each one's move over four steps
    __m128i pitchMagnitude;  // |pitch| in each 32-bit lane
    __m128i pitchSign;       // all ones when the pitch is negative
};

struct Sse2Splat : PlainSplat {
    static void DrawRun(Walk& k, uint64_t run) { DrawLandingRun<Sse2Group>(k, run); }
};
#else
using Sse2Splat = PlainSplat;
#endif

}  // namespace

void RunWalkSse2(const Walk& k) { RunWalk<Sse2Splat>(k); }

}  // namespace nimbrelle
