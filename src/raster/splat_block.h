// The last step of a splat: four weighted amounts added to a 2x2 block of pixels that lies on
// the canvas, each packed and added exactly as AddPixel does. The plain version and an SSE2
// one (SSE2 is part of every x86 target this builds for, so it needs no flags of its own),
// chosen when compiling; tests hold the two together.
#pragma once

#include <cstdint>

#if defined(__SSE4_1__)
#include <smmintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raster/convert.h"
#include "raster/raster.h"

namespace nimbrelle {

// Each file gets its own copy: the AVX2 walk compiles these with wider instructions, and a
// shared copy from that file must never serve the files built for plain SSE2.
namespace {

// AddPixel's packing of three amounts: unclamped, so amounts outside 0-255 carry or borrow.
inline uint32_t Composite(int32_t r, int32_t g, int32_t b)
{
    return (static_cast<uint32_t>(r) * 256u + static_cast<uint32_t>(g)) * 256u + static_cast<uint32_t>(b);
}

// Weights w[0..3] belong to top[0], top[1], bottom[0], bottom[1]; each amount is the weight
// times the channel, truncated toward zero (products of two singles are exact in double).
inline void SplatBlockScalar(uint32_t* top, uint32_t* bottom, const float w[4], double r, double g, double b)
{
    uint32_t* const pixels[4] = {top, top + 1, bottom, bottom + 1};
    for (int k = 0; k < 4; ++k) {
        const double dw = w[k];
        *pixels[k] = AddBytesSaturated(*pixels[k], Composite(TruncToInt32(dw * r), TruncToInt32(dw * g),
                                                             TruncToInt32(dw * b)));
    }
}

#if defined(__SSE2__)
// Adds composites[0..3] to top[0], top[1], bottom[0], bottom[1] with per-byte saturation,
// bits 24-31 cleared, as AddBytesSaturated does.
inline void AddBlockSse2(uint32_t* top, uint32_t* bottom, __m128i composites)
{
    // Pixels move one word at a time: consecutive splats of a walk overlap by a pixel or two,
    // and a wider load that only partly overlaps the previous splat's store would wait for
    // that store to reach the cache instead of taking its value directly.
#if defined(__SSE4_1__)
    __m128i pixels = _mm_cvtsi32_si128(static_cast<int>(top[0]));
    pixels = _mm_insert_epi32(pixels, static_cast<int>(top[1]), 1);
    pixels = _mm_insert_epi32(pixels, static_cast<int>(bottom[0]), 2);
    pixels = _mm_insert_epi32(pixels, static_cast<int>(bottom[1]), 3);
#else
    const __m128i pixels = _mm_unpacklo_epi64(_mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(top[0])),
                                                                 _mm_cvtsi32_si128(static_cast<int>(top[1]))),
                                              _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(bottom[0])),
                                                                 _mm_cvtsi32_si128(static_cast<int>(bottom[1]))));
#endif
    const __m128i sum = _mm_and_si128(_mm_adds_epu8(pixels, composites), _mm_set1_epi32(0x00FFFFFF));
    top[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(sum));
#if defined(__SSE4_1__)
    top[1] = static_cast<uint32_t>(_mm_extract_epi32(sum, 1));
    bottom[0] = static_cast<uint32_t>(_mm_extract_epi32(sum, 2));
    bottom[1] = static_cast<uint32_t>(_mm_extract_epi32(sum, 3));
#else
    top[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(sum, 1)));
    bottom[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(sum, 2)));
    bottom[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(sum, 3)));
#endif
}

// AddBlockSse2 moving each row's two pixels as one 8-byte word: for blocks that share no
// pixel with the block added just before (a wider load that only partly overlaps an earlier
// store waits for that store to reach the cache).
inline void AddBlockRowsSse2(uint32_t* top, uint32_t* bottom, __m128i composites)
{
    const __m128i pixels = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(top)),
                                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bottom)));
    const __m128i sum = _mm_and_si128(_mm_adds_epu8(pixels, composites), _mm_set1_epi32(0x00FFFFFF));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(top), sum);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bottom), _mm_unpackhi_epi64(sum, sum));
}

// Composite on four lanes: the shifts and adds wrap as its unsigned arithmetic does.
inline __m128i CompositesSse2(__m128i r, __m128i g, __m128i b)
{
    return _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(r, 16), _mm_slli_epi32(g, 8)), b);
}

// The composites of a block whose top pixels weigh w01 and bottom pixels w23 (each stored in
// single precision): weight times channel, truncated to INT32_MIN for what does not fit, as
// TruncToInt32 does.
inline __m128i SplatCompositesSse2(__m128d w01, __m128d w23, double r, double g, double b)
{
    const auto amounts = [&](double channel) {
        const __m128d c = _mm_set1_pd(channel);
        return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_mul_pd(w01, c)), _mm_cvttpd_epi32(_mm_mul_pd(w23, c)));
    };
    return CompositesSse2(amounts(r), amounts(g), amounts(b));
}

inline void SplatBlockSse2(uint32_t* top, uint32_t* bottom, const float w[4], double r, double g, double b)
{
    AddBlockSse2(top, bottom, SplatCompositesSse2(_mm_set_pd(w[1], w[0]), _mm_set_pd(w[3], w[2]), r, g, b));
}
#endif

inline void SplatBlock(uint32_t* top, uint32_t* bottom, const float w[4], double r, double g, double b)
{
#if defined(__SSE2__)
    SplatBlockSse2(top, bottom, w, r, g, b);
#else
    SplatBlockScalar(top, bottom, w, r, g, b);
#endif
}

// SplatPoint for a point that passes SplatLands.
inline void SplatLanded(float x, float y, float r, float g, float b)
{
    // In range, so both conversions are exact truncations.
    const int32_t ix = static_cast<int32_t>(x);
    const int32_t iy = static_cast<int32_t>(y);
    const double fx = (static_cast<double>(x) - ix) * 0.5;
    const double fy = (static_cast<double>(y) - iy) * 0.5;

    const float w[4] = {static_cast<float>((1.0 - fx) * (1.0 - fy)), static_cast<float>(fx * (1.0 - fy)),
                        static_cast<float>((1.0 - fx) * fy), static_cast<float>(fx * fy)};
    // The whole block is on the canvas, so its pixels are added to directly.
    uint32_t* top = PixelAddress(BoundCanvas, ix, iy);
    SplatBlock(top, top + BoundCanvas.pitch, w, r, g, b);
}

}  // namespace
}  // namespace nimbrelle
