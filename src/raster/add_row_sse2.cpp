#include "raster/add_row.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbrelle {

void AddRowScalar(uint32_t* dst, const uint32_t* add, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = AddSaturated(dst[i], add[i]);
}

void FillRowScalar(uint32_t* dst, uint32_t value, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = value;
}

void CopyRowScalar(uint32_t* dst, const uint32_t* src, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = src[i];
}

void FillAmountsScalar(uint64_t* dst, uint64_t value, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = value;
}

void AddSumsScalar(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) out[i] = AddSumsPixel(sums + 4 * i, amounts[i]);
}

void FillGreyAmountsScalar(uint16_t* dst, uint16_t value, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = value;
}

void AddGreySumsScalar(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background)
{
    for (std::size_t i = 0; i < count; ++i) out[i] = AddGreySumsPixel(sums[i], amounts[i], background);
}

void AddGreyRunsScalar(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                       uint32_t background)
{
    for (int k = 0; k < runs; ++k)
        for (int64_t x = starts[k]; x < starts[k + 1]; ++x) out[x] = AddGreySumsPixel(sums[x], amounts[k], background);
}

void GreyChangesScalar(const uint8_t* texels, int count, const uint8_t* amount, double /*intensity*/, uint16_t* held,
                       uint16_t* change)
{
    for (int k = 0; k < count; ++k) {
        const uint16_t now = amount[texels[k]];
        change[k] = static_cast<uint16_t>(now - held[k]);
        held[k] = now;
    }
}

const RowKernels& ScalarKernels()
{
    static const RowKernels kernels{AddRowScalar, FillRowScalar, CopyRowScalar, CopyRowScalar, FillAmountsScalar, AddSumsScalar, FillGreyAmountsScalar, AddGreySumsScalar, AddGreyRunsScalar, GreyChangesScalar};
    return kernels;
}

const RowKernels& Sse2Kernels()
{
    static const RowKernels kernels{AddRowSse2, FillRowSse2, CopyRowSse2, StreamRowSse2, FillAmountsSse2, AddSumsSse2, FillGreyAmountsSse2, AddGreySumsSse2, AddGreyRunsSse2, GreyChangesSse2};
    return kernels;
}

const RowKernels& FastestKernels()
{
    // Streamed rows keep 16-byte stores: 32-byte streaming stores were slower where measured.
    static const RowKernels avx2{AddRowAvx2, FillRowAvx2, CopyRowAvx2, StreamRowSse2, FillAmountsAvx2, AddSumsAvx2, FillGreyAmountsAvx2, AddGreySumsAvx2, AddGreyRunsAvx2, GreyChangesAvx2};
    static const RowKernels& best = HaveAddRowAvx2() ? avx2 : HaveAddRowSse2() ? Sse2Kernels() : ScalarKernels();
    return best;
}

#if defined(__SSE2__)

bool HaveAddRowSse2() { return true; }

void AddRowSse2(uint32_t* dst, const uint32_t* add, std::size_t count)
{
    // Unsigned saturating byte addition is exactly the per-channel sum; the mask clears the
    // top byte, which the addend does not touch.
    const __m128i mask = _mm_set1_epi32(0x00FFFFFF);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(add + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_and_si128(_mm_adds_epu8(p, a), mask));
    }
    AddRowScalar(dst + i, add + i, count - i);
}

void FillRowSse2(uint32_t* dst, uint32_t value, std::size_t count)
{
    if (FillLongRow(dst, value, count)) return;
    const __m128i v = _mm_set1_epi32(static_cast<int>(value));
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), v);
    }
    FillRowScalar(dst + i, value, count - i);
}

void CopyRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count)
{
    if (CopyLongRow(dst, src, count)) return;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
    }
    CopyRowScalar(dst + i, src + i, count - i);
}

void StreamRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count)
{
    std::size_t i = 0;
    for (; i < count && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0; ++i) dst[i] = src[i];
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 4));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
    }
    CopyRowScalar(dst + i, src + i, count - i);
}

void StreamFence() { _mm_sfence(); }

void FillAmountsSse2(uint64_t* dst, uint64_t value, std::size_t count)
{
    // Whole registers, the last one possibly past the run.
    const __m128i v = _mm_set_epi32(static_cast<int>(value >> 32), static_cast<int>(value),
                                    static_cast<int>(value >> 32), static_cast<int>(value));
    for (std::size_t i = 0; i < count; i += 2) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
}

void FillGreyAmountsSse2(uint16_t* dst, uint16_t value, std::size_t count)
{
    // Whole registers, the last one possibly past the run.
    const __m128i v = _mm_set1_epi16(static_cast<short>(value));
    for (std::size_t i = 0; i < count; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
}

namespace {

// Eight grey sums plus eight amounts, stored back, narrowed with saturation to bytes and each
// byte spread over a pixel's three channels (the fourth is 0).
inline void AddGreyBlockSse2(uint16_t* sums, uint32_t* out, __m128i amounts, __m128i bg)
{
    auto* s = reinterpret_cast<__m128i*>(sums);
    const __m128i sum = _mm_add_epi16(_mm_loadu_si128(s), amounts);
    _mm_storeu_si128(s, sum);
    // Each byte v becomes the pixel bytes v, v, v, 0; the background's top byte is clear too.
    const __m128i bytes = _mm_packus_epi16(sum, sum);
    const __m128i pairs = _mm_unpacklo_epi8(bytes, bytes), tops = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
    const __m128i lo = _mm_unpacklo_epi16(pairs, tops), hi = _mm_unpackhi_epi16(pairs, tops);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_adds_epu8(lo, bg));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_adds_epu8(hi, bg));
}

}  // namespace

