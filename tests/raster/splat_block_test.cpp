#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "raster/splat_block.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

#if defined(__SSE2__)
// The SSE2 block must add exactly what the plain one adds, for amounts that carry, borrow or
// do not fit in 32 bits, and for channels that are not numbers.
TEST(SplatBlock, Sse2MatchesThePlainBlock)
{
    test::Rng rng(0x5B10C);
    const float specials[] = {0.0f, -0.0f, 1e30f, -1e30f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), 3e9f, -3e9f};
    for (int n = 0; n < 100000; ++n) {
        float w[4];
        for (float& v : w) v = static_cast<float>(rng.Range(0.0, 1.0));
        double channel[3];
        for (double& c : channel) {
            c = static_cast<float>(rng.Range(-300.0, 700.0));
            if (rng.Below(16) == 0) c = specials[rng.Below(std::size(specials))];
        }
        uint32_t plain[4], sse2[4];
        for (int i = 0; i < 4; ++i) plain[i] = sse2[i] = static_cast<uint32_t>(rng.Next());
        SplatBlockScalar(plain, plain + 2, w, channel[0], channel[1], channel[2]);
        SplatBlockSse2(sse2, sse2 + 2, w, channel[0], channel[1], channel[2]);
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(sse2[i], plain[i]) << "case " << n << " (seed 0x5B10C), pixel " << i << ", colour " << channel[0]
                                         << " " << channel[1] << " " << channel[2];
    }
}
#endif

}  // namespace
}  // namespace nimbrelle
