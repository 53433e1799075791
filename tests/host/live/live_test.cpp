// Live capture: choosing the device, handing samples from the capture thread to the frames,
// keeping the recorded sound in step with the frames, and `nimbrelle live` end to end against
// a private PulseAudio daemon with a null sink, started and stopped here.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "live/capture.h"
#include "live/devices.h"
#include "live/live_window.h"
#include "base/error.h"
#include "support/host_support.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Contains;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;

// ---------------------------------------------------------------- choosing the device

TEST(LiveDevices, ARequestNamesOneDeviceExactlyOrByAUniquePart)
{
    const std::vector<std::string> devices = {"Monitor of Speakers", "Monitor of Speakers 2", "USB Microphone",
                                              "Built-in Microphone"};
    EXPECT_EQ(ChooseDevice(devices, "Monitor of Speakers"), "Monitor of Speakers") << "exact beats a longer match";
    EXPECT_EQ(ChooseDevice(devices, "usb"), "USB Microphone") << "a part, in any case";
    EXPECT_EQ(ChooseDevice(devices, "Speakers 2"), "Monitor of Speakers 2");
    const auto fails = [&](const std::vector<std::string>& list, const std::string& request, const std::string& says) {
        try {
            ChooseDevice(list, request);
            ADD_FAILURE() << request << " was accepted";
        } catch (const Error& e) {
            EXPECT_TRUE(Contains(e.what(), says)) << e.what();
        }
    };
    fails(devices, "Microphone", "ambiguous: it could be 'USB Microphone', 'Built-in Microphone'");
    fails(devices, "Headset", "no capture device is called 'Headset'; there are 'Monitor of Speakers', ");
    fails({}, "Headset", "there is no capture device");
    fails(devices, "", "--device needs a capture device's name");
    fails({"USB Microphone"}, "", "--device needs a capture device's name");  // not the only one there is

    // A whole name wins over a longer one that begins with it, in any case; a part does not.
    const std::vector<std::string> prefixed = {"AlphaOut2", "AlphaOut", "Monitor of AlphaOut"};
    EXPECT_EQ(ChooseDevice(prefixed, "AlphaOut"), "AlphaOut");
    EXPECT_EQ(ChooseDevice(prefixed, "alphaout"), "AlphaOut");
    EXPECT_EQ(ChooseDevice(prefixed, "ALPHAOUT2"), "AlphaOut2");
    fails(prefixed, "alpha", "ambiguous");
    fails({"Mic", "MIC"}, "mic", "ambiguous: it could be 'Mic', 'MIC'");

    // Case folds beyond ASCII.
    const std::vector<std::string> accented = {"Monitor of Écouteurs", "Monitor of Ηχεία", "Monitor of HDMI"};
    EXPECT_EQ(ChooseDevice(accented, "écouteurs"), "Monitor of Écouteurs");
    EXPECT_EQ(ChooseDevice(accented, "MONITOR OF ÉCOUTEURS"), "Monitor of Écouteurs");
    EXPECT_EQ(ChooseDevice(accented, "ΗΧΕΊΑ"), "Monitor of Ηχεία");
}

TEST(LiveDevices, TheDefaultOutputsMonitorIsFoundByName)
{
    const std::vector<std::string> devices = {"USB Microphone", "Monitor of HDMI", "Monitor of Speakers"};
    EXPECT_EQ(MonitorOf(devices, std::string("Speakers")), "Monitor of Speakers");
    EXPECT_EQ(MonitorOf(devices, std::string("Headphones")), std::nullopt) << "never some other device";
    EXPECT_EQ(MonitorOf(devices, std::nullopt), std::nullopt) << "two monitors and no default output";
    EXPECT_EQ(MonitorOf({"USB Microphone", "Monitor of HDMI"}, std::nullopt), "Monitor of HDMI");
    EXPECT_EQ(MonitorOf({"USB Microphone"}, std::nullopt), std::nullopt) << "a microphone is not a monitor";
    EXPECT_TRUE(IsMonitor("Monitor of HDMI"));
    EXPECT_FALSE(IsMonitor("USB Microphone"));
}

TEST(LiveWindowRate, AWindowAskedForMoreFramesThanTheDisplayShowsSaysSo)
{
    EXPECT_EQ(WindowRateWarning({1000, 1}, 60), "--fps 1000 is more than the display's 60 Hz: the window shows at "
                                                 "most 60 frames a second and skips the rest (a recording repeats "
                                                 "the frame on show instead)");
    EXPECT_TRUE(WindowRateWarning({75, 1}, 60));
    EXPECT_TRUE(WindowRateWarning({121, 1}, 60)) << "not a multiple that fits";
    EXPECT_FALSE(WindowRateWarning({60, 1}, 60));
    EXPECT_FALSE(WindowRateWarning({60, 1}, 59)) << "a 59.94 Hz display reported as 59";
    EXPECT_FALSE(WindowRateWarning({30000, 1001}, 30));
    EXPECT_FALSE(WindowRateWarning({144, 1}, 144));
    EXPECT_FALSE(WindowRateWarning({1000, 1}, 0)) << "an unknown refresh rate warns of nothing";
}

// ---------------------------------------------------------------- from the capture thread

// Stereo frames numbered from `first`: left = n, right = -n.
std::vector<float> Numbered(int first, int count)
{
    std::vector<float> v;
    for (int n = first; n < first + count; ++n) {
        v.push_back(static_cast<float>(n));
        v.push_back(static_cast<float>(-n));
    }
    return v;
}

