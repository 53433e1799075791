// The scene as light, for laying it over other pictures.
//
// The module starts every frame as the word SceneBackground (dark blue) and adds everything
// else with per-channel saturation, so each channel of a pixel is min(255, background + light).
// This library takes the light back out and gives it the three ways a front end offers:
//
//   Blue         the frame as drawn, opaque;
//   Black        the light alone, opaque: light = max(0, pixel - background) per channel;
//   Transparent  the light with straight (not premultiplied) alpha: alpha = the largest light
//                channel, colour = round(light * 255 / alpha) (round half up), black where
//                alpha is 0.
//
// Plain subtraction recomposes exactly: min(255, background + light) gives every pixel the
// module draws back bit for bit (a saturated blue channel gives light 221, and 0x22 + 221 =
// 255). Straight alpha composited "over" black with round-to-nearest, round(colour * alpha /
// 255), gives the light back exactly: colour differs from light * 255 / alpha by at most 1/2,
// so colour * alpha / 255 differs from the light by at most alpha / 510 < 1/2 (and by 0 when
// alpha is 255).
//
// Every function here is a plain loop over rows with no allocation; ConvertRow is the fast
// path, ConvertRowReference the per-pixel definition it is tested against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace nimbrelle::picture {

// The word every frame of the module starts from: 0x00RRGGBB, dark blue.
inline constexpr uint32_t SceneBackground = 0x00000022u;

enum class Background : uint8_t { Blue, Black, Transparent };

// How converted pixels are laid out. Argb: words 0xAARRGGBB (in memory B, G, R, A on a
// little-endian machine: ffmpeg's "bgra", GStreamer's BGRA). Rgba: the bytes R, G, B, A in
// memory order whatever the machine (PNG, a canvas's ImageData). Opaque pictures get alpha 255.
enum class Order : uint8_t { Argb, Rgba };

// "blue", "black" or "transparent"; nullopt for anything else.
std::optional<Background> ParseBackground(std::string_view name);
// The name ParseBackground takes.
const char* BackgroundName(Background background);

// The light of a 0x00RRGGBB pixel: max(0, pixel - SceneBackground) per channel, 0x00rrggbb.
constexpr uint32_t LightOf(uint32_t pixel)
{
    uint32_t light = 0;
    for (const unsigned shift : {16u, 8u, 0u}) {
        const uint32_t c = (pixel >> shift) & 0xFFu;
        const uint32_t b = (SceneBackground >> shift) & 0xFFu;
        light |= (c > b ? c - b : 0u) << shift;
    }
    return light;
}

// Light 0x00rrggbb as straight alpha, 0xAARRGGBB.
constexpr uint32_t StraightAlphaOf(uint32_t light)
{
    const uint32_t r = (light >> 16) & 0xFFu, g = (light >> 8) & 0xFFu, b = light & 0xFFu;
    const uint32_t alpha = r > g ? (r > b ? r : b) : (g > b ? g : b);
    if (alpha == 0) return 0;
    auto colour = [alpha](uint32_t c) { return (c * 255u + alpha / 2u) / alpha; };
    return alpha << 24 | colour(r) << 16 | colour(g) << 8 | colour(b);
}

// Converts `count` pixels of 0x00RRGGBB words (the top byte is ignored) from `in` to `out`,
// which may be `in` itself (converting in place) but must not overlap it otherwise.
void ConvertRow(Background background, Order order, const uint32_t* in, uint32_t* out, std::size_t count);

// The same, pixel by pixel with the definitions above: what ConvertRow must equal.
void ConvertRowReference(Background background, Order order, const uint32_t* in, uint32_t* out, std::size_t count);

// ConvertRow over `height` rows of `width` pixels; rows lie `inPitch` and `outPitch` words
// apart (either may be negative for a bottom-up buffer). Words between rows are not touched.
// Nothing happens for a width or height below 1.
void ConvertFrame(Background background, Order order, const uint32_t* in, std::ptrdiff_t inPitch, uint32_t* out,
                  std::ptrdiff_t outPitch, int width, int height);

}  // namespace nimbrelle::picture
