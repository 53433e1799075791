#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "raster/add_row.h"
#include "raster/glow_stamp.h"
#include "raster/raster.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

// Each row routine must match AddPixel on every byte pattern, at every length and alignment,
// and write nothing outside its row.
TEST(AddRow, RoutinesMatchAddPixelAtAnyLengthAndOffset)
{
    test::Rng rng(0xADD5);
    for (int n = 0; n < 3000; ++n) {
        const auto count = rng.Below(70);  // covers the scalar tails of 4- and 8-wide loops
        const auto offset = rng.Below(4);
        std::vector<uint32_t> base(count + 8), add(count);
        for (auto& p : base) p = static_cast<uint32_t>(rng.Next());
        for (auto& a : add) a = static_cast<uint32_t>(rng.Next()) & 0x00FFFFFFu;
        if (n % 3 == 0)  // plenty of saturation
            for (auto& a : add) a |= 0x00F0F0F0u;

        std::vector<uint32_t> expected = base;
        BindCanvas(expected.data() + offset, static_cast<int32_t>(count), 1, static_cast<int32_t>(count));
        for (uint32_t i = 0; i < count; ++i)
            AddPixel(static_cast<int32_t>(i), 0, static_cast<int32_t>(add[i] >> 16), static_cast<int32_t>((add[i] >> 8) & 0xFF),
                     static_cast<int32_t>(add[i] & 0xFF));

        for (AddRowFn routine : {AddRowScalar, AddRowSse2, HaveAddRowAvx2() ? AddRowAvx2 : AddRowScalar}) {
            std::vector<uint32_t> row = base;
            routine(row.data() + offset, add.data(), count);
            ASSERT_EQ(row, expected) << "case " << n << " (seed 0xADD5), count " << count << ", offset " << offset;
        }
    }
}

}  // namespace
}  // namespace nimbrelle