TEST(LiveCapture, TheQueueHandsOverInOrderAndDropsTheOldestWhenFull)
{
    CaptureQueue queue(1000);
    std::vector<float> out;
    const auto t0 = Clock::now();
    const CaptureQueue::Taken none = queue.Take(out);
    EXPECT_EQ(none.frames, 0u);
    EXPECT_FALSE(none.arrived) << "nothing has arrived yet";

    // Across the ring's end, several times.
    int next = 0;
    for (int round = 0; round < 7; ++round) {
        queue.Push(Numbered(next, 300).data(), 300, t0 + round * 1ms);
        queue.Push(Numbered(next + 300, 400).data(), 400, t0 + round * 1ms + 500us);
        const CaptureQueue::Taken taken = queue.Take(out);
        ASSERT_EQ(taken.frames, 700u);
        EXPECT_EQ(taken.dropped, 0u);
        EXPECT_EQ(taken.arrived, t0 + round * 1ms + 500us) << "the newest arrival";
        for (int i = 0; i < 700; ++i) {
            ASSERT_EQ(out[static_cast<std::size_t>(2 * i)], static_cast<float>(next + i));
            ASSERT_EQ(out[static_cast<std::size_t>(2 * i + 1)], static_cast<float>(-(next + i)));
        }
        next += 700;
    }

    // A reader that falls behind loses the oldest samples, never the newest.
    queue.Push(Numbered(0, 800).data(), 800, t0);
    queue.Push(Numbered(800, 700).data(), 700, t0);
    CaptureQueue::Taken taken = queue.Take(out);
    EXPECT_EQ(taken.frames, 1000u);
    EXPECT_EQ(taken.dropped, 500u);
    EXPECT_EQ(out[0], 500.0f);
    EXPECT_EQ(out[2 * 999], 1499.0f);
    queue.Push(Numbered(0, 2500).data(), 2500, t0);  // more than it holds at once
    taken = queue.Take(out);
    EXPECT_EQ(taken.dropped, 1500u);
    EXPECT_EQ(out[0], 1500.0f);
}

TEST(LiveCapture, TheDrawingThreadTakesPartOfTheQueueAndTheRestWaits)
{
    CaptureQueue queue(1000);
    std::vector<float> out;
    queue.Push(Numbered(0, 900).data(), 900, Clock::now());
    queue.Take(out, [](std::size_t) { return CaptureQueue::Portion{0, 700}; });  // the ring's end comes sooner
    queue.Push(Numbered(900, 600).data(), 600, Clock::now());
    std::size_t seen = 0;
    CaptureQueue::Taken taken = queue.Take(out, [&](std::size_t queued) {
        seen = queued;
        return CaptureQueue::Portion{100, 300};
    });
    EXPECT_EQ(seen, 800u);
    ASSERT_EQ(taken.frames, 300u);
    EXPECT_EQ(out[0], 800.0f) << "the oldest 100 dropped";
    EXPECT_EQ(out[2 * 299 + 1], -1099.0f);
    taken = queue.Take(out, [](std::size_t queued) { return CaptureQueue::Portion{0, queued + 50}; });
    ASSERT_EQ(taken.frames, 400u) << "never more than is queued";
    EXPECT_EQ(out[0], 1100.0f);
    EXPECT_EQ(out[2 * 399], 1499.0f);
}

TEST(LiveCapture, SamplesCrossThreadsWholeAndInOrder)
{
    constexpr int Blocks = 400, Block = 256;
    CaptureQueue queue(Blocks * Block);  // room for everything: nothing may be lost
    std::thread capture([&] {
        for (int b = 0; b < Blocks; ++b) {
            queue.Push(Numbered(b * Block, Block).data(), Block, Clock::now());
            if (b % 16 == 0) std::this_thread::sleep_for(100us);
        }
    });
    std::vector<float> out;
    int expected = 0;
    std::size_t dropped = 0;
    bool inOrder = true;
    while (expected < Blocks * Block && inOrder) {
        const CaptureQueue::Taken taken = queue.Take(out);
        dropped += taken.dropped;
        for (std::size_t i = 0; i < taken.frames && inOrder; ++i) {
            inOrder = out[2 * i] == static_cast<float>(expected) && out[2 * i + 1] == static_cast<float>(-expected);
            ++expected;
        }
    }
    capture.join();
    EXPECT_TRUE(inOrder) << "sample " << expected - 1;
    EXPECT_EQ(dropped, 0u);
}

// ---------------------------------------------------------------- the session's sound

TEST(LiveSound, SteadyDeliveryKeepsEverySample)
{
    // 48 kHz in blocks of 512 against frames at 60 fps: nothing skipped, no silence added, and
    // the track never runs past its frame's start nor falls further behind than the lead.
    constexpr int Rate = 48000;
    LiveTrack track(Rate, {60, 1}, 1024, 4800, Rate / 4);
    int64_t delivered = 0;
    for (int64_t frame = 1; frame < 600; ++frame) {
        const int64_t start = FrameStartSample(frame, Rate, {60, 1});
        std::size_t captured = 0;
        while (delivered + 512 <= start) {  // the blocks complete by the frame's moment
            delivered += 512;
            captured += 512;
        }
        const LiveTrack::Step step = track.Advance(frame, captured);
        ASSERT_EQ(step.skip, 0u) << frame;
        ASSERT_EQ(step.keep, captured);
        ASSERT_LE(track.Length(), start);
        if (frame > 10) {
            ASSERT_EQ(step.silence, 0) << frame;
        }
    }
    EXPECT_EQ(track.Skipped(), 0);
}

