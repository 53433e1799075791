#include "raster/add_row.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbrelle {

void AddRowScalar(uint32_t* dst, const uint32_t* add, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = AddSaturated(dst[i], add[i]);
}

AddRowFn FastestAddRow()
{
    static const AddRowFn best = HaveAddRowAvx2() ? AddRowAvx2 : HaveAddRowSse2() ? AddRowSse2 : AddRowScalar;
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

#else

bool HaveAddRowSse2() { return false; }

void AddRowSse2(uint32_t* dst, const uint32_t* add, std::size_t count) { AddRowScalar(dst, add, count); }

#endif

}  // namespace nimbrelle
