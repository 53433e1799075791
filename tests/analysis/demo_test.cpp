// The built-in demo piece: its sections drive the module as the host's default input should.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "nimbrelle/analysis.h"

namespace nimbrelle::analysis {
namespace {

TEST(DemoSignal, HasQuietAndLoudPassagesThatDriveTheModule)
{
    const std::vector<float> demo = SynthesiseDemo(DemoSampleRate);
    ASSERT_EQ(demo.size(), static_cast<std::size_t>(DemoSeconds * DemoSampleRate) * 2);
    float peak = 0.0f;
    for (float s : demo) peak = std::max(peak, std::fabs(s));
    EXPECT_LT(peak, 1.0f);
    EXPECT_GT(peak, 0.7f);

    // Per section: the mean of blockB[0][2] (the burst), the share of frames launching the
    // fountain (a launch level above 23) and the mean low-bin energy.
    MemorySource source(demo, DemoSampleRate, "demo");
    analysis::SourceHistory history(source, 0);
    analysis::Analyser analyser;
    FrameData frame{};
    struct Stats {
        double burst = 0, launching = 0, energy = 0;
        int frames = 0;
    } quiet, loud;
    const FrameRate fps{60, 1};
    for (int64_t n = 0; n < FrameCountFor(source.Length(), DemoSampleRate, fps); ++n) {
        const int64_t sample = FrameStartSample(n, DemoSampleRate, fps);
        history.AdvanceTo(sample);
        analyser.Analyse(history.Left(), history.Right(), 0, frame);
        const double t = static_cast<double>(sample) / DemoSampleRate;
        Stats* s = t < 4.0 ? &quiet : (t >= 16.5 && t < 28.0) ? &loud : nullptr;
        if (s == nullptr) continue;
        int launches = 0;
        for (int k = 0; k < 20; ++k) launches += frame.blockA[0][512 * k / 20] > 23 ? 1 : 0;
        double energy = 0;
        for (int i = 0; i < 8; ++i) energy += frame.blockB[i % 2][i / 2] * frame.blockA[i % 2][i / 2];
        s->burst += frame.blockB[0][2];
        s->launching += launches > 0 ? 1 : 0;
        s->energy += energy;
        ++s->frames;
    }
    EXPECT_GT(loud.burst / loud.frames, quiet.burst / quiet.frames + 25);
    EXPECT_GT(loud.launching / loud.frames, 0.5);
    EXPECT_LT(quiet.launching / quiet.frames, 0.05);
    EXPECT_GT(loud.energy / loud.frames, 10 * quiet.energy / quiet.frames);

    // It ends in silence.
    for (std::size_t i = demo.size() - 200; i < demo.size(); ++i) ASSERT_LT(std::fabs(demo[i]), 0.01f);
}

}  // namespace
}  // namespace nimbrelle::analysis