TEST(LiveSound, StallsBecomeSilenceAndBacklogIsSkipped)
{
    constexpr int Rate = 48000;
    LiveTrack track(Rate, {50, 1}, 1000, 4800, Rate / 4);  // frames of 960 samples
    // Nothing arrives (a monitor while nothing plays): once the track is more than the stall
    // behind, silence brings it to the lead before the frame.
    LiveTrack::Step step;
    for (int64_t frame = 0; frame <= 5; ++frame) step = track.Advance(frame, 0);
    EXPECT_EQ(track.Silence(), 0) << "5 frames behind is within the stall";
    step = track.Advance(6, 0);
    EXPECT_EQ(step.silence, 6 * 960 - 1000);
    EXPECT_EQ(track.Length(), 6 * 960 - 1000);

    // Samples after a stall go after the silence, ending at the lead before the frame.
    step = track.Advance(20, 300);
    EXPECT_EQ(step.keep, 300u);
    EXPECT_EQ(step.silence, 20 * 960 - 1000 - (6 * 960 - 1000) - 300);
    EXPECT_EQ(track.Length(), 20 * 960 - 1000);

    // Two seconds delivered at once: only what fits before the frame is kept, the newest.
    step = track.Advance(21, 96000);
    EXPECT_EQ(step.keep, 1960u);
    EXPECT_EQ(step.skip, 96000u - 1960u);
    EXPECT_EQ(step.silence, 0);
    EXPECT_EQ(track.Length(), 21 * 960);
    EXPECT_EQ(track.Skipped(), 96000 - 1960);
}

// A capture delivering blocks of 512 samples against frames at 60 fps, with the queue between.
class Delivery {
public:
    static constexpr int64_t Block = 512;
    static constexpr int64_t Lead = 128;
    static constexpr int Rate = 48000;

    // Frame `n` is due, the capture having delivered the whole blocks of its first `by` samples.
    LiveTrack::Step Frame(int64_t n, int64_t by)
    {
        while (delivered_ + Block <= by) {
            delivered_ += Block;
            queued_ += Block;
        }
        const LiveTrack::Step step = track_.Advance(n, static_cast<std::size_t>(queued_));
        queued_ -= static_cast<int64_t>(step.skip + step.keep);
        return step;
    }
    static int64_t Start(int64_t n) { return FrameStartSample(n, Rate, {60, 1}); }
    // How far the track ends before frame n's start (negative: past it).
    int64_t Lag(int64_t n) const { return Start(n) - track_.Length(); }
    int64_t Queued() const { return queued_; }
    const LiveTrack& Track() const { return track_; }

private:
    LiveTrack track_{Rate, {60, 1}, Lead, Rate / 10, Rate / 4};
    int64_t delivered_ = 0;
    int64_t queued_ = 0;
};

TEST(LiveSound, ALagLeftByTheStartIsClosedWithinHalfASecond)
{
    // One block at once, then the capture settles 3000 samples (62 ms, less than a stall) late.
    Delivery capture;
    int64_t silence = 0;
    for (int64_t n = 0; n < 600; ++n) {
        const LiveTrack::Step step = capture.Frame(n, std::max<int64_t>(Delivery::Block, Delivery::Start(n) - 3000));
        ASSERT_GE(capture.Lag(n), 0) << n;
        if (n == 0) {
            EXPECT_EQ(step.skip, 512u) << "the first samples end at the frame's start";
        }
        if (n == 30) silence = capture.Track().Silence();
        if (n >= 30) {  // two stretches of a quarter second
            ASSERT_LE(capture.Lag(n), Delivery::Block) << n;
            ASSERT_EQ(step.skip, 0u) << n;
        }
    }
    EXPECT_GT(silence, 2500) << "the lag was filled with silence";
    EXPECT_EQ(capture.Track().Silence(), silence) << "once";
}

TEST(LiveSound, SamplesAheadOfTheirFrameWaitForItAndALastingSurplusIsDropped)
{
    // Every 7th frame is drawn 10 ms late, finding one more block: it waits for the next frame.
    Delivery late;
    late.Frame(1, Delivery::Start(1));
    const int64_t placed = late.Track().Silence();  // the first samples, placed before the start
    for (int64_t n = 2; n < 600; ++n) {
        late.Frame(n, Delivery::Start(n) + (n % 7 == 0 ? 480 : 0));
        ASSERT_GE(late.Lag(n), 0) << "never past the frame's start, at " << n;
    }
    EXPECT_EQ(late.Track().Skipped(), 0);
    EXPECT_EQ(late.Track().Silence(), placed);

    // A capture clock 1 % fast: the surplus is dropped a little at a time, never piling up.
    Delivery fast;
    for (int64_t n = 1; n < 600; ++n) {
        fast.Frame(n, Delivery::Start(n) * 101 / 100);
        ASSERT_GE(fast.Lag(n), 0) << n;
        ASSERT_LE(fast.Queued(), 2 * Delivery::Block) << n;
    }
    EXPECT_GT(fast.Track().Skipped(), 2400);
}

// ---------------------------------------------------------------- without a sound server

