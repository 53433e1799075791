// The OBS source's parts that do not need OBS: the sample ring and the track's pacing.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "sample_ring.h"
#include "track.h"

namespace nimbrelle::obs {
namespace {

TEST(SampleRing, KeepsOrderAcrossTheWrapAndDropsWhatDoesNotFit)
{
    SampleRing ring(5);  // rounded up to 8 frames
    ASSERT_EQ(ring.Capacity(), 8u);
    std::vector<float> in(24), out(24);
    std::iota(in.begin(), in.end(), 1.0f);
    // Three rounds of 6 frames in, 6 out: the second and third wrap around the end.
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(ring.Write(in.data(), 6), 6u);
        EXPECT_EQ(ring.Read(out.data(), 8), 6u);
        EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 12), std::vector<float>(in.begin(), in.begin() + 12));
    }
    // Full: the newest frames that have no room are dropped and counted.
    EXPECT_EQ(ring.Write(in.data(), 6), 6u);
    EXPECT_EQ(ring.WriteSilence(5), 2u);
    EXPECT_EQ(ring.Dropped(), 3u);
    EXPECT_EQ(ring.Read(out.data(), 12), 8u);
    EXPECT_EQ(out[11], 12.0f);
    EXPECT_EQ(out[12], 0.0f);
    EXPECT_EQ(ring.Read(out.data(), 12), 0u);
}

constexpr int Rate = 48000;
constexpr int64_t PerFrame = 800;  // 48000 / 60
constexpr uint64_t FrameNs = 1'000'000'000 / 60;

TEST(Track, CountsVideoFramesFromTheFirstTime)
{
    Track track(Rate, {60, 1}, DefaultPacing(Rate));
    EXPECT_EQ(track.Due(5'000'000'000), 0);
    // OBS's frames come 16666666 ns apart, a little under 1/60 s.
    EXPECT_EQ(track.Due(5'000'000'000 + FrameNs), 1);
    EXPECT_EQ(track.Due(5'000'000'000 + 216000 * FrameNs), 216000);
    EXPECT_EQ(track.Due(5'000'000'000 + FrameNs / 2 - 1), 0);
    EXPECT_EQ(track.Due(4'000'000'000), 0);
    EXPECT_EQ(track.Due(5'000'000'000 + 3'600'000'000'000), 216000);
}

TEST(Track, AppendsSoundAsItComesAndSilenceOnlyForAStall)
{
    const Pacing pacing = DefaultPacing(Rate);  // lead 2400, stall 9600, ahead 24000
    Track track(Rate, {60, 1}, pacing);
    // Packets of 1024 while the clock moves on: all kept, nothing added.
    for (int64_t frame = 0; frame < 60; ++frame) {
        const Track::Step step = track.Take(frame, frame % 4 == 3 ? 0 : 1024);
        EXPECT_EQ(step.silence, 0);
        EXPECT_EQ(step.skip, 0u);
    }
    const int64_t length = track.Length();
    EXPECT_EQ(length, 45 * 1024);
    // Nothing comes: no silence until the track is a stall behind the clock...
    int64_t frame = 60;
    for (; track.FrameStart(frame) - length <= pacing.stall; ++frame) EXPECT_EQ(track.Take(frame, 0).silence, 0);
    // ...then it is filled to a lead before the clock, and with every frame after that.
    EXPECT_EQ(track.Take(frame, 0).silence, track.FrameStart(frame) - pacing.lead - length);
    EXPECT_TRUE(track.Stalled());
    EXPECT_EQ(track.Take(frame + 1, 0).silence, PerFrame);
    // Sound again: appended where the track is.
    const Track::Step resumed = track.Take(frame + 2, 1024);
    EXPECT_EQ(resumed.silence, 0);
    EXPECT_EQ(resumed.keep, 1024u);
    EXPECT_FALSE(track.Stalled());
    // A burst that would run the track more than `ahead` in front of the clock loses its oldest.
    const int64_t room = track.FrameStart(frame + 2) + pacing.ahead - track.Length();
    const Track::Step burst = track.Take(frame + 2, static_cast<std::size_t>(room + 500));
    EXPECT_EQ(burst.skip, 500u);
    EXPECT_EQ(track.Length(), track.FrameStart(frame + 2) + pacing.ahead);
}

TEST(Track, ANewFrameRateGoesOnFromTheNextFrame)
{
    Track track(Rate, {60, 1}, DefaultPacing(Rate));
    track.Due(0);
    EXPECT_EQ(track.FrameStart(10), 10 * PerFrame);
    track.ChangeFps({30, 1}, 10, 10 * FrameNs);
    EXPECT_EQ(track.FrameStart(10), 10 * PerFrame);
    EXPECT_EQ(track.FrameStart(11), 10 * PerFrame + 1600);
    EXPECT_EQ(track.Due(10 * FrameNs), 10);
    EXPECT_EQ(track.Due(10 * FrameNs + 1'000'000'000), 40);
}

}  // namespace
}  // namespace nimbrelle::obs
