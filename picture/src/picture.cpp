#include "nimbrelle/picture.h"

#include <bit>

namespace nimbrelle::picture {

namespace {

// Four pixels at a time in the compiler's generic vectors: SSE2 on x86-64, NEON on ARM,
// WebAssembly SIMD with -msimd128, plain scalar code where there is no vector unit. Channel
// values stay within 0 to 255, so signed 32-bit lanes compare and convert without surprises.
typedef int32_t I32x4 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef float F32x4 __attribute__((vector_size(16)));
typedef uint64_t U64x2 __attribute__((vector_size(16)));
constexpr std::size_t Lanes = 4;

// Four words anywhere in memory (4-byte aligned, as the words are), as one load or store.
typedef int32_t I32x4Unaligned __attribute__((vector_size(16), aligned(4), may_alias));
typedef uint32_t U32x4Unaligned __attribute__((vector_size(16), aligned(4), may_alias));

I32x4 Load(const uint32_t* words)
{
    return *reinterpret_cast<const I32x4Unaligned*>(words);
}

void Store(uint32_t* words, U32x4 value)
{
    *reinterpret_cast<U32x4Unaligned*>(words) = value;
}

constexpr int32_t BackgroundR = (SceneBackground >> 16) & 0xFF;
constexpr int32_t BackgroundG = (SceneBackground >> 8) & 0xFF;
constexpr int32_t BackgroundB = SceneBackground & 0xFF;

// The word of the bytes A, R, G, B (each 0 to 255) in `order`.
template <Order order, class Word>
constexpr Word Pack(Word a, Word r, Word g, Word b)
{
    if constexpr (order == Order::Argb) {
        return a << 24 | r << 16 | g << 8 | b;
    } else if constexpr (std::endian::native == std::endian::little) {
        return a << 24 | b << 16 | g << 8 | r;
    } else {
        return r << 24 | g << 16 | b << 8 | a;
    }
}

uint32_t PackWord(Order order, uint32_t argb)
{
    if (order == Order::Argb) return argb;
    return Pack<Order::Rgba>(argb >> 24, (argb >> 16) & 0xFFu, (argb >> 8) & 0xFFu, argb & 0xFFu);
}

uint32_t ReferencePixel(Background background, Order order, uint32_t pixel)
{
    switch (background) {
    case Background::Blue:
        return PackWord(order, 0xFF000000u | (pixel & 0x00FFFFFFu));
    case Background::Black:
        return PackWord(order, 0xFF000000u | LightOf(pixel));
    case Background::Transparent:
        return PackWord(order, StraightAlphaOf(LightOf(pixel)));
    }
    return 0;
}

I32x4 Max(I32x4 a, I32x4 b)
{
    const I32x4 aIsGreater = a > b;
    return (a & aIsGreater) | (b & ~aIsGreater);
}

// max(0, c - b) for a channel c and the background's b in that channel.
I32x4 LightChannel(I32x4 c, int32_t b)
{
    return b == 0 ? c : Max(c, I32x4{} + b) - b;
}

// round(light * 255 / alpha), half up, as trunc(light * fl(255 / alpha) + 0.5 + 2^-10).
// light * 255 / alpha + 1/2 is a fraction m / (2 alpha) with a whole m, so unless it is whole
// (a tie, or an exact quotient) it lies at least 1 / (2 alpha) >= 1/510 below the next whole
// number; the float steps (a correctly rounded quotient, product and sum, each off by at most
// 2^-24 relative) miss the exact value by less than 4e-5. The nudge of 2^-10 lifts whole
// values that rounding left just below themselves, and is too small to lift any other past
// the next whole number. The exhaustive test over every colour holds this to the reference.
I32x4 Colour(I32x4 light, F32x4 scale)
{
    constexpr float Nudge = 0.5f + 1.0f / 1024.0f;
    return __builtin_convertvector(__builtin_convertvector(light, F32x4) * scale + Nudge, I32x4);
}

// Whether four words are all the plain background (their top bytes aside): most of a frame
// is, and its light is none at all.
bool AllBackground(I32x4 word)
{
    const U64x2 differ = std::bit_cast<U64x2>((word ^ static_cast<int32_t>(SceneBackground)) & 0x00FFFFFF);
    return (differ[0] | differ[1]) == 0;
}

template <Background background, Order order>
void Row(const uint32_t* in, uint32_t* out, std::size_t count)
{
    // No light: black, opaque or see-through.
    constexpr uint32_t Dark = Pack<order>(background == Background::Transparent ? 0u : 255u, 0u, 0u, 0u);
    const U32x4 darkWords = U32x4{} + Dark;
    std::size_t i = 0;
    for (; i + Lanes <= count; i += Lanes) {
        const I32x4 word = Load(in + i);
        if constexpr (background != Background::Blue) {
            if (AllBackground(word)) {
                Store(out + i, darkWords);
                continue;
            }
        }
        I32x4 r = (word >> 16) & 0xFF, g = (word >> 8) & 0xFF, b = word & 0xFF;
        I32x4 a = I32x4{} + 0xFF;
        if constexpr (background != Background::Blue) {
            r = LightChannel(r, BackgroundR);
            g = LightChannel(g, BackgroundG);
            b = LightChannel(b, BackgroundB);
        }
        if constexpr (background == Background::Transparent) {
            a = Max(Max(r, g), b);
            // Where alpha is 0 every channel's light is 0, and so is its colour.
            const F32x4 scale = 255.0f / __builtin_convertvector(Max(a, I32x4{} + 1), F32x4);
            r = Colour(r, scale);
            g = Colour(g, scale);
            b = Colour(b, scale);
        }
        const U32x4 packed = Pack<order>(__builtin_convertvector(a, U32x4), __builtin_convertvector(r, U32x4),
                                         __builtin_convertvector(g, U32x4), __builtin_convertvector(b, U32x4));
        Store(out + i, packed);
    }
    for (; i < count; ++i) out[i] = ReferencePixel(background, order, in[i]);
}

template <Background background>
void RowIn(Order order, const uint32_t* in, uint32_t* out, std::size_t count)
{
    if (order == Order::Argb) {
        Row<background, Order::Argb>(in, out, count);
    } else {
        Row<background, Order::Rgba>(in, out, count);
    }
}

}  // namespace

std::optional<Background> ParseBackground(std::string_view name)
{
    for (const Background b : {Background::Blue, Background::Black, Background::Transparent}) {
        if (name == BackgroundName(b)) return b;
    }
    return std::nullopt;
}

const char* BackgroundName(Background background)
{
    switch (background) {
    case Background::Blue:
        return "blue";
    case Background::Black:
        return "black";
    case Background::Transparent:
        return "transparent";
    }
    return "?";
}

void ConvertRow(Background background, Order order, const uint32_t* in, uint32_t* out, std::size_t count)
{
    switch (background) {
    case Background::Blue:
        RowIn<Background::Blue>(order, in, out, count);
        break;
    case Background::Black:
        RowIn<Background::Black>(order, in, out, count);
        break;
    case Background::Transparent:
        RowIn<Background::Transparent>(order, in, out, count);
        break;
    }
}

void ConvertRowReference(Background background, Order order, const uint32_t* in, uint32_t* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) out[i] = ReferencePixel(background, order, in[i]);
}

void ConvertFrame(Background background, Order order, const uint32_t* in, std::ptrdiff_t inPitch, uint32_t* out,
                  std::ptrdiff_t outPitch, int width, int height)
{
    if (width < 1 || height < 1) return;
    for (int y = 0; y < height; ++y) {
        ConvertRow(background, order, in + y * inPitch, out + y * outPitch, static_cast<std::size_t>(width));
    }
}

}  // namespace nimbrelle::picture