TEST(LiveCli, MissingDevicesAndDisplaysFailWithOneClearMessage)
{
    ScratchDir dir;
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        std::vector<std::string> says;
    };
    // XDG_RUNTIME_DIR set keeps the Wayland probe from complaining about it.
    const std::map<std::string, std::string> noDisplay = {{"SDL_AUDIODRIVER", "dummy"}, {"DISPLAY", ""},
                                                          {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""},
                                                          {"XDG_RUNTIME_DIR", dir.Path().string()}};
    const Case cases[] = {
        {{}, {{"SDL_AUDIODRIVER", "dummy"}, {"SDL_VIDEODRIVER", "dummy"}},
         {"cannot find the monitor of the default output", "audio driver dummy", "--mic"}},
        {{}, {{"SDL_AUDIODRIVER", "no-such-driver"}}, {"cannot capture sound", "no-such-driver"}},
        {{"--mic"}, noDisplay, {"cannot open a window for live capture", "no display", "-o FILE --duration"}},
        {{"--mic", "-o", (dir / "x.mp4").string()}, noDisplay, {"recording without one needs --duration"}},
        {{"--mic", "-o", (dir / "x.avi").string()}, noDisplay, {"x.avi"}},
        {{"--mic", "--duration", "0"}, noDisplay, {"--duration must be more than 0"}},
        {{"--device", ""}, noDisplay, {"--device needs a capture device's name"}},
        {{"--mic", "-o", (dir / "x.mkv").string(), "--duration", "0.00001", "--fps", "1"},
         noDisplay,
         {"--duration must be longer than one sample"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunOptions options;
        options.env = c.env;
        std::vector<std::string> args = {"live", "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = RunHost(args, options);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("nimbrelle: error: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        for (const std::string& part : c.says) EXPECT_TRUE(Contains(r.err, part)) << "missing '" << part << "' in: " << r.err;
    }
    EXPECT_EQ(dir.List(), std::vector<std::string>{}) << "no output left behind";
}

// A recording without a window on SDL's dummy driver, which offers one silent capture device as
// the default input.
RunOptions DummyRecording(const ScratchDir& dir)
{
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", "dummy"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""},
                   {"XDG_RUNTIME_DIR", dir.Path().string()}};
    return options;
}

TEST(LiveCli, CtrlCDuringARecordingFinishesIt)
{
    // Stopping is how a live recording ends: Ctrl-C, SIGTERM or a closed terminal finish the
    // file with what was recorded, sound and picture of one length.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ScratchDir dir;
        RunOptions options = DummyRecording(dir);
        options.interruptAfterSeconds = 1.5;
        options.interruptSignal = signal;
        const fs::path out = dir / "x.mp4";
        const RunResult r = RunHost({"live", "--mic", "-o", out.string(), "--duration", "20", "--size", "64x36"}, options);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(r.err, "recording without one")) << r.err;
        EXPECT_TRUE(Contains(r.err, "nimbrelle: stopped; finishing the recording of ")) << r.err;
        EXPECT_TRUE(Contains(r.err, "nimbrelle: wrote " + out.string() + ": ")) << r.err;
        EXPECT_EQ(dir.List(), std::vector<std::string>{"x.mp4"});
        std::istringstream durations(test::Probe(out, "stream=codec_type,duration"));
        std::map<std::string, double> seconds;
        for (std::string type, duration; std::getline(durations, type) && std::getline(durations, duration);) {
            seconds[type] = std::stod(duration);
        }
        ASSERT_EQ(seconds.size(), 2u) << test::Probe(out, "stream=codec_type,duration");
        EXPECT_GT(seconds["video"], 0.5);
        EXPECT_NEAR(seconds["audio"], seconds["video"], 0.05);
    }
}

TEST(LiveCli, ADurationOfOneSampleRecordsOneWholeFrame)
{
    ScratchDir dir;
    const fs::path out = dir / "x.mkv";
    const RunResult r = RunHost({"live", "--mic", "-o", out.string(), "--duration", "0.00003", "--fps", "1", "--size",
                                 "64x36"},
                                DummyRecording(dir));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, ": 1 frames drawn, 0 skipped\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, ": 1 frames (0 of them repeated)")) << r.err;
    EXPECT_EQ(test::Probe(out, "stream=codec_type"), "video\naudio\n");
    EXPECT_NEAR(std::stod(test::Probe(out, "format=duration")), 1.0, 0.05);
}

TEST(LiveCli, ASecondStopAbandonsTheRecordingBeingFinished)
{
    ScratchDir dir;
    RunOptions options = DummyRecording(dir);
    options.interruptAfterSeconds = 1.0;
    options.interruptAgainOn = "finishing the recording";
    const RunResult r = RunHost({"live", "--mic", "-o", (dir / "x.mp4").string(), "--duration", "20", "--size", "320x180"},
                                options);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(r.err.ends_with("nimbrelle: interrupted; partial output removed\n")) << r.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{});
}

TEST(LiveCli, WithoutASoundServerOneLineSaysSo)
{
    // No PulseAudio server answers, and ALSA, which SDL then turns to, has no devices: its own
    // complaints stay off the terminal, and the error says what is missing.
    ScratchDir dir;
    test::WriteAudio(dir / "x.wav", test::Sine(440.0, 0.5, 48000, 4800), 48000, 1);
    std::ofstream(dir / "asound.conf").close();
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", ""}, {"PULSE_SERVER", "unix:" + (dir / "no-server").string()},
                   {"ALSA_CONFIG_PATH", (dir / "asound.conf").string()}, {"XDG_RUNTIME_DIR", dir.Path().string()},
                   {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""}};
    for (const std::vector<std::string>& args : {std::vector<std::string>{"live", "-q", "--mic"},
                                                std::vector<std::string>{"live", "-q"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        std::vector<std::string> recording = args;
        recording.insert(recording.end(), {"-o", (dir / "x.mp4").string(), "--duration", "1"});
        test::ExpectOneLineError(RunHost(recording, options),
                                 {"no sound server is running (PulseAudio or pipewire-pulse): "});
    }
    const RunResult listed = RunHost({"live", "--list-devices"}, options);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.err, "");
    EXPECT_TRUE(Contains(listed.out, "(none: no sound server is running)")) << listed.out;

    options.env["SDL_VIDEODRIVER"] = "dummy";
    const RunResult played = RunHost({"play", (dir / "x.wav").string(), "-q"}, options);
    EXPECT_EQ(played.exitCode, 0) << played.err;
    EXPECT_TRUE(played.err.starts_with("nimbrelle: warning: cannot play sound (")) << played.err;
    EXPECT_EQ(std::count(played.err.begin(), played.err.end(), '\n'), 1) << "one line: " << played.err;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"asound.conf", "x.wav"}));
}

