// The samples-to-FrameData mapping: what a module sees for silence, tones, known levels and gain.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include <gtest/gtest.h>

#include "golden_signals.h"
#include "nimbrelle/analysis/analyser.h"

namespace nimbrelle::analysis {
namespace {

// Uniform in [0, n) from the seeded generator the golden signals use.
uint64_t Below(uint64_t& state, uint64_t n)
{
    return golden_random(&state) % n;
}

using Window = std::array<float, WindowSize>;

Window SineWindow(double bin, double amplitude, double phase = 0.0)
{
    Window w{};
    for (int i = 0; i < WindowSize; ++i) {
        w[static_cast<std::size_t>(i)] =
            static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * bin * i / WindowSize + phase));
    }
    return w;
}

FrameData Analyse(const Window& left, const Window& right, float gain = 1.0f, uint32_t ms = 0)
{
    Analyser analyser(gain);
    FrameData frame{};
    std::memset(&frame, 0xAB, sizeof frame);  // every byte must be written
    analyser.Analyse(left, right, ms, frame);
    return frame;
}

int PeakBin(const uint8_t (&spectrum)[256])
{
    return static_cast<int>(std::max_element(spectrum, spectrum + 256) - spectrum);
}

TEST(Analysis, SilenceGivesAllZerosAndCarriesTheTime)
{
    const Window silence{};
    const FrameData frame = Analyse(silence, silence, 1.0f, 123456);
    EXPECT_EQ(frame.leading, 123456u);
    for (int c = 0; c < 2; ++c) {
        for (int k = 0; k < 512; ++k) ASSERT_EQ(frame.blockA[c][k], 0) << c << " " << k;
        for (int k = 0; k < 256; ++k) ASSERT_EQ(frame.blockB[c][k], 0) << c << " " << k;
    }
    // Noise far below the floor (16-bit dither) also reads as silence in the spectrum.
    uint64_t rng = 7;
    Window dither{};
    for (float& s : dither) s = static_cast<float>((static_cast<double>(Below(rng, 3)) - 1.0) / 65536.0);
    const FrameData quiet = Analyse(dither, silence);
    EXPECT_EQ(*std::max_element(quiet.blockB[0], quiet.blockB[0] + 256), 0);
}

TEST(Analysis, ToneLandsInTheBinItsFrequencyNames)
{
    for (int bin : {1, 2, 3, 7, 64, 100, 200, 255}) {
        const FrameData centred = Analyse(SineWindow(bin, 0.5), Window{});
        EXPECT_EQ(PeakBin(centred.blockB[0]), bin);
        // Half scale is -6.02 dB: round(83.98 / 90 * 255) = 238.
        EXPECT_NEAR(centred.blockB[0][bin], 238, 1) << bin;
        EXPECT_EQ(*std::max_element(centred.blockB[1], centred.blockB[1] + 256), 0) << "other channel";
        // Off-centre tones go to the nearest bin: round(f * 512 / rate).
        const FrameData above = Analyse(SineWindow(bin + 0.3, 0.5, 0.4), Window{});
        EXPECT_EQ(PeakBin(above.blockB[0]), bin) << bin;
        if (bin > 1) {
            const FrameData below = Analyse(SineWindow(bin - 0.4, 0.5, 1.1), Window{});
            EXPECT_EQ(PeakBin(below.blockB[0]), bin) << bin;
        }
    }
    // The right channel is analysed on its own.
    const FrameData right = Analyse(Window{}, SineWindow(40, 0.5));
    EXPECT_EQ(PeakBin(right.blockB[1]), 40);
    EXPECT_EQ(*std::max_element(right.blockB[0], right.blockB[0] + 256), 0);
}

TEST(Analysis, SpectrumLevelsFollowTheDecibelScale)
{
    // A full-scale sine reads 255, between bins at least 251 (the Hann window's scalloping).
    EXPECT_EQ(Analyse(SineWindow(20, 1.0), Window{}).blockB[0][20], 255);
    EXPECT_GE(Analyse(SineWindow(20.5, 1.0), Window{}).blockB[0][20], 251);
    // -30 dBFS reads 170, -60 dBFS 85: 8.5 levels per 3 dB.
    EXPECT_NEAR(Analyse(SineWindow(20, std::pow(10.0, -30.0 / 20)), Window{}).blockB[0][20], 170, 1);
    EXPECT_NEAR(Analyse(SineWindow(20, std::pow(10.0, -60.0 / 20)), Window{}).blockB[0][20], 85, 1);

    EXPECT_EQ(SpectrumLevel(0.0), 255);
    EXPECT_EQ(SpectrumLevel(12.0), 255);
    EXPECT_EQ(SpectrumLevel(-45.0), 128);  // 127.5 rounds up
    EXPECT_EQ(SpectrumLevel(SpectrumFloorDb), 0);
    EXPECT_EQ(SpectrumLevel(-HUGE_VAL), 0);
    EXPECT_EQ(SpectrumLevel(HUGE_VAL), 255);
    EXPECT_EQ(SpectrumLevel(std::nan("")), 0);
}