namespace nimbrelle {
namespace {

const RowKernels* const AllKernels[] = {&ScalarKernels(), &Sse2Kernels(), &FastestKernels()};

// Fill, copy and streamed copy write exactly their row, at every length and alignment, short
// rows and rows long enough for the string instructions alike.
TEST(RowKernels, FillAndCopyWriteExactlyTheirRow)
{
    test::Rng rng(0xF111);
    for (int n = 0; n < 2000; ++n) {
        const auto count = n % 4 == 3 ? static_cast<uint32_t>(StringRowMin) - 8 + rng.Below(200) : rng.Below(80);
        const auto offset = rng.Below(8);
        std::vector<uint32_t> src(count);
        for (auto& v : src) v = static_cast<uint32_t>(rng.Next());
        const auto value = static_cast<uint32_t>(rng.Next());
        for (const RowKernels* k : AllKernels) {
            std::vector<uint32_t> filled(count + 16, 0xDEADBEEF), copied(count + 16, 0xDEADBEEF),
                streamed(count + 16, 0xDEADBEEF);
            k->fillRow(filled.data() + offset, value, count);
            k->copyRow(copied.data() + offset, src.data(), count);
            k->streamRow(streamed.data() + offset, src.data(), count);
            StreamFence();
            for (std::size_t i = 0; i < filled.size(); ++i) {
                const bool inside = i >= offset && i < offset + count;
                ASSERT_EQ(filled[i], inside ? value : 0xDEADBEEF) << "case " << n << " (seed 0xF111), word " << i;
                ASSERT_EQ(copied[i], inside ? src[i - offset] : 0xDEADBEEF) << "case " << n << ", word " << i;
                ASSERT_EQ(streamed[i], copied[i]) << "case " << n << ", word " << i;
            }
        }
    }
}

// The glow sums: 16-bit lanes that wrap when added, clamped to 0-255 when packed, and a fill
// that stays within its promised slack.
TEST(RowKernels, AddSumsClampsEachLaneAndFillAmountsStaysInItsSlack)
{
    test::Rng rng(0x5A75);
    for (int n = 0; n < 2000; ++n) {
        const auto count = rng.Below(70);
        std::vector<uint16_t> sums(4 * count);
        std::vector<uint64_t> amounts(count);
        for (std::size_t i = 0; i < count; ++i) {
            for (int lane = 0; lane < 3; ++lane)
                sums[4 * i + static_cast<std::size_t>(lane)] = static_cast<uint16_t>(rng.Below(n % 2 ? 600 : 65536));
            amounts[i] = RunAmounts(static_cast<int32_t>(rng.Below(511)) - 255, static_cast<int32_t>(rng.Below(511)) - 255,
                                    static_cast<int32_t>(rng.Below(511)) - 255);
        }
        // Expected: each lane plus its amount modulo 2^16, read as signed and clamped.
        std::vector<uint16_t> expectedSums = sums;
        std::vector<uint32_t> expectedOut(count);
        for (std::size_t i = 0; i < count; ++i)
            for (int lane = 0; lane < 3; ++lane) {
                uint16_t& s = expectedSums[4 * i + static_cast<std::size_t>(lane)];
                s = static_cast<uint16_t>(s + (amounts[i] >> (16 * lane)));
                const int v = static_cast<int16_t>(s);
                expectedOut[i] |= static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v) << (8 * lane);
            }
        const uint64_t value = amounts.empty() ? 7 : amounts[0];
        for (const RowKernels* k : AllKernels) {
            std::vector<uint16_t> s = sums;
            std::vector<uint32_t> out(count + 4, 0xDEADBEEF);
            k->addSums(s.data(), out.data(), amounts.data(), count);
            ASSERT_EQ(s, expectedSums) << "case " << n << " (seed 0x5A75)";
            ASSERT_EQ(std::vector<uint32_t>(out.begin(), out.begin() + count), expectedOut) << "case " << n;
            for (std::size_t i = count; i < out.size(); ++i) ASSERT_EQ(out[i], 0xDEADBEEF) << "case " << n;

            std::vector<uint64_t> run(count + AmountsSlack + 2, 1);
            k->fillAmounts(run.data(), value, count);
            for (std::size_t i = 0; i < run.size(); ++i) {
                if (i < count) {
                    ASSERT_EQ(run[i], value) << "case " << n << ", element " << i;
                } else if (i >= count + AmountsSlack) {
                    ASSERT_EQ(run[i], 1u) << "case " << n << ", element " << i;
                }
            }
        }
    }
}

// Grey sums: one lane per pixel, clamped and added to each channel of the background.
TEST(RowKernels, AddGreySumsAddsTheClampedSumToEachChannel)
{
    test::Rng rng(0x6EE7);
    for (int n = 0; n < 2000; ++n) {
        const auto count = rng.Below(70);
        const uint32_t background = static_cast<uint32_t>(rng.Next()) & 0x00FFFFFFu;
        std::vector<uint16_t> sums(count), amounts(count);
        for (std::size_t i = 0; i < count; ++i) {
            sums[i] = static_cast<uint16_t>(rng.Below(n % 2 ? 400 : 65536));
            amounts[i] = static_cast<uint16_t>(static_cast<int32_t>(rng.Below(511)) - 255);
        }
        std::vector<uint16_t> expectedSums(count);
        std::vector<uint32_t> expectedOut(count);
        for (std::size_t i = 0; i < count; ++i) {
            expectedSums[i] = static_cast<uint16_t>(sums[i] + amounts[i]);
            const int v = static_cast<int16_t>(expectedSums[i]);
            const uint32_t grey = static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            for (int shift = 0; shift < 24; shift += 8)
                expectedOut[i] |= std::min(255u, ((background >> shift) & 0xFFu) + grey) << shift;
        }
        for (const RowKernels* k : AllKernels) {
            std::vector<uint16_t> s = sums;
            std::vector<uint32_t> out(count + 4, 0xDEADBEEF);
            k->addGreySums(s.data(), out.data(), amounts.data(), count, background);
            ASSERT_EQ(s, expectedSums) << "case " << n << " (seed 0x6EE7)";
            ASSERT_EQ(std::vector<uint32_t>(out.begin(), out.begin() + count), expectedOut) << "case " << n;
            for (std::size_t i = count; i < out.size(); ++i) ASSERT_EQ(out[i], 0xDEADBEEF) << "case " << n;

            std::vector<uint16_t> run(count + GreyAmountsSlack + 2, 1);
            k->fillGreyAmounts(run.data(), 0xABCD, count);
            for (std::size_t i = 0; i < run.size(); ++i) {
                if (i < count) {
                    ASSERT_EQ(run[i], 0xABCD) << "case " << n << ", element " << i;
                } else if (i >= count + GreyAmountsSlack) {
                    ASSERT_EQ(run[i], 1u) << "case " << n << ", element " << i;
                }
            }
        }
    }
}

// Adding runs straight from their amounts equals expanding them into a row of amounts first;
// past the last run it may rewrite at most RowSlack pixels, and only with what they were.
TEST(RowKernels, AddGreyRunsEqualsItsRunsExpanded)
{
    constexpr uint64_t Seed = 0x6A1B;
    test::Rng rng(Seed);
    for (int n = 0; n < 2000; ++n) {
        const uint32_t background = static_cast<uint32_t>(rng.Next()) & 0x00FFFFFFu;
        const int runs = 1 + static_cast<int>(rng.Below(12));
        std::vector<int64_t> starts{static_cast<int64_t>(rng.Below(20))};
        std::vector<uint16_t> amounts;
        for (int k = 0; k < runs; ++k) {
            starts.push_back(starts.back() + 1 + static_cast<int64_t>(rng.Below(n % 3 == 0 ? 3 : 40)));
            amounts.push_back(static_cast<uint16_t>(static_cast<int32_t>(rng.Below(511)) - 255));
        }
        const auto width = static_cast<std::size_t>(starts.back() + static_cast<int64_t>(rng.Below(5)));
        // Every pixel starts as the pixel of its sum, as the glow rows keep them.
        std::vector<uint16_t> sums(width + RowSlack);
        std::vector<uint32_t> out(width + RowSlack);
        for (std::size_t i = 0; i < sums.size(); ++i) {
            sums[i] = static_cast<uint16_t>(rng.Below(n % 2 ? 400 : 65536));
            uint16_t copy = sums[i];
            out[i] = AddGreySumsPixel(copy, 0, background);
        }
        std::vector<uint16_t> expectedSums = sums, row(width + GreyAmountsSlack);
        std::vector<uint32_t> expectedOut = out;
        for (int k = 0; k < runs; ++k)
            for (int64_t x = starts[k]; x < starts[k + 1]; ++x) row[x] = amounts[k];
        const auto from = static_cast<std::size_t>(starts[0]), to = static_cast<std::size_t>(starts.back());
        AddGreySumsScalar(expectedSums.data() + from, expectedOut.data() + from, row.data() + from, to - from, background);
        for (const RowKernels* k : AllKernels) {
            std::vector<uint16_t> s = sums;
            std::vector<uint32_t> o = out;
            k->addGreyRuns(s.data(), o.data(), starts.data(), amounts.data(), runs, background);
            ASSERT_EQ(s, expectedSums) << "case " << n << " (seed " << Seed << ")";
            ASSERT_EQ(o, expectedOut) << "case " << n << " (seed " << Seed << ")";
        }
    }
}

// The amounts of a new texel row computed in double lanes equal the table of truncated
// products, for intensities the lanes take and for those left to the table.
TEST(RowKernels, GreyChangesMatchTheAmountTable)
{
    constexpr uint64_t Seed = 0x9C4A;
    test::Rng rng(Seed);
    const double special[] = {0.0, 1.0, -0.0, 0x1p-30, 0.99999999999, 1.0000001, -0.5, 3.0, HUGE_VAL, std::nan("")};
    for (int n = 0; n < 3000; ++n) {
        const double intensity = n % 4 == 0 ? special[rng.Below(std::size(special))] : rng.Below(1u << 30) / static_cast<double>(1u << 30);
        uint8_t amount[256];
        for (uint32_t v = 0; v < 256; ++v) amount[v] = static_cast<uint8_t>(ChannelAmount(v, intensity));
        const int count = static_cast<int>(rng.Below(65));
        std::vector<uint8_t> texels(count + TexelSlack);
        for (auto& t : texels) t = static_cast<uint8_t>(rng.Next());
        std::vector<uint16_t> held(count);
        for (auto& h : held) h = static_cast<uint16_t>(rng.Next());
        std::vector<uint16_t> expectedHeld(count), expectedChange(count);
        for (int k = 0; k < count; ++k) {
            expectedHeld[k] = amount[texels[k]];
            expectedChange[k] = static_cast<uint16_t>(expectedHeld[k] - held[k]);
        }
        for (const RowKernels* k : AllKernels) {
            std::vector<uint16_t> h = held, change(count);
            k->greyChanges(texels.data(), count, amount, intensity, h.data(), change.data());
            ASSERT_EQ(h, expectedHeld) << "case " << n << " (seed " << Seed << "), intensity " << intensity;
            ASSERT_EQ(change, expectedChange) << "case " << n << " (seed " << Seed << "), intensity " << intensity;
        }
    }
}

// The word-wide saturating add used for splats against AddPixel, amounts carrying included.
TEST(RowKernels, WordWideSaturationMatchesAddPixel)
{
    test::Rng rng(0xB17E);
    for (int n = 0; n < 200000; ++n) {
        uint32_t pixel = static_cast<uint32_t>(rng.Next());
        if (n % 4 == 0) pixel |= 0x00808080u;
        const auto r = static_cast<int32_t>(rng.Next() % 800) - 200, g = static_cast<int32_t>(rng.Next() % 800) - 200,
                   b = static_cast<int32_t>(rng.Next() % 800) - 200;
        uint32_t expected = pixel;
        BindCanvas(&expected, 1, 1, 1);
        AddPixel(0, 0, r, g, b);
        const uint32_t composite = (static_cast<uint32_t>(r) * 256u + static_cast<uint32_t>(g)) * 256u + static_cast<uint32_t>(b);
        ASSERT_EQ(AddBytesSaturated(pixel, composite), expected)
            << "case " << n << " (seed 0xB17E): pixel " << pixel << ", amounts " << r << " " << g << " " << b;
    }
}

}  // namespace
}  // namespace nimbrelle