// Recordings that must keep up with the frame clock: run alone (RUN_SERIAL), and only in
// optimised builds without the sanitizers.
class LiveCliSerial : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
        GTEST_SKIP() << "measures live recordings: optimised builds without the sanitizers only";
#endif
    }
};

TEST_F(LiveCliSerial, TheModulesFirstFrameAndTheEncodersStartDoNotCountAsFallingBehind)
{
    // A module whose first frame takes a third of a second, and ffmpeg starting: neither is
    // the recording falling behind, so nothing is left out and no warning is given.
    ScratchDir dir;
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", "dummy"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""},
                   {"XDG_RUNTIME_DIR", dir.Path().string()}};
    const RunResult r = RunHost({"live", "--mic", "-o", (dir / "x.mp4").string(), "--duration", "1.5", "--size", "64x36",
                                 "--module", test::FakeModule("slow_start").string()},
                                options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "fell behind")) << r.err;
    EXPECT_TRUE(Contains(r.err, "90 frames (0 of them repeated)")) << r.err;
}

// SDL's dummy drivers: a silent default input and a window nobody sees.
std::map<std::string, std::string> DummyDrivers(const ScratchDir& dir, bool window)
{
    std::map<std::string, std::string> env = {{"SDL_AUDIODRIVER", "dummy"}, {"XDG_RUNTIME_DIR", dir.Path().string()}};
    if (window) {
        env["SDL_VIDEODRIVER"] = "dummy";
    } else {
        env.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""}});
    }
    return env;
}

