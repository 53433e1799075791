#include <cfenv>
#include <cstring>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "scenarios/scenarios.h"
#include "support/loaded_module.h"
#include "support/test_support.h"

namespace nimbrelle {
namespace {

using test::GuardedCanvas;
using test::LoadedModule;
using test::UniformFrame;

TEST(LoadedModule, DescriptorHoldsItsValuesAtOneAddress)
{
    LoadedModule module;
    const ModuleDescriptor* first = module.Query()();
    EXPECT_EQ(module.Query()(), first);
    EXPECT_EQ(first->leadWord, 0);
    EXPECT_STREQ(first->displayName, "Pelkin :: Nimbrelle Calvex");
    EXPECT_EQ(first->hostWord, 7);
    EXPECT_NE(reinterpret_cast<void*>(first->init), reinterpret_cast<void*>(first->render));
    EXPECT_EQ(first->auxEntryA, first->auxEntryB);
    EXPECT_NE(reinterpret_cast<void*>(first->auxEntryA), reinterpret_cast<void*>(first->init));
    EXPECT_NE(reinterpret_cast<void*>(first->auxEntryA), reinterpret_cast<void*>(first->render));
    EXPECT_EQ(first->auxEntryA(), 1);
    // Hosts may pass arguments to the auxiliary entries; the caller removes them.
    using AuxWithArgs = int32_t (*)(int32_t, void*, int32_t);
    EXPECT_EQ(reinterpret_cast<AuxWithArgs>(reinterpret_cast<void*>(first->auxEntryB))(3, nullptr, -1), 1);
}

TEST(LoadedModule, RefusesFramesUntilInitAndForNullArguments)
{
    ASSERT_TRUE(LoadedModule::Unloaded());
    LoadedModule module;
    const ModuleDescriptor& d = module.Descriptor();
    GuardedCanvas c(64, 48, 70, 0x12345678);
    const FrameData fd = UniformFrame(200);

    EXPECT_EQ(d.render(c.Pixels(), 64, 48, 70, &fd), 0);  // no scene yet
    EXPECT_EQ(c.CountNot(0x12345678), 0);

    EXPECT_NE(d.init(), 0);
    EXPECT_EQ(d.render(c.Pixels(), 64, 48, 70, nullptr), 0);
    EXPECT_EQ(d.render(nullptr, 64, 48, 70, &fd), 0);
    EXPECT_EQ(c.CountNot(0x12345678), 0);
    EXPECT_TRUE(c.GuardsIntact());

    EXPECT_EQ(d.render(c.Pixels(), 64, 48, 70, &fd), 1);
    EXPECT_EQ(c.CountNot(0x12345678), 64 * 48);
    EXPECT_TRUE(c.GuardsIntact());
}

TEST(LoadedModule, RefusedFramesDoNotAdvanceTheScene)
{
    const FrameData fd = UniformFrame(90);
    std::vector<uint64_t> hashes;
    for (bool withRefusals : {false, true}) {
        LoadedModule module;
        const ModuleDescriptor& d = module.Descriptor();
        ASSERT_NE(d.init(), 0);
        GuardedCanvas c(160, 120, 160, 0);
        for (int frame = 0; frame < 5; ++frame) {
            if (withRefusals) d.render(c.Pixels(), 160, 120, 160, nullptr);
            ASSERT_EQ(d.render(c.Pixels(), 160, 120, 160, &fd), 1);
        }
        hashes.push_back(c.Hash());
    }
    EXPECT_EQ(hashes[0], hashes[1]);
}

TEST(LoadedModule, AnyCanvasSizeIsSafe)
{
    LoadedModule module;
    const ModuleDescriptor& d = module.Descriptor();
    ASSERT_NE(d.init(), 0);
    const FrameData loud = UniformFrame(255);
    const int sizes[][3] = {{0, 0, 1}, {-5, 10, 10}, {10, -5, 10}, {1, 1, 1},  {2, 2, 2},
                            {3, 3, 5}, {4, 4, 4},    {5, 1, 5},    {1, 7, 1},  {3000, 2, 3000},
                            {2, 3000, 2}, {17, 13, 40}};
    for (const auto& s : sizes) {
        const int w = s[0], h = s[1], pitch = s[2];
        GuardedCanvas c(std::max(w, 0), std::max(h, 0), pitch, 0);
        for (int frame = 0; frame < 3; ++frame) ASSERT_EQ(d.render(c.Pixels(), w, h, pitch, &loud), 1);
        EXPECT_TRUE(c.GuardsIntact()) << w << "x" << h << " pitch " << pitch;
    }
}

TEST(LoadedModule, BottomUpBufferGetsTheSamePictureUpsideDown)
{
    const FrameData fd = UniformFrame(120);
    const int w = 96, h = 72;
    GuardedCanvas down(w, h, w, 0), up(w, h, w, 0);
    for (bool bottomUp : {false, true}) {
        LoadedModule module;
        const ModuleDescriptor& d = module.Descriptor();
        ASSERT_NE(d.init(), 0);
        GuardedCanvas& c = bottomUp ? up : down;
        for (int frame = 0; frame < 4; ++frame) {
            if (bottomUp)
                ASSERT_EQ(d.render(c.Pixels() + (h - 1) * w, w, h, -w, &fd), 1);
            else
                ASSERT_EQ(d.render(c.Pixels(), w, h, w, &fd), 1);
        }
        EXPECT_TRUE(c.GuardsIntact());
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(down.At(x, y), up.At(x, h - 1 - y)) << x << "," << y;
}

void* NoMemory(std::size_t) { return nullptr; }

TEST(ModuleEntries, FailedInitRefusesFramesUntilAnInitSucceeds)
{
    // The module's own objects are linked into this test, so its allocator can be replaced.
    const ModuleDescriptor& d = *QueryModule();
    CameraAllocate = NoMemory;
    const int32_t failed = d.init();
    CameraAllocate = std::malloc;
    EXPECT_EQ(failed, 0);
    GuardedCanvas c(32, 32, 32, 7);
    const FrameData fd = UniformFrame(0);
    EXPECT_EQ(d.render(c.Pixels(), 32, 32, 32, &fd), 0);
    EXPECT_EQ(c.CountNot(7), 0);
    EXPECT_NE(d.init(), 0);
    EXPECT_EQ(d.render(c.Pixels(), 32, 32, 32, &fd), 1);
}

// Whole-run hashes of the golden scenarios: every frame of every scenario chained into one
// FNV-1a value, spare words right of each row included. Checked against the scene's known
// numbers and by eye before being recorded here.
struct Golden {
    const char* name;
    uint64_t hash;
};
const Golden GoldenHashes[] = {
    {"silent_320x240", 0x8a714cd3e4a15946ull},
    {"loud_320x240", 0xf95695e4279b960aull},
    {"changing_320x240", 0x877b886a3d0c4bc3ull},
    {"silent_641x479_pitch700", 0x06f66f0047903afdull},
    {"loud_641x479_pitch700", 0x364720b1663cfc45ull},
    {"changing_641x479_pitch700", 0x5f029036e9587d31ull},
};

struct HashChain {
    uint64_t hash = HASH_START;
    uint64_t words = 0;
};

void ChainFrame(void* context, int32_t, const uint32_t* buffer)
{
    auto* chain = static_cast<HashChain*>(context);
    chain->hash = HashWords(buffer, chain->words, chain->hash);
}

TEST(Golden, ScenariosRenderTheRecordedPictures)
{
    ASSERT_EQ(ScenarioCount, static_cast<int>(std::size(GoldenHashes)));
    for (int i = 0; i < ScenarioCount; ++i) {
        const Scenario& s = Scenarios[i];
        ASSERT_STREQ(s.name, GoldenHashes[i].name);
        ASSERT_TRUE(LoadedModule::Unloaded());
        LoadedModule module;
        std::vector<uint32_t> buffer(static_cast<size_t>(s.height) * static_cast<size_t>(s.pitch));
        HashChain chain;
        chain.words = buffer.size();
        ASSERT_EQ(RunScenario(&module.Descriptor(), &s, buffer.data(), ChainFrame, &chain), 0) << s.name;
        if (const char* dir = std::getenv("NIMBRELLE_DUMP_DIR")) {
            GuardedCanvas view(s.width, s.height, s.pitch, 0);
            std::memcpy(view.Pixels(), buffer.data(), buffer.size() * sizeof(uint32_t));
            test::DumpFrame(view, s.name);
            (void)dir;
        }
        EXPECT_EQ(chain.hash, GoldenHashes[i].hash)
            << s.name << ": got 0x" << std::hex << chain.hash << " (" << std::dec << s.frames << " frames)";
    }
}

// Renders the changing 320x240 scenario in a fresh load and returns its chained hash.
uint64_t ChangingScenarioHash()
{
    const Scenario& s = Scenarios[2];
    LoadedModule module;
    std::vector<uint32_t> buffer(static_cast<size_t>(s.height) * static_cast<size_t>(s.pitch));
    HashChain chain;
    chain.words = buffer.size();
    EXPECT_EQ(RunScenario(&module.Descriptor(), &s, buffer.data(), ChainFrame, &chain), 0);
    return chain.hash;
}

TEST(Golden, TheHostsFloatingPointModesDoNotChangeThePicture)
{
    const uint64_t expected = GoldenHashes[2].hash;
    for (int mode : {FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        EXPECT_EQ(ChangingScenarioHash(), expected) << "rounding mode " << mode;
        EXPECT_EQ(std::fegetround(), mode);  // the host's mode is given back
        std::fesetround(FE_TONEAREST);
    }
#if defined(__SSE__) || defined(__x86_64__)
    const unsigned csr = _mm_getcsr();
    _mm_setcsr(csr | 0x8040u);  // flush-to-zero and denormals-are-zero
    EXPECT_EQ(ChangingScenarioHash(), expected);
    EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u);
    _mm_setcsr(csr);
#endif
#if defined(__GLIBC__)
    // With traps enabled, the NaNs the scene computes with must not raise a signal.
    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    const uint64_t trapped = ChangingScenarioHash();
    fedisableexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(trapped, expected);
#endif
}

}  // namespace
}  // namespace nimbrelle
