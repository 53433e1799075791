#include <vector>

#include <gtest/gtest.h>

#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

// Whole frames must come out the same from every raster path: random canvases, random signal
// levels, several frames each so the fountain's state carries over.
TEST(RenderPaths, EveryPathDrawsTheSameFrames)
{
    constexpr uint64_t Seed = 0xF4A3E5;
    test::Rng rng(Seed);
    for (int round = 0; round < 12; ++round) {
        const int width = 8 + static_cast<int>(rng.Below(400));
        const int height = 8 + static_cast<int>(rng.Below(300));
        const int pitch = width + static_cast<int>(rng.Below(9));
        const uint32_t randomState = static_cast<uint32_t>(rng.Next());
        std::vector<FrameData> frames(6);
        for (FrameData& fd : frames) {
            const uint32_t loudness = rng.Below(256);
            auto* bytes = reinterpret_cast<uint8_t*>(&fd);
            for (size_t i = 0; i < sizeof fd; ++i) bytes[i] = static_cast<uint8_t>(rng.Below(loudness + 1));
        }
        std::vector<uint64_t> hashes;
        for (RasterPath path : {RasterPath::Reference, RasterPath::Scalar, RasterPath::Simd}) {
            SelectRasterPath(path);
            SetRandomState(randomState);
            ASSERT_TRUE(InitScene());
            test::GuardedCanvas c(width, height, pitch, 0);
            c.Bind();
            for (const FrameData& fd : frames) RenderScene(fd);
            EXPECT_TRUE(c.GuardsIntact());
            hashes.push_back(c.Hash());
        }
        SelectRasterPath(RasterPath::Simd);
        ReleaseScene();
        EXPECT_EQ(hashes[0], hashes[1]) << "scalar path, round " << round << " (seed " << Seed << ")";
        EXPECT_EQ(hashes[0], hashes[2]) << "SIMD path, round " << round << " (seed " << Seed << ")";
    }
}

}  // namespace
}  // namespace nimbrelle
