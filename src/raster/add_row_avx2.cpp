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

#else

bool HaveAddRowAvx2() { return false; }

void AddRowAvx2(uint32_t* dst, const uint32_t* add, std::size_t count) { AddRowScalar(dst, add, count); }

#endif

}  // namespace nimbrelle
