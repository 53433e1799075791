// The row kernels every fast raster path is built from, each in a plain C++ version and in
// SIMD versions compiled in their own files with their own instruction-set flags:
//   AddRow   saturating addition of a row of packed colours into a row of pixels (the glow
//            stamps' inner loop): per-byte saturating sums of blue, green and red, bits 24-31
//            of the result cleared, exactly as AddPixel does for amounts 0-255. `add` must
//            hold 0x00RRGGBB values (top byte 0).
//   FillRow  stores one value into a row of pixels (the clear).
//   CopyRow  copies a row of pixels (the one-pass glow field's rows onto the canvas).
//   StreamRow  the same with stores that bypass the cache where the machine has them: a
//            canvas much larger than the cache is written without first reading each line.
//   FillAmounts  stores one AddSums amount into a run, and may store it into up to
//            AmountsSlack further elements (callers fill runs left to right, so the next run
//            overwrites them, and leave that much room at the end).
//   AddSums  adds signed amounts to a row of glow sums and stores the row's pixels: each sum
//            and amount is a 16-bit lane (blue, green, red, then an unused lane that stays
//            0), four to a pixel, and each pixel is its three sums clamped to 0-255 and packed
//            as 0x00RRGGBB. Sums live in 16-bit lanes, so up to 128 amounts of 0-255 pile up
//            without overflow and are saturated once when packed.
//   AddGreySums  the same for glows whose pictures are grey: one 16-bit sum per pixel, the
//            same for all three channels, and each pixel is the background plus the sum
//            clamped to 0-255, added to each channel with saturation (the background has a
//            clear top byte). FillGreyAmounts fills its runs as FillAmounts does, with up to
//            GreyAmountsSlack elements past the run.
//   AddGreyRuns  AddGreySums for a change made of runs: run k adds amounts[k] to the sums of
//            columns [starts[k], starts[k + 1]), without a row of amounts in between. It may
//            also store the pixels of up to RowSlack columns past the last run (adding 0 to
//            their sums), so the rows need that many spare elements; those pixels come out as
//            they were wherever the row's pixels are their sums' pixels.
//   GreyChanges  the amounts runs of a grey glow add in a new texel row: for k < count, the
//            texel value texels[k] times the intensity, truncated (amount[] holds the same
//            for every value), its difference from held[k] modulo 2^16 into change[k], and
//            held[k] set to it. The SIMD versions compute the products in double lanes when
//            0 <= intensity <= 1 (the products are then 0-255 and need no reduction), and
//            read up to 15 texels past the last.
// Every operation is plain integer lane arithmetic (saturating byte adds, 16-bit adds, an
// unsigned-saturating narrow), so other SIMD instruction sets can follow the same design.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// One pixel's amounts for AddSums: blue, green, red and the unused lane (0) in 16 bits each.
inline uint64_t RunAmounts(int32_t blue, int32_t green, int32_t red)
{
    return uint64_t{static_cast<uint16_t>(blue)} | uint64_t{static_cast<uint16_t>(green)} << 16 |
           uint64_t{static_cast<uint16_t>(red)} << 32;
}

// A 16-bit glow sum clamped to a channel byte.
inline uint32_t ClampLane(uint16_t lane)
{
    const auto v = static_cast<int16_t>(lane);
    return v < 0 ? 0u : v > 255 ? 255u : static_cast<uint32_t>(v);
}

// One pixel of AddSums: the scalar kernel for heads and tails.
inline uint32_t AddSumsPixel(uint16_t* sums, uint64_t amounts)
{
    uint32_t out = 0;
    for (int lane = 0; lane < 3; ++lane) {
        sums[lane] = static_cast<uint16_t>(sums[lane] + static_cast<uint16_t>(amounts >> (16 * lane)));
        out |= ClampLane(sums[lane]) << (8 * lane);
    }
    return out;
}

inline constexpr std::size_t AmountsSlack = 4;
inline constexpr std::size_t RowSlack = 16;
inline constexpr std::size_t GreyAmountsSlack = 16;

// One pixel of AddGreySums.
inline uint32_t AddGreySumsPixel(uint16_t& sum, uint16_t amount, uint32_t background)
{
    sum = static_cast<uint16_t>(sum + amount);
    const uint32_t grey = ClampLane(sum);
    return AddSaturated(background, grey * 0x010101u);
}

// FillGreyAmounts for a run of at most 8: eight elements stored at once, within the slack.
inline void FillGreyAmountsShort(uint16_t* dst, uint16_t value)
{
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_set1_epi16(static_cast<short>(value)));
#else
    for (int i = 0; i < 8; ++i) dst[i] = value;
#endif
}

// Long rows are filled and copied with the x86 string instructions (rep stos, rep movs): on
// current processors these write whole cache lines without reading them first, which no
// loop of vector stores does, so a long row costs about a third less than with 16-byte
// stores. They take some dozens of cycles to start, so short rows keep the vector loops.
// Each returns true when it has written the row, false when the row is the caller's to write
// (a short one, or a build without the instructions).
inline constexpr std::size_t StringRowMin = 512;
inline bool FillLongRow(uint32_t* dst, uint32_t value, std::size_t count)
{
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    if (count < StringRowMin) return false;
    asm volatile("rep stosl" : "+D"(dst), "+c"(count) : "a"(value) : "memory");
    return true;
#else
    return (void)dst, (void)value, (void)count, false;
#endif
}
inline bool CopyLongRow(uint32_t* dst, const uint32_t* src, std::size_t count)
{
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    if (count < StringRowMin) return false;
    asm volatile("rep movsl" : "+D"(dst), "+S"(src), "+c"(count) : : "memory");
    return true;
#else
    return (void)dst, (void)src, (void)count, false;
#endif
}

