// The VLC plug-in's sample queue: frames cut where the shared timing puts them with exactly the
// samples before them, presentation times from the blocks' timestamps, restarts, a backlog past
// the ring, and waking the drawing thread.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "audio_queue.h"

namespace nimbrelle::vlc {
namespace {

using analysis::FrameRate;
using analysis::FrameStartSample;
using analysis::SampleHistory;
using analysis::WindowSize;

// `frames` frames of `channels` channels, different everywhere, with a few values the
// analysis must never see as they are (NaN, beyond full scale).
std::vector<float> Signal(int64_t frames, int channels)
{
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(0.001f * static_cast<float>(i * i % 100003));
    samples[samples.size() / 3] = std::numeric_limits<float>::quiet_NaN();
    samples[samples.size() / 2] = 3.0f;
    samples[samples.size() / 2 + 1] = -7.0f;
    return samples;
}

// The stereo sample frame `i` of `signal` as the queue should keep it: cleaned, then mixed.
analysis::StereoSample Expected(const std::vector<float>& signal, int channels, int64_t i)
{
    std::vector<float> frame(signal.begin() + i * channels, signal.begin() + (i + 1) * channels);
    analysis::CleanSamples(frame.data(), frame.size());
    return analysis::MixFrame(frame.data(), channels);
}

void ExpectHistoryBefore(const SampleHistory& history, const std::vector<float>& signal, int channels, int64_t start,
                         int64_t silentBefore, const std::string& what)
{
    for (int k = 0; k < WindowSize; ++k) {
        const int64_t i = start - WindowSize + k;
        const analysis::StereoSample s = i < silentBefore ? analysis::StereoSample{} : Expected(signal, channels, i);
        ASSERT_EQ(history.Left()[static_cast<std::size_t>(k)], s.left) << what << " sample " << i;
        ASSERT_EQ(history.Right()[static_cast<std::size_t>(k)], s.right) << what << " sample " << i;
    }
}

TEST(AudioQueue, FramesStartWhereTheSharedTimingPutsThemWithTheSamplesBeforeThem)
{
    struct Case {
        int rate, channels;
        FrameRate fps;
    };
    for (const Case& c : {Case{48000, 2, {60, 1}}, Case{44100, 1, {30000, 1001}}, Case{8000, 6, {1000, 1}}}) {
        const int64_t total = c.rate * 3 / 2;
        const std::vector<float> signal = Signal(total, c.channels);
        AudioQueue queue(c.rate, c.channels, c.fps, static_cast<std::size_t>(total));
        // Blocks of uneven sizes, one of them larger than a cleaning chunk.
        const int64_t sizes[] = {1, 37, 800, 2500, 441, 9};
        int64_t at = 0;
        for (std::size_t b = 0; at < total; ++b) {
            const int64_t count = std::min(sizes[b % 6], total - at);
            queue.Push(signal.data() + at * c.channels, static_cast<std::size_t>(count), 1000 + at);
            at += count;
        }
        SampleHistory history;
        FrameJob job;
        const int64_t frames = analysis::FrameCountFor(total, c.rate, c.fps);
        for (int64_t n = 0; n < frames; ++n) {
            ASSERT_TRUE(queue.Next(history, job));
            ASSERT_EQ(job.index, n);
            ASSERT_EQ(job.start, FrameStartSample(n, c.rate, c.fps));
            ASSERT_EQ(job.milliseconds, analysis::SampleToMilliseconds(job.start, c.rate));
            ExpectHistoryBefore(history, signal, c.channels, job.start, 0, "frame " + std::to_string(n));
        }
        EXPECT_EQ(queue.Skipped(), 0);
        queue.Stop();
        EXPECT_FALSE(queue.Next(history, job));
    }
}

TEST(AudioQueue, FrameTimesFollowTheBlocksTimestamps)
{
    const int rate = 48000;
    AudioQueue queue(rate, 1, {60, 1}, 96000);
    const std::vector<float> block(4800, 0.25f);
    // Three blocks of 0.1 s from 5 s on, the third 1 ms late (within the tolerance, so the run
    // goes on), then one after a half-second pause, then one 0.2 s early.
    const Micros starts[] = {5'000'000, 5'100'000, 5'201'000, 5'800'000, 5'700'000};
    for (Micros pts : starts) queue.Push(block.data(), block.size(), pts);
    SampleHistory history;
    FrameJob job;
    for (int64_t n = 0; n < analysis::FrameCountFor(5 * 4800, rate, {60, 1}); ++n) {
        ASSERT_TRUE(queue.Next(history, job));
        const int64_t run = job.start < 3 * 4800 ? 0 : job.start / 4800;
        const Micros runStart = run == 0 ? starts[0] : starts[run];
        ASSERT_EQ(job.date, runStart + (job.start - run * 4800) * 1'000'000 / rate) << "frame " << n;
    }
}

TEST(AudioQueue, FlushStartsTheStreamAndItsFramesAfresh)
{
    const int rate = 8000;
    const std::vector<float> signal = Signal(4000, 2);
    AudioQueue queue(rate, 2, {10, 1}, 8000);
    queue.Push(signal.data(), 2000, 0);
    SampleHistory history;
    FrameJob job;
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(queue.Next(history, job));
    queue.Flush();
    // After a seek: the stream starts again at the next block, silent before it.
    queue.Push(signal.data() + 2 * 2000, 2000, 9'000'000);
    for (int64_t n = 0; n < 3; ++n) {
        ASSERT_TRUE(queue.Next(history, job));
        EXPECT_EQ(job.index, n);
        EXPECT_EQ(job.start, n * 800);
        EXPECT_EQ(job.date, 9'000'000 + n * 100'000);
        const std::vector<float> after(signal.begin() + 2 * 2000, signal.end());
        ExpectHistoryBefore(history, after, 2, job.start, 0, "after the flush, frame " + std::to_string(n));
    }
}

TEST(AudioQueue, ABacklogPastTheRingSkipsTheFramesOfTheSamplesDiscarded)
{
    const int rate = 8000;
    const std::vector<float> signal = Signal(9000, 1);
    AudioQueue queue(rate, 1, {10, 1}, 2000);
    SampleHistory history;
    FrameJob job;
    // Nothing taken while 5000 samples come: samples 0-2999 are discarded, frames 0-3 with them.
    queue.Push(signal.data(), 5000, 0);
    ASSERT_TRUE(queue.Next(history, job));
    EXPECT_EQ(job.index, 4);
    EXPECT_EQ(job.start, 3200);
    EXPECT_EQ(queue.Skipped(), 4);
    ExpectHistoryBefore(history, signal, 1, job.start, 3000, "after the gap");
    // One block larger than the whole ring keeps its newest samples.
    queue.Push(signal.data() + 5000, 4000, 625'000);
    ASSERT_TRUE(queue.Next(history, job));
    EXPECT_EQ(job.index, 9);
    EXPECT_EQ(job.start, 7200);
    EXPECT_EQ(job.date, 625'000 + Micros{2200} * 1'000'000 / rate);
    EXPECT_EQ(queue.Skipped(), 8);
    ExpectHistoryBefore(history, signal, 1, job.start, 7000, "after the large block");
}

TEST(AudioQueue, TheDrawingThreadWaitsForSamplesAndStopsWhenAsked)
{
    AudioQueue queue(8000, 1, {10, 1}, 8000);
    const std::vector<float> block(800, 0.5f);
    // Nobody draws yet: the end of the stream is not reached.
    queue.Push(block.data(), block.size(), 0);
    EXPECT_FALSE(queue.WaitUntilDrawn(std::chrono::milliseconds(1)));

    int drawn = 0;
    std::thread drawer([&] {
        SampleHistory history;
        FrameJob job;
        while (queue.Next(history, job)) ++drawn;
    });
    // Frames 0-9 start inside the samples pushed; the drawer then waits for more.
    for (int i = 0; i < 9; ++i) queue.Push(block.data(), block.size(), Micros{i + 1} * 100'000);
    EXPECT_TRUE(queue.WaitUntilDrawn(std::chrono::seconds(60)));
    EXPECT_EQ(drawn, 10);
    queue.Stop();
    drawer.join();
    EXPECT_FALSE(queue.WaitUntilDrawn(std::chrono::seconds(60)));
}

}  // namespace
}  // namespace nimbrelle::vlc