TEST(Analysis, WaveformIsTheMagnitudeOfEachSampleOldestFirst)
{
    Window w{};
    for (int i = 0; i < WindowSize; ++i) w[static_cast<std::size_t>(i)] = (i % 2 == 0 ? 1.0f : -1.0f) * static_cast<float>(i) / 511.0f;
    const FrameData frame = Analyse(w, Window{});
    for (int i = 0; i < WindowSize; ++i) {
        ASSERT_EQ(frame.blockA[0][i], static_cast<int>(std::lround(i / 511.0 * 255.0))) << i;
    }
    EXPECT_EQ(WaveformLevel(0.5f), 128);
    EXPECT_EQ(WaveformLevel(-0.5f), 128);
    EXPECT_EQ(WaveformLevel(1.0f), 255);
    EXPECT_EQ(WaveformLevel(-7.0f), 255);
    EXPECT_EQ(WaveformLevel(1e-4f), 0);
    EXPECT_EQ(WaveformLevel(std::nanf("")), 0);
    EXPECT_EQ(WaveformLevel(HUGE_VALF), 255);
}

TEST(Analysis, GainScalesSamplesBeforeBothMeasures)
{
    const Window quarter = SineWindow(10, 0.25), half = SineWindow(10, 0.5);
    const FrameData boosted = Analyse(quarter, quarter, 2.0f);
    const FrameData plain = Analyse(half, half, 1.0f);
    EXPECT_EQ(0, std::memcmp(&boosted, &plain, sizeof plain));
    // Gain 0 is silence; a huge gain saturates instead of wrapping.
    const FrameData muted = Analyse(half, half, 0.0f);
    EXPECT_EQ(*std::max_element(muted.blockA[0], muted.blockA[0] + 512), 0);
    EXPECT_EQ(*std::max_element(muted.blockB[0], muted.blockB[0] + 256), 0);
    const FrameData loud = Analyse(half, half, 1000.0f);
    EXPECT_EQ(*std::max_element(loud.blockA[0], loud.blockA[0] + 512), 255);
    EXPECT_EQ(loud.blockB[0][10], 255);
    // Non-finite samples are treated as silence rather than poisoning the spectrum.
    Window broken = half;
    broken[100] = std::nanf("");
    broken[200] = HUGE_VALF;
    const FrameData repaired = Analyse(broken, Window{});
    EXPECT_EQ(repaired.blockA[0][100], 0);
    EXPECT_EQ(PeakBin(repaired.blockB[0]), 10);
}

TEST(Analysis, BassDrivesTheLowBinsTheModuleReads)
{
    // 94 Hz at 48 kHz is bin 1; a loud bass note must light up bins 0-3 but not the treble.
    constexpr int Rate = 48000;
    Window bass{};
    for (int i = 0; i < WindowSize; ++i) {
        bass[static_cast<std::size_t>(i)] = static_cast<float>(0.8 * std::sin(2.0 * std::numbers::pi * 94.0 * i / Rate));
    }
    const FrameData frame = Analyse(bass, bass);
    EXPECT_GT(frame.blockB[0][1], 240);
    EXPECT_GT(frame.blockB[0][2], 150);
    EXPECT_LT(frame.blockB[0][40], 60);
}

// ---------------------------------------------------------------- SourceHistory

TEST(SourceHistory, WindowEndsJustBeforeThePositionAcrossReadBlocks)
{
    // Sample i of the source holds i (left) and -i (right), so every window is checkable.
    constexpr int64_t Length = 20000;
    std::vector<float> samples;
    for (int64_t i = 0; i < Length; ++i) {
        samples.push_back(static_cast<float>(i));
        samples.push_back(-static_cast<float>(i));
    }
    MemorySource source(samples, 48000, "ramp");
    SourceHistory history(source, 100);
    // Before sample 0 the window holds silence.
    EXPECT_EQ(history.Left()[WindowSize - 1], 99.0f);
    EXPECT_EQ(history.Left()[WindowSize - 100], 0.0f);
    EXPECT_EQ(history.Left()[0], 0.0f);

    uint64_t rng = 42;
    int64_t position = 100;
    while (position < Length + 3000) {
        position += static_cast<int64_t>(Below(rng, 6000));  // steps below and above the block size
        history.AdvanceTo(position);
        for (int k = 0; k < WindowSize; ++k) {
            const int64_t index = position - WindowSize + k;
            const float expected = index < Length ? static_cast<float>(index) : 0.0f;  // silence past the end
            ASSERT_EQ(history.Left()[static_cast<std::size_t>(k)], expected) << position << " " << k;
            ASSERT_EQ(history.Right()[static_cast<std::size_t>(k)], -expected) << position << " " << k;
        }
    }
    // Starting mid-stream reads the history before the start from the source.
    SourceHistory late(source, 5000);
    EXPECT_EQ(late.Left()[0], 4488.0f);
    EXPECT_EQ(late.Left()[WindowSize - 1], 4999.0f);
}

}  // namespace
}  // namespace nimbrelle::analysis
