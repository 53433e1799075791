#include <vector>

#include <gtest/gtest.h>

#include "raster/add_row.h"
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
