// Saturating addition of a row of packed colours into a row of pixels: the inner loop of the
// glow blit. Each routine does, for every i < count, what AddPixel does for amounts 0-255:
// per-byte saturating sums of blue, green and red, with bits 24-31 of the result cleared.
// `add` must hold 0x00RRGGBB values (top byte 0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrelle {

// One pixel: the scalar kernel every implementation uses for its head and tail.
inline uint32_t AddSaturated(uint32_t pixel, uint32_t add)
{
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t s = ((pixel >> shift) & 0xFFu) + ((add >> shift) & 0xFFu);
        out |= (s > 255u ? 255u : s) << shift;
    }
    return out;
}

void AddRowScalar(uint32_t* dst, const uint32_t* add, std::size_t count);

// Present where the compiler targets SSE2 (always on x86-64; on 32-bit x86 with -msse2).
bool HaveAddRowSse2();
void AddRowSse2(uint32_t* dst, const uint32_t* add, std::size_t count);

// Present on x86 processors with AVX2 (checked at run time).
bool HaveAddRowAvx2();
void AddRowAvx2(uint32_t* dst, const uint32_t* add, std::size_t count);

// The widest routine this processor runs, chosen once.
using AddRowFn = void (*)(uint32_t* dst, const uint32_t* add, std::size_t count);
AddRowFn FastestAddRow();

}  // namespace nimbrelle
