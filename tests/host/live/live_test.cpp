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
#include <thread>

#include <gtest/gtest.h>

#include "live/capture.h"
#include "live/devices.h"
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
    LiveTrack track(Rate, {60, 1}, 1024, 4800);
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
    LiveTrack track(Rate, {50, 1}, 1000, 4800);  // frames of 960 samples
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

TEST(LiveCli, CtrlCDuringARecordingLeavesNothingBehind)
{
    // SDL's dummy driver offers one silent capture device as the default input.
    ScratchDir dir;
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", "dummy"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"SDL_VIDEODRIVER", ""},
                   {"XDG_RUNTIME_DIR", dir.Path().string()}};
    options.interruptAfterSeconds = 1.5;
    const RunResult r = RunHost({"live", "--mic", "-o", (dir / "x.mp4").string(), "--duration", "20", "--size", "64x36"},
                                options);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(Contains(r.err, "recording without one")) << r.err;
    EXPECT_TRUE(r.err.ends_with("nimbrelle: interrupted; partial output removed\n")) << r.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{});
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

    // The recording's sound, mixed to mono at Rate.
    std::vector<float> Sound() const
    {
        const fs::path raw = dir_ / "sound.raw";
        const RunResult r = test::RunShell("ffmpeg -v error -y -i '" + Out().string() + "' -ac 1 -ar " +
                                           std::to_string(Rate) + " -f f32le '" + raw.string() + "'");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return ReadRaw<float>(raw);
    }

    // The mean brightness (0-255) of every frame of the recording.
    std::vector<double> Brightness() const
    {
        const fs::path raw = dir_ / "frames.raw";
        const RunResult r = test::RunShell("ffmpeg -v error -y -i '" + Out().string() +
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
    const RunResult r = RunHost({"live", "--list-devices"}, RunOptions{{}, {{"SDL_AUDIODRIVER", ""}}, {}, -1});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "audio driver pulseaudio")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  Monitor of Null Output  (monitor of the default output")) << r.out;
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

}  // namespace
}  // namespace nimbrelle::host
