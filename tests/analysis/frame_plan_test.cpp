// Frame cutting: integer sample positions that never drift from the sound, plans that cut a
// stretch of audio, and the selection of that stretch by a start and a duration.
#include <cmath>

#include <gtest/gtest.h>

#include "golden_signals.h"
#include "nimbrelle/analysis/frame_plan.h"

namespace nimbrelle::analysis {
namespace {

// Each frame covers floor or ceil of rate / fps samples, positions are exact, and after an
// hour the frames end exactly where the audio does.
void ExpectNoDrift(int rate, FrameRate fps, int64_t seconds)
{
    const int64_t total = seconds * rate;
    const int64_t frames = FrameCountFor(total, rate, fps);
    const double perFrame = static_cast<double>(rate) * static_cast<double>(fps.den) / static_cast<double>(fps.num);
    const auto shortest = static_cast<int64_t>(std::floor(perFrame));
    const auto longest = static_cast<int64_t>(std::ceil(perFrame));
    int64_t previous = 0;
    for (int64_t n = 1; n <= frames; ++n) {
        const int64_t start = FrameStartSample(n, rate, fps);
        const int64_t length = start - previous;
        ASSERT_TRUE(length == shortest || length == longest) << "frame " << n - 1 << " has " << length;
        previous = start;
    }
    // The last frame reaches the end of the audio; the one before does not.
    EXPECT_GE(FrameStartSample(frames, rate, fps), total);
    EXPECT_LT(FrameStartSample(frames - 1, rate, fps), total);
}

TEST(FrameTiming, NoDriftOverAnHour)
{
    ExpectNoDrift(44100, {60, 1}, 3600);
    ExpectNoDrift(48000, {30000, 1001}, 3600);
    ExpectNoDrift(44100, {2997, 125}, 3600);
    // Exact landmarks: an hour of 60 fps is 216000 frames at exactly 3600 s; 30000/1001 fps
    // meets a whole second every 30000 frames (1001 s).
    EXPECT_EQ(FrameCountFor(3600LL * 44100, 44100, {60, 1}), 216000);
    EXPECT_EQ(FrameStartSample(216000, 44100, {60, 1}), 3600LL * 44100);
    EXPECT_EQ(FrameStartSample(3 * 30000, 48000, {30000, 1001}), 3 * 1001LL * 48000);
    EXPECT_EQ(FrameStartSample(1, 44100, {30000, 1001}), 1471);  // 1471.47 floored
    EXPECT_EQ(FrameStartSample(2, 44100, {30000, 1001}), 2942);  // 2942.94: the remainder carried
    // Intermediate products beyond 2^63 still come out right.
    EXPECT_EQ(FrameStartSample(4'000'000'000'000LL, 192000, {30000, 1001}), 25'625'600'000'000'000LL);
}

TEST(FrameTiming, FrameAtSampleInvertsFrameStart)
{
    uint64_t rng = 99;
    const FrameRate rates[] = {{60, 1}, {30000, 1001}, {24, 1}, {2997, 100}, {1000, 1}, {1, 1}};
    for (const FrameRate fps : rates) {
        for (int rate : {8000, 44100, 48000, 96000}) {
            for (int i = 0; i < 2000; ++i) {
                const auto sample = static_cast<int64_t>(golden_random(&rng) % 1'000'000'000);
                const int64_t n = FrameAtSample(sample, rate, fps);
                ASSERT_LE(FrameStartSample(n, rate, fps), sample);
                ASSERT_GT(FrameStartSample(n + 1, rate, fps), sample) << fps.ToString() << " " << rate;
            }
            // Exactly on a frame start belongs to that frame, one sample earlier to the one before.
            const int64_t start = FrameStartSample(7, rate, fps);
            EXPECT_EQ(FrameAtSample(start, rate, fps), 7);
            EXPECT_EQ(FrameAtSample(start - 1, rate, fps), 6);
        }
    }
    EXPECT_EQ(FrameCountFor(0, 48000, {60, 1}), 0);
    EXPECT_EQ(FrameCountFor(1, 48000, {60, 1}), 1);
    EXPECT_EQ(FrameCountFor(800, 48000, {60, 1}), 1);
    EXPECT_EQ(FrameCountFor(801, 48000, {60, 1}), 2);
}

// At both ends of the sample rates front ends accept and at every frame rate up to MaxFps, each
// frame starts at a later sample and a later millisecond than the one before, and far on (at a
// media pipeline's last timestamp, 2^64 ns) frame indices and samples still convert exactly.
TEST(FrameTiming, EveryFrameHasATimeOfItsOwnAtTheEndsOfTheSampleRates)
{
    const FrameRate rates[] = {{MaxFps, 1}, {MaxFps * 1000 - 1, 1000}, {60, 1}, {30000, 1001}, {MinFps, 1}};
    for (const int rate : {MinSampleRate, MaxSampleRate}) {
        const int64_t last = 18'446'744'073LL * rate;  // 2^64 ns in samples
        for (const FrameRate fps : rates) {
            for (const int64_t from : {int64_t{0}, FrameAtSample(last, rate, fps) - 1000}) {
                for (int64_t n = from; n < from + 1000; ++n) {
                    const int64_t start = FrameStartSample(n, rate, fps);
                    const int64_t next = FrameStartSample(n + 1, rate, fps);
                    ASSERT_LT(start, next) << rate << " Hz, " << fps.ToString() << " fps, frame " << n;
                    ASSERT_EQ(FrameAtSample(start, rate, fps), n);
                    ASSERT_EQ(FrameCountFor(next, rate, fps), n + 1);
                    if (from == 0) {
                        ASSERT_LT(SampleToMilliseconds(start, rate), SampleToMilliseconds(next, rate))
                            << rate << " Hz, " << fps.ToString() << " fps, frame " << n;
                    }
                }
            }
        }
    }
}

TEST(FrameTiming, MillisecondsOfASample)
{
    EXPECT_EQ(SampleToMilliseconds(0, 44100), 0u);
    EXPECT_EQ(SampleToMilliseconds(44099, 44100), 999u);
    EXPECT_EQ(SampleToMilliseconds(44100, 44100), 1000u);
    EXPECT_EQ(SampleToMilliseconds(3600LL * 48000 + 48, 48000), 3'600'001u);
    EXPECT_EQ(SampleToMilliseconds(-5, 48000), 0u);
    // Past 49.7 days the 32-bit field saturates instead of wrapping.
    EXPECT_EQ(SampleToMilliseconds(60LL * 86400 * 48000, 48000), 0xFFFFFFFFu);
}

TEST(FramePlan, SelectionAndSnapshotPlans)
{
    using Status = SampleSelection::Status;
    // Two seconds in, half a second long, of ten seconds at 48 kHz.
    const SampleSelection middle = SelectSamples(480000, 48000, 2.0, 0.5);
    EXPECT_EQ(middle.status, Status::Ok);
    EXPECT_EQ(middle.first, 96000);
    EXPECT_EQ(middle.end, 120000);
    // No duration: to the end; a duration past the end stops there.
    EXPECT_EQ(SelectSamples(480000, 48000, 2.0, std::nullopt).end, 480000);
    EXPECT_EQ(SelectSamples(480000, 48000, 9.0, 5.0).end, 480000);
    // The start at the last sample is allowed, at the end is not; a duration must hold a sample.
    EXPECT_EQ(SelectSamples(480000, 48000, 479999.0 / 48000, std::nullopt).status, Status::Ok);
    EXPECT_EQ(SelectSamples(480000, 48000, 10.0, std::nullopt).status, Status::StartPastEnd);
    EXPECT_EQ(SelectSamples(480000, 48000, 0.0, 0.00001).status, Status::TooShort);
    EXPECT_EQ(SelectSamples(480000, 48000, 0.0, 0.00002).status, Status::Ok);

    // A snapshot's plan ends with the frame that holds its sample, for any rate and fps, even
    // when there are more frames per second than samples.
    uint64_t rng = 5;
    const FrameRate rates[] = {{60, 1}, {30000, 1001}, {1000, 1}, {1, 1}};
    for (const FrameRate fps : rates) {
        for (int rate : {500, 8000, 44100}) {
            for (int i = 0; i < 500; ++i) {
                const auto at = static_cast<int64_t>(golden_random(&rng) % 10'000'000);
                const FramePlan plan = PlanUpTo(at, rate, fps);
                ASSERT_EQ(plan.FrameCount(), FrameAtSample(at, rate, fps) + 1) << at << " " << rate << " " << fps.ToString();
            }
        }
    }
}

}  // namespace
}  // namespace nimbrelle::analysis