#if defined(__SSE2__)
// GreyChanges for eight runs whose new amounts are `now`: the differences from held[0..7]
// into change[0..7], and held[0..7] set to `now`.
inline void StoreGreyChangesSse2(__m128i now, uint16_t* held, uint16_t* change)
{
    auto* h = reinterpret_cast<__m128i*>(held);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(change), _mm_sub_epi16(now, _mm_loadu_si128(h)));
    _mm_storeu_si128(h, now);
}
#endif

using AddRowFn = void (*)(uint32_t* dst, const uint32_t* add, std::size_t count);
using FillRowFn = void (*)(uint32_t* dst, uint32_t value, std::size_t count);
using CopyRowFn = void (*)(uint32_t* dst, const uint32_t* src, std::size_t count);
// `sums` holds 4 lanes per pixel and `amounts` one RunAmounts value per pixel; `out`
// receives `count` pixels.
using FillAmountsFn = void (*)(uint64_t* dst, uint64_t value, std::size_t count);
using FillGreyAmountsFn = void (*)(uint16_t* dst, uint16_t value, std::size_t count);
using AddGreySumsFn = void (*)(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count,
                               uint32_t background);
using AddSumsFn = void (*)(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count);
using GreyChangesFn = void (*)(const uint8_t* texels, int count, const uint8_t* amount, double intensity,
                               uint16_t* held, uint16_t* change);
inline constexpr std::size_t TexelSlack = 16;  // readable texels past the last one GreyChanges uses
// `starts` holds runs + 1 increasing columns; `sums` and `out` are indexed by column.
using AddGreyRunsFn = void (*)(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                               uint32_t background);

void AddRowScalar(uint32_t* dst, const uint32_t* add, std::size_t count);
void FillRowScalar(uint32_t* dst, uint32_t value, std::size_t count);
void CopyRowScalar(uint32_t* dst, const uint32_t* src, std::size_t count);
void StreamRowScalar(uint32_t* dst, const uint32_t* src, std::size_t count);
void FillAmountsScalar(uint64_t* dst, uint64_t value, std::size_t count);
void FillGreyAmountsScalar(uint16_t* dst, uint16_t value, std::size_t count);
void AddGreySumsScalar(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background);
void AddSumsScalar(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count);
void GreyChangesScalar(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                      uint16_t* change);
void AddGreyRunsScalar(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                    uint32_t background);

// Present where the compiler targets SSE2 (always on x86-64; on 32-bit x86 with -msse2).
bool HaveAddRowSse2();
void AddRowSse2(uint32_t* dst, const uint32_t* add, std::size_t count);
void FillRowSse2(uint32_t* dst, uint32_t value, std::size_t count);
void CopyRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count);
void StreamRowSse2(uint32_t* dst, const uint32_t* src, std::size_t count);
void FillAmountsSse2(uint64_t* dst, uint64_t value, std::size_t count);
void FillGreyAmountsSse2(uint16_t* dst, uint16_t value, std::size_t count);
void AddGreySumsSse2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background);
void AddSumsSse2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count);
void GreyChangesSse2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                      uint16_t* change);
void AddGreyRunsSse2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                    uint32_t background);

// Present on x86 processors with AVX2 (checked at run time).
bool HaveAddRowAvx2();
void AddRowAvx2(uint32_t* dst, const uint32_t* add, std::size_t count);
void FillRowAvx2(uint32_t* dst, uint32_t value, std::size_t count);
void CopyRowAvx2(uint32_t* dst, const uint32_t* src, std::size_t count);
void FillAmountsAvx2(uint64_t* dst, uint64_t value, std::size_t count);
void FillGreyAmountsAvx2(uint16_t* dst, uint16_t value, std::size_t count);
void AddGreySumsAvx2(uint16_t* sums, uint32_t* out, const uint16_t* amounts, std::size_t count, uint32_t background);
void AddSumsAvx2(uint16_t* sums, uint32_t* out, const uint64_t* amounts, std::size_t count);
void GreyChangesAvx2(const uint8_t* texels, int count, const uint8_t* amount, double intensity, uint16_t* held,
                      uint16_t* change);
void AddGreyRunsAvx2(uint16_t* sums, uint32_t* out, const int64_t* starts, const uint16_t* amounts, int runs,
                    uint32_t background);

struct RowKernels {
    AddRowFn addRow;
    FillRowFn fillRow;
    CopyRowFn copyRow;
    CopyRowFn streamRow;  // callers end a run of these with StreamFence
    FillAmountsFn fillAmounts;
    AddSumsFn addSums;
    FillGreyAmountsFn fillGreyAmounts;
    AddGreySumsFn addGreySums;
    AddGreyRunsFn addGreyRuns;
    GreyChangesFn greyChanges;
};

// Orders the streamed stores before anything that follows.
void StreamFence();

// The plain C++ kernels, the SSE2 ones (plain where the build has no SSE2), and the widest
// this processor runs (chosen once).
const RowKernels& ScalarKernels();
const RowKernels& Sse2Kernels();
const RowKernels& FastestKernels();

// The kernels of the active raster path: the plain ones for the reference and scalar paths.
const RowKernels& ActiveKernels();

}  // namespace nimbrelle