void AddGreySumsSse2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background)
{
    const __m128i bg = _mm_set1_epi32(static_cast<int>(background));
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8)
        AddGreyBlockSse2(sums + i, out + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(amounts + i)), bg);
    AddGreySumsScalar(sums + i, out + i, amounts + i, count - i, background);
}

void AddGreyRunsSse2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                     uint32_t background)
{
    // Blocks of sixteen columns (two registers) from the first run's start. A block's amounts
    // are those of the run it starts in, replaced from each later run's first lane on; lanes at
    // or past the end of the last run add 0.
    const __m128i bg = _mm_set1_epi32(static_cast<int>(background));
    const __m128i lanesLo = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i lanesHi = _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15);
    const auto select = [](__m128i mask, __m128i a, __m128i b) {
        return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
    };
    const int64_t end = starts[runs];
    int k = 0;
    for (int64_t x = starts[0]; x < end; x += 16) {
        __m128i lo = _mm_set1_epi16(static_cast<short>(amounts[k])), hi = lo;
        int j = k + 1;
        for (; j < runs && starts[j] < x + 16; ++j) {
            const __m128i at = _mm_set1_epi16(static_cast<short>(starts[j] - x - 1));
            const __m128i amount = _mm_set1_epi16(static_cast<short>(amounts[j]));
            lo = select(_mm_cmpgt_epi16(lanesLo, at), amount, lo);
            hi = select(_mm_cmpgt_epi16(lanesHi, at), amount, hi);
        }
        if (end - x < 16) {
            const __m128i at = _mm_set1_epi16(static_cast<short>(end - x - 1));
            lo = _mm_andnot_si128(_mm_cmpgt_epi16(lanesLo, at), lo);
            hi = _mm_andnot_si128(_mm_cmpgt_epi16(lanesHi, at), hi);
        }
        AddGreyBlockSse2(sums + x, out + x, lo, bg);
        AddGreyBlockSse2(sums + x + 8, out + x + 8, hi, bg);
        // The run holding column x + 16: one starting there needs no blend in the next block.
        k = j < runs && starts[j] == x + 16 ? j : j - 1;
    }
}

void GreyChangesSse2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                     uint16_t* change)
{
    int k = 0;
    if (intensity >= 0.0 && intensity <= 1.0) {
        const __m128d scale = _mm_set1_pd(intensity);
        const __m128i zero = _mm_setzero_si128();
        // Four values (32-bit lanes) times the intensity, truncated: exact products of at most
        // 255, so the conversions never overflow.
        const auto amounts = [&](__m128i v) {
            const __m128i lo = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(v), scale));
            const __m128i hi = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(v, 0xEE)), scale));
            return _mm_unpacklo_epi64(lo, hi);
        };
        for (; k + 8 <= count; k += 8) {
            const __m128i words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(texels + k)), zero);
            const __m128i now =
                _mm_packs_epi32(amounts(_mm_unpacklo_epi16(words, zero)), amounts(_mm_unpackhi_epi16(words, zero)));
            StoreGreyChangesSse2(now, held + k, change + k);
        }
    }
    GreyChangesScalar(texels + k, count - k, amount, intensity, held + k, change + k);
}

void AddSumsSse2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count)
{
    // Two pixels' lanes per register; the signed-to-unsigned saturating narrow clamps each
    // sum to 0-255 and leaves the unused lane's 0 in the top byte.
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        auto* s = reinterpret_cast<__m128i*>(sums + 4 * i);
        const auto* a = reinterpret_cast<const __m128i*>(amounts + i);
        const __m128i lo = _mm_add_epi16(_mm_loadu_si128(s), _mm_loadu_si128(a));
        const __m128i hi = _mm_add_epi16(_mm_loadu_si128(s + 1), _mm_loadu_si128(a + 1));
        _mm_storeu_si128(s, lo);
        _mm_storeu_si128(s + 1, hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
    }
    AddSumsScalar(sums + 4 * i, out + i, amounts + i, count - i);
}

#else

bool HaveAddRowSse2() { return false; }

void AddRowSse2(uint32_t* dst, const uint32_t* add, std::size_t count) { AddRowScalar(dst, add, count); }
void FillRowSse2(uint32_t* dst, uint32_t value, std::size_t count) { FillRowScalar(dst, value, count); }
void CopyRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count) { CopyRowScalar(dst, src, count); }
void StreamRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count) { CopyRowScalar(dst, src, count); }
void StreamFence() {}
void FillAmountsSse2(uint64_t* dst, uint64_t value, std::size_t count) { FillAmountsScalar(dst, value, count); }
void AddSumsSse2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count)
{
    AddSumsScalar(sums, out, amounts, count);
}
void FillGreyAmountsSse2(uint16_t* dst, uint16_t value, std::size_t count) { FillGreyAmountsScalar(dst, value, count); }
void AddGreySumsSse2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background)
{
    AddGreySumsScalar(sums, out, amounts, count, background);
}
void AddGreyRunsSse2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                     uint32_t background)
{
    AddGreyRunsScalar(sums, out, starts, amounts, runs, background);
}
void GreyChangesSse2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                     uint16_t* change)
{
    GreyChangesScalar(texels, count, amount, intensity, held, change);
}

#endif

}  // namespace nimbrelle
