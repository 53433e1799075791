// The scene as light: the module's own frames come back from their light and from its straight
// alpha, and the fast rows equal the per-pixel definition for every colour and any row.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nimbrelle/picture.h"
#include "support/loaded_module.h"

namespace nimbrelle::picture {
namespace {

constexpr Background All[] = {Background::Blue, Background::Black, Background::Transparent};
constexpr Order Orders[] = {Order::Argb, Order::Rgba};

uint32_t Channel(uint32_t word, unsigned shift)
{
    return (word >> shift) & 0xFFu;
}

// Light laid back over the background with the module's saturating addition.
uint32_t Recompose(uint32_t light)
{
    uint32_t pixel = 0;
    for (const unsigned shift : {16u, 8u, 0u}) {
        const uint32_t sum = Channel(light, shift) + Channel(SceneBackground, shift);
        pixel |= (sum > 255u ? 255u : sum) << shift;
    }
    return pixel;
}

// Straight alpha 0xAARRGGBB composited over black, rounded to nearest: colour * alpha / 255.
uint32_t OverBlack(uint32_t argb)
{
    const uint32_t alpha = argb >> 24;
    uint32_t pixel = 0;
    for (const unsigned shift : {16u, 8u, 0u}) pixel |= (Channel(argb, shift) * alpha + 127u) / 255u << shift;
    return pixel;
}

// The seed of a run's random inputs: NIMBRELLE_PICTURE_SEED when set, else a fresh one.
uint64_t Seed()
{
    if (const char* given = std::getenv("NIMBRELLE_PICTURE_SEED")) return std::stoull(given);
    return std::random_device{}();
}

// A pixel like the scene's: the plain background a third of the time (as runs of it are most
// of a frame), else each channel the background's, saturated, just above or below the
// background's, or anything.
uint32_t ScenePixel(std::mt19937_64& random)
{
    if (random() % 3 == 0) return SceneBackground | static_cast<uint32_t>(random() << 24);
    uint32_t pixel = 0;
    for (const unsigned shift : {16u, 8u, 0u}) {
        const uint32_t b = Channel(SceneBackground, shift);
        const uint32_t choices[] = {b, 255u, b + 1u, b > 0 ? b - 1u : 0u, static_cast<uint32_t>(random() % 256)};
        pixel |= choices[random() % 5] << shift;
    }
    return pixel;
}

std::string Describe(Background background, Order order)
{
    return std::string(BackgroundName(background)) + (order == Order::Argb ? " argb" : " rgba");
}

TEST(Picture, TheRuleAtItsEdges)
{
    EXPECT_EQ(LightOf(SceneBackground), 0u);
    EXPECT_EQ(LightOf(0x00123410u), 0x00123400u) << "a channel below the background's gives no light";
    // Saturated white is light (255, 255, 221): plain subtraction, no special case for 255.
    EXPECT_EQ(LightOf(0x00FFFFFFu), 0x00FFFFDDu);
    EXPECT_EQ(Recompose(LightOf(0x00FFFFFFu)), 0x00FFFFFFu);
    EXPECT_EQ(StraightAlphaOf(0x00FFFFDDu), 0xFFFFFFDDu);
    EXPECT_EQ(StraightAlphaOf(0x000000DDu), 0xDD0000FFu);
    EXPECT_EQ(StraightAlphaOf(0x00000000u), 0u);
    // 1 * 255 / 2 = 127.5 rounds up; 1 * 255 / 3 = 85 exactly; 2 * 255 / 200 = 2.55 gives 3.
    EXPECT_EQ(StraightAlphaOf(0x00020100u), 0x02FF8000u);
    EXPECT_EQ(StraightAlphaOf(0x00030100u), 0x03FF5500u);
    EXPECT_EQ(StraightAlphaOf(0x00C80200u), 0xC8FF0300u);

    for (const Background b : All) EXPECT_EQ(ParseBackground(BackgroundName(b)), b);
    for (const char* bad : {"", "Blue", "white", "transparent ", "none"}) EXPECT_EQ(ParseBackground(bad), std::nullopt) << bad;
}

TEST(Picture, EveryLightComesBackFromItsStraightAlphaOverBlack)
{
    // Each channel's colour depends on its light and the alpha alone: every pair, the light at
    // or below the alpha, the largest channel.
    for (uint32_t alpha = 1; alpha < 256; ++alpha) {
        for (uint32_t c = 0; c <= alpha; ++c) {
            const uint32_t light = alpha << 16 | c;
            ASSERT_EQ(OverBlack(StraightAlphaOf(light)), light) << "alpha " << alpha << ", light " << c;
        }
    }
}

TEST(Picture, TheModulesFramesComeBackFromTheirLightAndItsAlpha)
{
    test::LoadedModule module;
    const ModuleDescriptor& d = module.Descriptor();
    ASSERT_EQ(d.init(), 1);
    std::mt19937 levels(7);
    bool saturated = false;
    for (const auto& [width, height] : {std::pair{160, 96}, std::pair{37, 21}, std::pair{320, 180}}) {
        std::vector<uint32_t> frame(static_cast<std::size_t>(width * height)), light(frame.size()), alpha(frame.size());
        for (int n = 0; n < 24; ++n) {
            // Quiet, loud and uneven records in turn.
            FrameData record{};
            record.leading = static_cast<uint32_t>(n * 16);
            auto* bytes = &record.blockA[0][0];
            for (std::size_t i = 0; i < sizeof record.blockA + sizeof record.blockB; ++i) {
                bytes[i] = static_cast<unsigned char>(n % 3 == 0 ? 0 : n % 3 == 1 ? 255 : levels() % 256);
            }
            ASSERT_EQ(d.render(frame.data(), width, height, width, &record), 1);
            ConvertFrame(Background::Black, Order::Argb, frame.data(), width, light.data(), width, width, height);
            ConvertFrame(Background::Transparent, Order::Argb, frame.data(), width, alpha.data(), width, width, height);
            for (std::size_t i = 0; i < frame.size(); ++i) {
                ASSERT_EQ(Recompose(light[i] & 0x00FFFFFFu), frame[i]) << width << "x" << height << " frame " << n << " pixel " << i;
                ASSERT_EQ(OverBlack(alpha[i]), light[i] & 0x00FFFFFFu) << width << "x" << height << " frame " << n << " pixel " << i;
                saturated = saturated || (frame[i] & 0xFFu) == 0xFFu;
            }
        }
    }
    EXPECT_TRUE(saturated) << "the loud frames should saturate some blue channels";
}

TEST(Picture, FastRowsEqualTheReferenceForEveryColour)
{
    const uint64_t seed = Seed();
    SCOPED_TRACE("NIMBRELLE_PICTURE_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    // Every colour once, each with a random top byte, which the conversion must ignore.
    std::vector<uint32_t> in(1u << 24), fast(in.size()), reference(in.size());
    for (uint32_t i = 0; i < in.size(); ++i) in[i] = i | static_cast<uint32_t>(random() << 24);
    for (const Background b : All) {
        for (const Order o : Orders) {
            ConvertRow(b, o, in.data(), fast.data(), in.size());
            ConvertRowReference(b, o, in.data(), reference.data(), in.size());
            for (std::size_t i = 0; i < in.size(); ++i) {
                ASSERT_EQ(fast[i], reference[i]) << Describe(b, o) << " of " << std::hex << in[i];
            }
        }
    }
}

TEST(Picture, FastRowsEqualTheReferenceForAnyRowInPlaceOrWithPitches)
{
    const uint64_t seed = Seed();
    SCOPED_TRACE("NIMBRELLE_PICTURE_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    constexpr uint32_t Guard = 0xDEADBEEFu;
    for (int round = 0; round < 400; ++round) {
        const Background b = All[random() % 3];
        const Order o = Orders[random() % 2];
        const int width = static_cast<int>(random() % 70), height = 1 + static_cast<int>(random() % 5);
        const int inPitch = width + static_cast<int>(random() % 3), outPitch = width + static_cast<int>(random() % 3);
        const std::size_t offset = random() % 4;  // rows starting at any word, not only at 16 bytes
        std::vector<uint32_t> in(offset + static_cast<std::size_t>(inPitch * height) + 1);
        const bool sceneLike = random() % 4 != 0;
        for (uint32_t& p : in) p = sceneLike ? ScenePixel(random) : static_cast<uint32_t>(random());
        std::vector<uint32_t> fast(offset + static_cast<std::size_t>(outPitch * height) + 1, Guard);
        std::vector<uint32_t> reference = fast;
        // Bottom-up half the time: the last row first, a negative pitch.
        const bool flip = random() % 2 == 1 && height > 1;
        const std::ptrdiff_t inStep = flip ? -inPitch : inPitch, outStep = flip ? -outPitch : outPitch;
        const uint32_t* from = in.data() + offset + (flip ? (height - 1) * inPitch : 0);
        const std::size_t to = offset + static_cast<std::size_t>(flip ? (height - 1) * outPitch : 0);
        ConvertFrame(b, o, from, inStep, fast.data() + to, outStep, width, height);
        for (int y = 0; y < height; ++y) {
            ConvertRowReference(b, o, from + y * inStep, reference.data() + static_cast<std::ptrdiff_t>(to) + y * outStep,
                                static_cast<std::size_t>(width));
        }
        ASSERT_EQ(fast, reference) << "round " << round << ": " << Describe(b, o) << ", " << width << "x" << height
                                   << ", pitches " << inStep << " and " << outStep << ", offset " << offset;

        // In place, over a row that starts at any word.
        uint32_t* row = in.data() + offset;
        std::vector<uint32_t> expected(static_cast<std::size_t>(width));
        ConvertRowReference(b, o, row, expected.data(), expected.size());
        ConvertRow(b, o, row, row, expected.size());
        ASSERT_EQ(std::vector<uint32_t>(row, row + width), expected)
            << "round " << round << " in place: " << Describe(b, o) << ", width " << width << ", offset " << offset;
    }
}

}  // namespace
}  // namespace nimbrelle::picture