TEST(LiveCli, TheWindowShowsTheSceneAsDrawnWhateverTheBackground)
{
    ScratchDir dir;
    RunOptions options;
    options.env = DummyDrivers(dir, true);
    const RunResult r = RunHost({"live", "--mic", "--duration", "0.3", "--size", "64x36", "--background", "black", "-q"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "nimbrelle: warning: --background black applies to recordings (-o); the window shows the scene as drawn\n");
}

// ProRes 4444 with alpha at 1280x720 is encoded at about 21 frames a second on two cores, so a
// recording at 60 usually falls behind. Whether or not it does, the recording holds the frames
// of its --duration with their sound, each frame time drawn or repeated, and the time it fell
// behind is left out of picture and sound alike and reported.
TEST(LiveCli, ARecordingThatFallsBehindSaysWhatItLeftOutOfPictureAndSoundAlike)
{
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    ScratchDir dir;
    RunOptions options;
    options.env = DummyDrivers(dir, false);
    const fs::path out = dir / "overlay.mov";
    const RunResult r = RunHost({"live", "--mic", "-o", out.string(), "--background", "transparent", "--size", "1280x720",
                                 "--duration", "1"},
                                options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    SCOPED_TRACE(r.err);
    long drawn = -1, skipped = -1, recorded = -1, repeated = -1;
    const std::size_t captured = r.err.find("nimbrelle: captured the default input: ");
    ASSERT_NE(captured, std::string::npos);
    ASSERT_EQ(std::sscanf(r.err.c_str() + captured, "nimbrelle: captured the default input: %ld frames drawn, %ld skipped",
                          &drawn, &skipped), 2);
    const std::size_t wrote = r.err.find("nimbrelle: wrote " + out.string() + ": ");
    ASSERT_NE(wrote, std::string::npos);
    ASSERT_EQ(std::sscanf(r.err.c_str() + wrote + 19 + out.string().size(), "%ld frames (%ld of them repeated)", &recorded,
                          &repeated), 2);
    EXPECT_EQ(recorded, 60);
    EXPECT_EQ(drawn + skipped, recorded) << "every frame time drawn or skipped";
    EXPECT_EQ(repeated, skipped) << "a skipped frame time repeats the frame on show";
    const std::string fellBehind = "nimbrelle: warning: the recording fell behind and left out ";
    const std::size_t left = r.err.find(fellBehind);
    if (left != std::string::npos) {
        EXPECT_GT(std::strtod(r.err.c_str() + left + fellBehind.size(), nullptr), 0.0);
        EXPECT_TRUE(Contains(r.err, "; try a smaller --size or a lower --fps (only H.264")) << "no preset to offer for ProRes";
    }

    EXPECT_EQ(test::Probe(out, "stream=nb_frames -select_streams v"), "60\n");
    EXPECT_NEAR(std::stod(test::Probe(out, "stream=duration -select_streams v")), 1.0, 0.02);
    EXPECT_NEAR(std::stod(test::Probe(out, "stream=duration -select_streams a")), 1.0, 0.02)
        << "the sound leaves out what the picture does";
    EXPECT_TRUE(test::Probe(out, "stream=pix_fmt -select_streams v").starts_with("yuva444p"));
}

// ---------------------------------------------------------------- against PulseAudio

// A child process, terminated and reaped by its id when the object goes.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, const fs::path& log)
    {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

// Sets an environment variable for this process (and what it starts), restoring it after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

constexpr int Rate = 48000;

// A private PulseAudio daemon with one null sink (the default output, "Null Output"), its
// socket in a scratch folder; the host, paplay and pactl find it through XDG_RUNTIME_DIR.
class LivePulse : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::HaveProgram("pulseaudio") || !test::HaveProgram("paplay") || !test::HaveProgram("ffmpeg")) {
            GTEST_SKIP() << "needs pulseaudio, paplay and ffmpeg (scripts/install-deps.sh installs them)";
        }
        daemon_ = std::make_unique<Child>(
            std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--disable-shm=yes", "--load=module-native-protocol-unix",
                                     "--load=module-null-sink sink_name=v"},
            dir_ / "pulseaudio.log");
        for (int i = 0; i < 100 && test::RunShell("pactl info >/dev/null 2>&1").exitCode != 0; ++i) {
            ASSERT_TRUE(daemon_->Running()) << "pulseaudio exited: " << Log();
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_EQ(test::RunShell("pactl info").exitCode, 0) << Log();
    }

    void TearDown() override
    {
        player_.reset();
        daemon_.reset();
    }

    std::string Log() const
    {
        return test::ReadAll(dir_ / "pulseaudio.log");
    }

    // Plays `samples` (mono, at Rate) into the default sink until the test ends.
    void Play(const std::vector<float>& samples)
    {
        test::WriteAudio(dir_ / "played.wav", samples, Rate, 1);
        player_ = std::make_unique<Child>(std::vector<std::string>{"paplay", (dir_ / "played.wav").string()},
                                          dir_ / "paplay.log");
    }

    // Runs `nimbrelle live` recording `seconds` to out.mp4, headless unless `window`.
    RunResult Record(std::vector<std::string> args, double seconds, bool window = false)
    {
        RunOptions options;
        if (window) {
            options.env = {{"SDL_VIDEODRIVER", "dummy"}};
        } else {
            options.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""}};
        }
        options.env["SDL_AUDIODRIVER"] = "";  // the host's own choice
        args.insert(args.begin(), {"live", "-o", Out().string(), "--duration", std::to_string(seconds), "--size",
                                   "160x90"});
        return RunHost(args, options);
    }

    fs::path Out() const { return dir_ / "out.mp4"; }

    // The recording's sound (or another video's), mixed to mono at Rate.
    std::vector<float> Sound(const std::optional<fs::path>& video = std::nullopt) const
    {
        const fs::path raw = dir_ / "sound.raw";
        const RunResult r = test::RunShell("ffmpeg -v error -y -i '" + video.value_or(Out()).string() + "' -ac 1 -ar " +
                                           std::to_string(Rate) + " -f f32le '" + raw.string() + "'");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return ReadRaw<float>(raw);
    }

    // The mean brightness (0-255) of every frame of the recording (or another video).
    std::vector<double> Brightness(const std::optional<fs::path>& video = std::nullopt) const
    {
        const fs::path raw = dir_ / "frames.raw";
        const RunResult r = test::RunShell("ffmpeg -v error -y -i '" + video.value_or(Out()).string() +
                                           "' -vf scale=32:18 -pix_fmt gray -f rawvideo '" + raw.string() + "'");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::vector<uint8_t> pixels = ReadRaw<uint8_t>(raw);
        std::vector<double> means;
        for (std::size_t at = 0; at + 576 <= pixels.size(); at += 576) {
            means.push_back(std::accumulate(pixels.begin() + static_cast<std::ptrdiff_t>(at),
                                            pixels.begin() + static_cast<std::ptrdiff_t>(at + 576), 0.0) / 576.0);
        }
        return means;
    }

    template <class T>
    static std::vector<T> ReadRaw(const fs::path& path)
    {
        const std::string bytes = test::ReadAll(path);
        std::vector<T> values(bytes.size() / sizeof(T));
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
        return values;
    }

    ScratchDir dir_;
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.Path().string()};
    ScopedEnv home_{"HOME", dir_.Path().string()};
    std::unique_ptr<Child> daemon_;
    std::unique_ptr<Child> player_;
};

// The first sample louder than `level`, or the size when there is none.
std::size_t FirstLoud(const std::vector<float>& sound, float level)
{
    const auto it = std::find_if(sound.begin(), sound.end(), [&](float s) { return std::fabs(s) > level; });
    return static_cast<std::size_t>(it - sound.begin());
}

TEST_F(LivePulse, ListsTheDefaultOutputsMonitor)
{
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", ""}};
    const RunResult r = RunHost({"live", "--list-devices"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "audio driver pulseaudio")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  Monitor of Null Output  (monitor of the default output")) << r.out;
    EXPECT_FALSE(Contains(r.out, "--mic")) << "a monitor is no microphone: " << r.out;
}

TEST_F(LivePulse, MicWithoutAMicrophoneRefusesTheMonitor)
{
    // The server makes the output's monitor its default input when it has no microphone.
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""}};
    test::ExpectOneLineError(RunHost({"live", "--mic", "-o", Out().string(), "--duration", "1"}, options),
                             {"--mic: there is no microphone: the default input is 'Monitor of Null Output'", "--device"});
    EXPECT_FALSE(fs::exists(Out()));
}

TEST_F(LivePulse, AServerWithoutOutputsIsSaidSoNotCrashedOn)
{
    // With the only sink gone the server has neither a default sink nor a default source,
    // which SDL's pulseaudio backend cannot start with.
    ASSERT_EQ(test::RunShell("pactl unload-module module-null-sink").exitCode, 0);
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""}};
    const std::string says = "cannot capture sound: the sound server has no output or input (no default sink or source)";
    test::ExpectOneLineError(RunHost({"live", "--list-devices"}, options), {says});
    test::ExpectOneLineError(RunHost({"live", "-o", Out().string(), "--duration", "1"}, options), {says});
    test::ExpectOneLineError(RunHost({"live", "--mic", "-o", Out().string(), "--duration", "1"}, options), {says});
    EXPECT_FALSE(fs::exists(Out()));

    // play shows the frames without sound, as without any sound device.
    options.env["SDL_VIDEODRIVER"] = "dummy";
    const RunResult played = RunHost({"play", "--duration", "0.5", "-q"}, options);
    EXPECT_EQ(played.exitCode, 0) << played.err;
    EXPECT_EQ(played.err, "nimbrelle: warning: cannot play sound (asking the sound server: the sound server has no "
                          "output or input (no default sink or source)); showing the frames without it, timed by the "
                          "system clock\n");
}

