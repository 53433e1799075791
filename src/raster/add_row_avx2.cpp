// Built with -mavx2 for this file alone; called only when the processor has AVX2.
#include "raster/add_row.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace nimbrelle {

#if defined(__AVX2__)

bool HaveAddRowAvx2() { return __builtin_cpu_supports("avx2") != 0; }

void AddRowAvx2(uint32_t* dst, const uint32_t* add, std::size_t count)
{
    const __m256i mask = _mm256_set1_epi32(0x00FFFFFF);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst + i));
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(add + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_and_si256(_mm256_adds_epu8(p, a), mask));
    }
    AddRowScalar(dst + i, add + i, count - i);
}

void FillRowAvx2(uint32_t* dst, uint32_t value, std::size_t count)
{
    if (FillLongRow(dst, value, count)) return;
    const __m256i v = _mm256_set1_epi32(static_cast<int>(value));
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), v);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 8), v);
    }
    FillRowScalar(dst + i, value, count - i);
}

void CopyRowAvx2(uint32_t* dst, const uint32_t* src, std::size_t count)
{
    if (CopyLongRow(dst, src, count)) return;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 8), b);
    }
    CopyRowScalar(dst + i, src + i, count - i);
}

void FillAmountsAvx2(uint64_t* dst, uint64_t value, std::size_t count)
{
    // Whole registers, the last one possibly past the run.
    const __m256i v = _mm256_set1_epi64x(static_cast<long long>(value));
    for (std::size_t i = 0; i < count; i += 4) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), v);
}

void FillGreyAmountsAvx2(uint16_t* dst, uint16_t value, std::size_t count)
{
    // Whole registers, the last one possibly past the run.
    const __m256i v = _mm256_set1_epi16(static_cast<short>(value));
    for (std::size_t i = 0; i < count; i += 16) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), v);
}

namespace {

// Sixteen grey sums plus sixteen amounts, stored back, and their pixels. The narrowing and
// spreading work within 128-bit halves: `lo` holds pixels 0-3 and 8-11, `hi` pixels 4-7 and
// 12-15, put back in order by the cross-half permutations.
inline void AddGreyBlockAvx2(uint16_t* sums, uint32_t* out, __m256i amounts, __m256i bg)
{
    auto* s = reinterpret_cast<__m256i*>(sums);
    const __m256i sum = _mm256_add_epi16(_mm256_loadu_si256(s), amounts);
    _mm256_storeu_si256(s, sum);
    // Each byte v becomes the pixel bytes v, v, v, 0; the background's top byte is clear too.
    const __m256i bytes = _mm256_packus_epi16(sum, sum);
    const __m256i pairs = _mm256_unpacklo_epi8(bytes, bytes), tops = _mm256_unpacklo_epi8(bytes, _mm256_setzero_si256());
    const __m256i lo = _mm256_unpacklo_epi16(pairs, tops), hi = _mm256_unpackhi_epi16(pairs, tops);
    const __m256i first = _mm256_permute2x128_si256(lo, hi, 0x20), second = _mm256_permute2x128_si256(lo, hi, 0x31);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_adds_epu8(first, bg));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_adds_epu8(second, bg));
}

}  // namespace

void AddGreySumsAvx2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background)
{
    const __m256i bg = _mm256_set1_epi32(static_cast<int>(background));
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16)
        AddGreyBlockAvx2(sums + i, out + i, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(amounts + i)), bg);
    AddGreySumsSse2(sums + i, out + i, amounts + i, count - i, background);
}

void AddGreyRunsAvx2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                     uint32_t background)
{
    // As AddGreyRunsSse2, sixteen columns a block.
    const __m256i bg = _mm256_set1_epi32(static_cast<int>(background));
    const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const int64_t end = starts[runs];
    int k = 0;
    for (int64_t x = starts[0]; x < end; x += 16) {
        __m256i v = _mm256_set1_epi16(static_cast<short>(amounts[k]));
        int j = k + 1;
        for (; j < runs && starts[j] < x + 16; ++j) {
            const __m256i from = _mm256_cmpgt_epi16(lanes, _mm256_set1_epi16(static_cast<short>(starts[j] - x - 1)));
            v = _mm256_blendv_epi8(v, _mm256_set1_epi16(static_cast<short>(amounts[j])), from);
        }
        if (end - x < 16)
            v = _mm256_andnot_si256(_mm256_cmpgt_epi16(lanes, _mm256_set1_epi16(static_cast<short>(end - x - 1))), v);
        AddGreyBlockAvx2(sums + x, out + x, v, bg);
        // The run holding column x + 16: one starting there needs no blend in the next block.
        k = j < runs && starts[j] == x + 16 ? j : j - 1;
    }
}

void GreyChangesAvx2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                     uint16_t* change)
{
    int k = 0;
    if (intensity >= 0.0 && intensity <= 1.0) {
        // As GreyChangesSse2, four products a register.
        const __m256d scale = _mm256_set1_pd(intensity);
        for (; k + 8 <= count; k += 8) {
            const __m256i values = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(texels + k)));
            const __m128i lo = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(values)), scale));
            const __m128i hi = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(values, 1)), scale));
            const __m128i now = _mm_packs_epi32(lo, hi);
            StoreGreyChangesSse2(now, held + k, change + k);
        }
    }
    GreyChangesScalar(texels + k, count - k, amount, intensity, held + k, change + k);
}

void AddSumsAvx2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count)
{
    // Four pixels' lanes per register. The narrow works within 128-bit halves, giving pixels
    // 0 1 4 5 2 3 6 7; the permutation puts them back in order.
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        auto* s = reinterpret_cast<__m256i*>(sums + 4 * i);
        const auto* a = reinterpret_cast<const __m256i*>(amounts + i);
        const __m256i lo = _mm256_add_epi16(_mm256_loadu_si256(s), _mm256_loadu_si256(a));
        const __m256i hi = _mm256_add_epi16(_mm256_loadu_si256(s + 1), _mm256_loadu_si256(a + 1));
        _mm256_storeu_si256(s, lo);
        _mm256_storeu_si256(s + 1, hi);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    AddSumsSse2(sums + 4 * i, out + i, amounts + i, count - i);
}

#else

bool HaveAddRowAvx2() { return false; }

void AddRowAvx2(uint32_t* dst, const uint32_t* add, std::size_t count) { AddRowScalar(dst, add, count); }
void FillRowAvx2(uint32_t* dst, uint32_t value, std::size_t count) { FillRowScalar(dst, value, count); }
void CopyRowAvx2(uint32_t* dst, const uint32_t* src, std::size_t count) { CopyRowScalar(dst, src, count); }
void FillAmountsAvx2(uint64_t* dst, uint64_t value, std::size_t count) { FillAmountsScalar(dst, value, count); }
void AddSumsAvx2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count)
{
    AddSumsScalar(sums, out, amounts, count);
}
void FillGreyAmountsAvx2(uint16_t* dst, uint16_t value, std::size_t count) { FillGreyAmountsScalar(dst, value, count); }
void AddGreySumsAvx2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background)
{
    AddGreySumsScalar(sums, out, amounts, count, background);
}
void AddGreyRunsAvx2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                     uint32_t background)
{
    AddGreyRunsScalar(sums, out, starts, amounts, runs, background);
}
void GreyChangesAvx2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                     uint16_t* change)
{
    GreyChangesScalar(texels, count, amount, intensity, held, change);
}

#endif

}  // namespace nimbrelle
