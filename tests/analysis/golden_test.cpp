// The route's output pinned by golden hashes of generated signals (golden_signals.h), and the
// three shapes of the route (a feed over a source in any order, one call over a signal in
// memory, samples pushed as they come in chunks of any size) held to the same bytes.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "golden_signals.h"
#include "nimbrelle/analysis.h"

namespace nimbrelle::analysis {
namespace {

struct Rendered {
    std::vector<float> samples;
    FramePlan plan;
    std::vector<FrameData> records;  // frame order, through a FrameFeed
};

Rendered Render(const GoldenSignal& g)
{
    Rendered r;
    r.samples.resize(golden_sample_count(&g));
    golden_generate(&g, r.samples.data());
    r.plan = FramePlan{0, g.frames, g.rate, FrameRate{g.fps_num, g.fps_den}};
    MemorySource source(r.samples, g.rate, g.name, g.channels);
    FrameFeed feed(source, r.plan, g.gain);
    for (int64_t n = 0; n < r.plan.FrameCount(); ++n) r.records.push_back(feed.Frame(n));
    return r;
}

std::string Hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%016" PRIx64, value);
    return text;
}

bool Same(const FrameData& a, const FrameData& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(GoldenSignals, RecordsMatchTheirHashes)
{
    for (const GoldenSignal& g : golden_signals) {
        const Rendered r = Render(g);
        ASSERT_EQ(static_cast<int64_t>(r.records.size()), golden_frame_count(&g)) << g.name;
        uint64_t hash = GOLDEN_HASH_START;
        for (const FrameData& record : r.records) hash = golden_hash_record(hash, &record);
        EXPECT_EQ(Hex(hash), Hex(g.hash)) << g.name << ": the records changed";
    }
}

// What the hashes pin is what the signals are meant to be.
TEST(GoldenSignals, SignalsShowWhatTheyAreMadeOf)
{
    const Rendered tone = Render(golden_signals[0]);
    const FrameData& t = tone.records.back();
    // 1 kHz at 48 kHz is bin round(10.67) = 11, 440 Hz bin 5; half and quarter scale.
    EXPECT_EQ(std::max_element(t.blockB[0], t.blockB[0] + 256) - t.blockB[0], 11);
    EXPECT_EQ(std::max_element(t.blockB[1], t.blockB[1] + 256) - t.blockB[1], 5);
    EXPECT_NEAR(*std::max_element(t.blockA[0], t.blockA[0] + 512), 128, 1);
    EXPECT_NEAR(*std::max_element(t.blockA[1], t.blockA[1] + 512), 64, 1);
    EXPECT_EQ(tone.records[1].leading, 16u);

    const FrameData noise = Render(golden_signals[1]).records.back();
    // White noise: every band well above the floor, none standing out like a tone.
    EXPECT_GT(*std::min_element(noise.blockB[0] + 1, noise.blockB[0] + 256), 60);
    EXPECT_LT(*std::max_element(noise.blockB[0] + 1, noise.blockB[0] + 256), 200);

    const Rendered silence = Render(golden_signals[2]);
    for (const FrameData& s : silence.records) {
        EXPECT_EQ(*std::max_element(s.blockA[0], s.blockA[0] + 1024), 0);
        EXPECT_EQ(*std::max_element(s.blockB[0], s.blockB[0] + 512), 0);
    }

    const FrameData clipped = Render(golden_signals[3]).records.back();
    EXPECT_EQ(std::count(clipped.blockA[0], clipped.blockA[0] + 512, 255), std::count(clipped.blockA[1], clipped.blockA[1] + 512, 255));
    EXPECT_GT(std::count(clipped.blockA[0], clipped.blockA[0] + 512, 255), 300) << "mono feeds both sides, saturated";
}

TEST(GoldenSignals, EveryShapeOfTheRouteGivesTheSameBytes)
{
    uint64_t seed = 0x5EED;
    for (const GoldenSignal& g : golden_signals) {
        const Rendered r = Render(g);
        const int64_t frames = r.plan.FrameCount();
        Analyser analyser(g.gain);
        FrameData record{};

        // One call per frame over the signal in memory.
        for (int64_t n = 0; n < frames; ++n) {
            AnalyseFrame(analyser, r.samples, g.channels, g.rate, r.plan.fps, n, record);
            ASSERT_TRUE(Same(record, r.records[static_cast<std::size_t>(n)])) << g.name << " frame " << n;
        }

        // Samples pushed as a capture device or a pipeline delivers them, in chunks of 1 to
        // 3000 frames, a record taken whenever a frame starts.
        const uint64_t pushSeed = seed;
        SampleHistory history;
        const auto stride = static_cast<std::size_t>(g.channels);
        int64_t pushed = 0;
        for (int64_t n = 0; n < frames; ++n) {
            const int64_t start = r.plan.FrameStart(n);
            while (pushed < start) {
                const int64_t chunk = std::min<int64_t>(start - pushed, 1 + static_cast<int64_t>(golden_random(&seed) % 3000));
                history.Push(r.samples.data() + static_cast<std::size_t>(pushed) * stride, static_cast<std::size_t>(chunk), g.channels);
                pushed += chunk;
            }
            analyser.Analyse(history, r.plan.Milliseconds(n), record);
            ASSERT_TRUE(Same(record, r.records[static_cast<std::size_t>(n)]))
                << g.name << " frame " << n << " (chunk seed " << Hex(pushSeed) << ")";
        }

        // A feed asked for frames in any order: seeks back, leaps ahead, repeats.
        const uint64_t orderSeed = seed;
        MemorySource source(r.samples, g.rate, g.name, g.channels);
        FrameFeed feed(source, r.plan, g.gain);
        for (int i = 0; i < 200; ++i) {
            const auto n = static_cast<int64_t>(golden_random(&seed) % static_cast<uint64_t>(frames));
            ASSERT_TRUE(Same(feed.Frame(n), r.records[static_cast<std::size_t>(n)]))
                << g.name << " frame " << n << " (order seed " << Hex(orderSeed) << ")";
        }
    }
}

TEST(GoldenSignals, PastTheEndIsSilence)
{
    // A frame whose window runs past the end of the samples reads silence there, in every shape.
    const GoldenSignal& g = golden_signals[0];
    const Rendered r = Render(g);
    const FramePlan longer{0, g.frames + 2000, g.rate, r.plan.fps};
    MemorySource source(r.samples, g.rate, g.name, g.channels);
    FrameFeed feed(source, longer, g.gain);
    Analyser analyser(g.gain);
    FrameData record{};
    for (int64_t n = r.plan.FrameCount() - 1; n < longer.FrameCount(); ++n) {
        AnalyseFrame(analyser, r.samples, g.channels, g.rate, longer.fps, n, record);
        ASSERT_TRUE(Same(record, feed.Frame(n))) << n;
    }
    EXPECT_EQ(*std::max_element(record.blockA[0], record.blockA[0] + 1024), 0) << "the last frame hears nothing";
}

}  // namespace
}  // namespace nimbrelle::analysis