TEST_F(LivePulse, RecordsTheToneANamedMonitorCarries)
{
    Play(test::Sine(1000.0, 0.5, Rate, Rate * 12));
    const RunResult r = Record({"--device", "monitor of null"}, 4.0);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "no window")) << r.err;
    EXPECT_TRUE(Contains(r.err, "capturing 'Monitor of Null Output' (audio driver pulseaudio)")) << r.err;
    EXPECT_TRUE(Contains(r.err, "wrote " + Out().string() + ": 240 frames")) << r.err;

    // The monitor starts delivering a while after it opens; from then on the tone is whole.
    const std::vector<float> sound = Sound();
    ASSERT_NEAR(static_cast<double>(sound.size()) / Rate, 4.0, 0.05);
    const std::size_t from = FirstLoud(sound, 0.1f) + Rate / 10;
    const std::size_t to = sound.size() - Rate / 5;  // the last moments may be silence
    ASSERT_LT(from + Rate / 2, to) << "less than half a second of tone recorded";
    std::vector<double> crossings;  // rising zero crossings, interpolated
    for (std::size_t i = from + 1; i < to; ++i) {
        if (sound[i - 1] < 0.0f && sound[i] >= 0.0f) {
            crossings.push_back(static_cast<double>(i - 1) + sound[i - 1] / (sound[i - 1] - sound[i]));
        }
    }
    ASSERT_GT(crossings.size(), 100u);
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i) periods.push_back(crossings[i] - crossings[i - 1]);
    std::vector<double> sorted = periods;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    EXPECT_NEAR(Rate / sorted[sorted.size() / 2], 1000.0, 10.0);
    // Whole: no gaps or repeats inside (a machine too busy to keep up may cause one or two).
    const auto regular = std::count_if(periods.begin(), periods.end(),
                                       [](double p) { return std::fabs(p - Rate / 1000.0) < 1.0; });
    EXPECT_GE(static_cast<double>(regular), 0.97 * static_cast<double>(periods.size()))
        << regular << " of " << periods.size() << " periods are whole";
}

TEST_F(LivePulse, LoudPassagesOfTheDefaultMonitorBrightenTheFrames)
{
    // Half a second of a loud 110 Hz tone, half a second of silence, over and over.
    std::vector<float> signal;
    const std::vector<float> loud = test::Sine(110.0, 0.8, Rate, Rate / 2);
    for (int i = 0; i < 12; ++i) {
        signal.insert(signal.end(), loud.begin(), loud.end());
        signal.resize(signal.size() + Rate / 2, 0.0f);
    }
    Play(signal);
    const RunResult r = Record({"--stats"}, 5.0, true);  // in a window, on SDL's dummy video driver
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "no window")) << r.err;
    EXPECT_TRUE(Contains(r.err, "capturing 'Monitor of Null Output'")) << r.err;
    EXPECT_TRUE(Contains(r.err, "frames/s, module ")) << "--stats reports: " << r.err;

    const std::vector<float> sound = Sound();
    const std::vector<double> brightness = Brightness();
    ASSERT_EQ(brightness.size(), 300u);
    // Frame n shows the sound just before n / 60 s. Frames in the middle of loud stretches
    // against frames in silence, once the capture has started delivering.
    const std::size_t started = FirstLoud(sound, 0.1f);
    double loudSum = 0.0, quietSum = 0.0;
    int loudFrames = 0, quietFrames = 0;
    for (std::size_t n = 0; n < brightness.size(); ++n) {
        const std::size_t at = n * Rate / 60;
        if (at < started + Rate / 10 || at >= sound.size()) continue;
        float peak = 0.0f;
        for (std::size_t i = at - Rate / 10; i < at; ++i) peak = std::max(peak, std::fabs(sound[i]));
        if (peak > 0.5f) {
            loudSum += brightness[n];
            ++loudFrames;
        } else if (peak < 0.001f) {
            quietSum += brightness[n];
            ++quietFrames;
        }
    }
    ASSERT_GT(loudFrames, 10) << r.err;
    ASSERT_GT(quietFrames, 10) << r.err;
    EXPECT_GT(loudSum / loudFrames, 2.0 * (quietSum / quietFrames) + 5.0)
        << "loud " << loudSum / loudFrames << ", quiet " << quietSum / quietFrames;
}

TEST_F(LivePulse, AMonitorThatGoesFallsBackToTheDefaultOne)
{
    const RunResult loaded = test::RunShell(
        "pactl load-module module-null-sink sink_name=w sink_properties=device.description=Other");
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    const std::string module = loaded.out.substr(0, loaded.out.find_first_of("\r\n"));
    std::thread remover([&] {
        std::this_thread::sleep_for(1500ms);
        test::RunShell("pactl unload-module " + module);
    });
    const RunResult r = Record({"--device", "Monitor of Other"}, 3.0);
    remover.join();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "capturing 'Monitor of Other'")) << r.err;
    EXPECT_TRUE(Contains(r.err, "nimbrelle: warning: capture device 'Monitor of Other' has gone; capturing "
                                "'Monitor of Null Output' instead"))
        << r.err;
    EXPECT_TRUE(fs::exists(Out()));
}

