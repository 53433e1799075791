// Properties of the built-in glow picture, checked against values written out here rather
// than against the generator that produced the table.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "raster/raster.h"

namespace nimbrelle {
namespace {

constexpr int kSide = 64;
constexpr int kPeak = 245;
constexpr int kLitTexels = 4035;
constexpr int kTolerance = 3;

// Brightness at distance 0, 1, 2, ... 47 from (row 31.75, column 30.75); linear in between.
constexpr std::array<int, 48> kProfile = {
    245, 244, 244, 242, 240, 236, 232, 228, 222, 215, 207, 198, 189, 178, 167, 155,
    143, 130, 118, 105, 94,  82,  72,  62,  53,  45,  37,  31,  26,  21,  17,  14,
    11,  9,   7,   5,   4,   3,   2,   2,   1,   1,   0,   0,   0,   0,   0,   0};

constexpr std::array<int, 64> kRow31 = {
    16,  19,  23,  28,  33,  40,  47,  56,  65,  75,  86,  98,  110, 122, 134, 147,
    159, 171, 182, 192, 201, 210, 217, 224, 229, 234, 238, 240, 243, 244, 245, 245,
    244, 243, 241, 239, 235, 231, 226, 220, 213, 204, 195, 185, 175, 163, 151, 139,
    126, 114, 102, 90,  79,  68,  59,  50,  42,  35,  29,  24,  20,  16,  13,  11};
constexpr std::array<int, 64> kColumn31 = {
    13,  15,  19,  23,  28,  33,  40,  47,  56,  65,  75,  86,  97,  110, 122, 134,
    147, 159, 171, 182, 192, 202, 210, 218, 224, 229, 234, 238, 241, 243, 244, 245,
    245, 244, 243, 241, 239, 235, 231, 226, 220, 213, 205, 195, 185, 175, 163, 151,
    139, 126, 114, 102, 90,  79,  68,  59,  50,  42,  35,  30,  25,  20,  17,  14};
constexpr std::array<int, 64> kRow0 = {
    0,  0,  0,  0,  1,  1,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,
    6,  7,  7,  8,  9,  9,  10, 10, 11, 11, 12, 12, 12, 13, 13, 13,
    13, 12, 12, 12, 11, 11, 10, 10, 9,  9,  8,  7,  7,  6,  5,  5,
    4,  4,  3,  3,  2,  2,  1,  1,  1,  1,  0,  0,  0,  0,  0,  0};
constexpr std::array<int, 64> kDiagonal = {
    0,   0,   1,   1,   2,   3,   4,   6,   9,   12,  17,  23,  30,  39,  50,  63,
    77,  93,  110, 127, 145, 162, 178, 193, 206, 217, 226, 233, 238, 242, 244, 245,
    244, 243, 240, 235, 228, 220, 210, 197, 183, 167, 150, 133, 115, 98,  82,  67,
    54,  43,  33,  25,  19,  14,  10,  7,   5,   3,   2,   1,   1,   0,   0,   0};

uint32_t Texel(int row, int column) { return GlowImage[row * kSide + column]; }

// The blue byte; the grey test makes it stand for all three channels.
int Level(int row, int column) { return static_cast<int>(Texel(row, column) & 0xffu); }

// The profile at the texel's distance from the centre, rounded half up.
int RoundedProfile(int row, int column) {
    const double dr = row - 31.75;
    const double dc = column - 30.75;
    const double d = std::sqrt(dr * dr + dc * dc);
    const double whole = std::floor(d);
    if (whole >= 47.0) return 0;
    const auto i = static_cast<size_t>(whole);
    const double p = kProfile[i] + (kProfile[i + 1] - kProfile[i]) * (d - whole);
    return static_cast<int>(std::floor(p + 0.5));
}

TEST(GlowImage, TexelsAreGreyWithTheTopByteClear) {
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            const uint32_t t = Texel(r, c);
            EXPECT_EQ(t >> 24, 0u) << "row " << r << ", column " << c;
            EXPECT_EQ((t >> 16) & 0xffu, t & 0xffu) << "red, row " << r << ", column " << c;
            EXPECT_EQ((t >> 8) & 0xffu, t & 0xffu) << "green, row " << r << ", column " << c;
        }
    }
}

TEST(GlowImage, PeakCornersAndLitCount) {
    int brightest = -1;
    int lit = 0;
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            const int v = Level(r, c);
            EXPECT_LE(v, kPeak) << "row " << r << ", column " << c;
            if (v > brightest) brightest = v;
            if (Texel(r, c) != 0) ++lit;
        }
    }
    EXPECT_EQ(brightest, kPeak);
    EXPECT_EQ(lit, kLitTexels);

    for (const auto& [r, c] : {std::array{31, 30}, std::array{31, 31}, std::array{32, 30},
                               std::array{32, 31}}) {
        EXPECT_EQ(Level(r, c), kPeak) << "peak texel row " << r << ", column " << c;
    }
    for (const auto& [r, c] : {std::array{0, 0}, std::array{0, 63}, std::array{63, 0},
                               std::array{63, 63}}) {
        EXPECT_EQ(Texel(r, c), 0u) << "corner row " << r << ", column " << c;
    }
}

TEST(GlowImage, PinnedLinesHaveTheirExactValues) {
    for (size_t k = 0; k < kSide; ++k) {
        const int i = static_cast<int>(k);
        EXPECT_EQ(Level(31, i), kRow31[k]) << "row 31, column " << i;
        EXPECT_EQ(Level(i, 31), kColumn31[k]) << "row " << i << ", column 31";
        EXPECT_EQ(Level(0, i), kRow0[k]) << "row 0, column " << i;
        EXPECT_EQ(Level(i, i), kDiagonal[k]) << "row " << i << ", column " << i;
    }
}

TEST(GlowImage, EveryTexelFollowsTheRadialProfile) {
    // Spot values of the rounded profile, so a slip in the helper cannot pass unnoticed.
    EXPECT_EQ(RoundedProfile(32, 31), 245);  // d = 0.354: 245 - 0.354
    EXPECT_EQ(RoundedProfile(10, 50), 21);   // d = 29.045: 21 - 4 * 0.045
    EXPECT_EQ(RoundedProfile(50, 10), 28);   // d = 27.634: 31 - 5 * 0.634
    EXPECT_EQ(RoundedProfile(0, 0), 0);      // d = 44.2, past the last non-zero entry
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            const int expected = RoundedProfile(r, c);
            EXPECT_LE(std::abs(Level(r, c) - expected), kTolerance)
                << "row " << r << ", column " << c << ": level " << Level(r, c)
                << ", profile rounds to " << expected;
        }
    }
}

}  // namespace
}  // namespace nimbrelle