// The recording ended early and is kept, playable, its sound as long as its picture.
void ExpectKeptAfterAnError(const RunResult& r, const fs::path& out)
{
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "nimbrelle: error: capture device 'Monitor of Null Output' has gone")) << r.err;
    EXPECT_TRUE(Contains(r.err, "before is kept in '" + out.string() + "'\n")) << r.err;
    std::istringstream durations(test::Probe(out, "stream=codec_type,duration"));
    std::map<std::string, double> seconds;
    for (std::string type, duration; std::getline(durations, type) && std::getline(durations, duration);) {
        seconds[type] = std::stod(duration);
    }
    ASSERT_EQ(seconds.size(), 2u) << test::Probe(out, "stream=codec_type,duration");
    EXPECT_NEAR(seconds["video"], 1.5, 0.5);
    EXPECT_NEAR(seconds["audio"], seconds["video"], 0.05);
}

TEST_F(LivePulse, ARecordingWhoseOnlyOutputGoesIsKept)
{
    std::thread remover([&] {
        std::this_thread::sleep_for(1500ms);
        test::RunShell("pactl unload-module module-null-sink");
    });
    const RunResult r = Record({}, 10.0);
    remover.join();
    ExpectKeptAfterAnError(r, Out());
    EXPECT_TRUE(Contains(r.err, "there is nothing to fall back to")) << r.err;
}

TEST_F(LivePulse, ARecordingWhoseSoundServerGoesIsKept)
{
    std::thread stopper([&] {
        std::this_thread::sleep_for(1500ms);
        daemon_->Stop();
    });
    const RunResult r = Record({}, 10.0);
    stopper.join();
    ExpectKeptAfterAnError(r, Out());
    EXPECT_TRUE(Contains(r.err, "has gone: the sound server has stopped;")) << r.err;
}

// ---------------------------------------------------------------- sound and picture in step

// Tests that measure real recordings against the wall clock: run alone (RUN_SERIAL), and only
// in optimised builds, where drawing keeps up.
class LivePulseSerial : public LivePulse {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
        GTEST_SKIP() << "measures live recordings: optimised builds without the sanitizers only";
#endif
        LivePulse::SetUp();
    }
};

// A click every second: 40 ms of a 120 Hz square wave, then silence.
std::vector<float> Clicks(int seconds)
{
    std::vector<float> signal(static_cast<std::size_t>(seconds) * Rate, 0.0f);
    for (std::size_t second = 0; second < static_cast<std::size_t>(seconds); ++second) {
        for (std::size_t i = 0; i < Rate / 25; ++i) signal[second * Rate + i] = (i / 200) % 2 == 0 ? 0.95f : -0.95f;
    }
    return signal;
}

// Where each click of `sound` begins: the first loud sample after half a second of quiet.
std::vector<std::size_t> Onsets(const std::vector<float>& sound)
{
    std::vector<std::size_t> onsets;
    std::optional<std::size_t> last;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        if (std::fabs(sound[i]) <= 0.3f) continue;
        if (!last || i - *last > Rate / 2) onsets.push_back(i);
        last = i;
    }
    return onsets;
}

// The first frame from `from` on brighter than `threshold`, if any within half a second.
std::optional<std::size_t> FirstBright(const std::vector<double>& brightness, std::size_t from, double threshold)
{
    for (std::size_t n = from; n < std::min(brightness.size(), from + 30); ++n) {
        if (brightness[n] > threshold) return n;
    }
    return std::nullopt;
}

TEST_F(LivePulseSerial, ARecordingShowsEachClickInTheFrameARenderOfItsSoundDoes)
{
    // The picture of frame n shows the sound up to n / fps, as in a render: the recording's
    // frames against a render of the recording's own sound, click by click, from the first
    // second on, within one frame. A lag left by the capture's start would show every click late.
    Play(Clicks(20));
    const RunResult r = Record({}, 6.0);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<float> sound = Sound();
    const std::vector<double> live = Brightness();
    test::WriteAudio(dir_ / "recorded.wav", sound, Rate, 1);
    const RunResult rendered = RunHost({"render", (dir_ / "recorded.wav").string(), "-o", (dir_ / "render.mp4").string(),
                                        "--size", "160x90", "-q"});
    ASSERT_EQ(rendered.exitCode, 0) << rendered.err;
    const std::vector<double> render = Brightness(dir_ / "render.mp4");

    std::vector<double> sorted = render;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double threshold = median + (sorted.back() - median) / 4;
    int clicks = 0;
    for (const std::size_t onset : Onsets(sound)) {
        if (onset < static_cast<std::size_t>(Rate) || onset + Rate / 2 > sound.size()) continue;
        const std::size_t from = onset * 60 / Rate - 10;
        const std::optional<std::size_t> inRender = FirstBright(render, from, threshold);
        const std::optional<std::size_t> inLive = FirstBright(live, from, threshold);
        ASSERT_TRUE(inRender) << "the render shows no click at " << onset;
        ASSERT_TRUE(inLive) << "the recording shows no click at " << onset << "; " << r.err;
        const auto apart = static_cast<int64_t>(*inLive) - static_cast<int64_t>(*inRender);
        EXPECT_LE(std::abs(apart), 1) << "click at " << static_cast<double>(onset) / Rate << " s: frame " << *inLive
                                      << " of the recording, " << *inRender << " of the render";
        ++clicks;
    }
    EXPECT_GE(clicks, 3) << "clicks recorded after the first second; " << r.err;
}

}  // namespace
}  // namespace nimbrelle::host
