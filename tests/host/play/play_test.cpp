// Live playback: which frame is drawn for the sample being heard (in order, skipping when
// behind, across pauses and seeks), the clocks that say what is being heard, FrameData
// identical to a render's whatever the order of frames, and `nimbrelle play` end to end with
// SDL's dummy video and audio drivers.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "nimbrelle/analysis.h"
#include "audio/source.h"
#include "support/host_support.h"
#include "play/play.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Contains;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;

const Clock::time_point T0 = Clock::time_point{} + 1000s;

FramePlan Range(int64_t first, int64_t length, int rate, FrameRate fps)
{
    return FramePlan{first, first + length, rate, fps};
}

// ---------------------------------------------------------------- choosing frames

TEST(PlayFrames, TheFrameHeardIsCutAsARenderCutsIt)
{
    // Two seconds in, one second long, at 60 fps: frames of exactly 800 samples.
    const FramePlan range = Range(96000, 48000, 48000, {60, 1});
    EXPECT_EQ(range.FrameCount(), 60);
    EXPECT_EQ(range.FrameAt(96000), 0);
    EXPECT_EQ(range.FrameAt(96799), 0);
    EXPECT_EQ(range.FrameAt(96800), 1);
    EXPECT_EQ(range.FrameAt(0), 0) << "before the range: its first frame";
    EXPECT_EQ(range.FrameAt(range.end - 1), 59);
    EXPECT_EQ(range.FrameAt(range.end + 5000), 59) << "past the range: its last frame";
    EXPECT_FALSE(range.Finished(range.end - 1));
    EXPECT_TRUE(range.Finished(range.end));

    // An uneven rate: frame n starts where a render starting at `first` starts it.
    const FramePlan ntsc = Range(44100 * 7 + 13, 44100 * 3, 44100, {30000, 1001});
    EXPECT_EQ(ntsc.FrameStart(2), ntsc.first + 2942);
    EXPECT_EQ(ntsc.FrameAt(ntsc.first + 2941), 1);
    EXPECT_EQ(ntsc.FrameAt(ntsc.first + 2942), 2);
}

TEST(PlayFrames, FramesGoForwardOnceEachAndSkipWhenBehind)
{
    const FramePlan range = Range(96000, 48000, 48000, {60, 1});
    FrameChooser chooser(range);
    EXPECT_FALSE(chooser.NextFrameStart()) << "nothing drawn yet";
    EXPECT_EQ(chooser.Choose(96000), 0);
    EXPECT_FALSE(chooser.Choose(96000 + 10)) << "frame 0 is drawn once";
    EXPECT_EQ(chooser.NextFrameStart(), 96800);
    EXPECT_EQ(chooser.Choose(96800), 1);
    EXPECT_FALSE(chooser.Choose(96700)) << "a clock that wobbles back does not redraw";
    // Drawing fell behind: frames 2-4 are never drawn, frame 5 is drawn when it is heard.
    EXPECT_EQ(chooser.Choose(96000 + 5 * 800 + 3), 5);
    EXPECT_EQ(chooser.Drawn(), 3);
    EXPECT_EQ(chooser.Skipped(), 3);
    // Paused: the clock stands still, nothing more is drawn.
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(chooser.Choose(96000 + 5 * 800 + 3));
    // The last frame, then the end of the range.
    EXPECT_EQ(chooser.Choose(range.end - 1), 59);
    EXPECT_EQ(chooser.Skipped(), 3 + 53);
    EXPECT_FALSE(chooser.NextFrameStart()) << "no frame after the last";
    EXPECT_FALSE(chooser.Choose(range.end));
    // A seek back: the frame at the new position is drawn though it is earlier.
    chooser.Restart();
    EXPECT_EQ(chooser.Choose(96000 + 100), 0);
    EXPECT_EQ(chooser.Skipped(), 56) << "a seek skips nothing";
    EXPECT_EQ(chooser.Drawn(), 5);
}

TEST(PlayFrames, SeeksLandOnFrameStartsInsideTheRange)
{
    // Ten seconds into the audio, twenty seconds long, at 29.97 fps.
    const FramePlan range = Range(441000, 44100 * 20, 44100, {30000, 1001});
    const int64_t heard = range.first + 44100 * 7 + 123;
    const int64_t ahead = SeekTarget(range, heard, 5.0);
    EXPECT_EQ(ahead, range.FrameStart(range.FrameAt(heard + 5 * 44100))) << "the start of the frame 5 s on";
    EXPECT_LE(ahead, heard + 5 * 44100);
    EXPECT_GT(ahead, heard + 5 * 44100 - 1472);
    EXPECT_EQ(range.FrameStart(range.FrameAt(ahead)), ahead);
    const int64_t back = SeekTarget(range, heard, -5.0);
    EXPECT_EQ(back, range.FrameStart(range.FrameAt(heard - 5 * 44100)));
    // Back past --start stops at it; forward past the end ends the play.
    EXPECT_EQ(SeekTarget(range, range.first + 44100 * 2, -5.0), range.first);
    EXPECT_EQ(SeekTarget(range, range.end - 44100, 5.0), range.end);
    EXPECT_TRUE(range.Finished(SeekTarget(range, range.end - 44100, 5.0)));
}

// ---------------------------------------------------------------- clocks

TEST(PlayClocks, WallClockStandsStillWhilePaused)
{
    WallClock clock(48000, 1000, T0);
    EXPECT_EQ(clock.Sample(T0 + 500ms), 1000 + 24000);
    clock.Pause(T0 + 500ms);
    clock.Pause(T0 + 4s);  // a second pause changes nothing
    EXPECT_EQ(clock.Sample(T0 + 5s), 25000);
    clock.Resume(T0 + 5s);
    clock.Resume(T0 + 5100ms);  // not paused: no jump
    EXPECT_EQ(clock.Sample(T0 + 5250ms), 25000 + 12000) << "resumes where it stopped";
    clock.Seek(5000, T0 + 7s);
    EXPECT_EQ(clock.Sample(T0 + 7100ms), 5000 + 4800);
    clock.Pause(T0 + 8s);
    clock.Seek(200000, T0 + 9s);
    EXPECT_EQ(clock.Sample(T0 + 20s), 200000) << "a seek while paused stays paused";
    clock.Resume(T0 + 21s);
    EXPECT_EQ(clock.Sample(T0 + 22s), 200000 + 48000);
}

TEST(PlayClocks, TheDeviceIsHearingItsFirstPendingSample)
{
    DeviceQueue queue;
    queue.Restart(1000);
    queue.Added(queue.Wanted(0, 24000, 1'000'000));
    EXPECT_EQ(queue.Heard(24000), 1000) << "nothing taken yet";
    EXPECT_EQ(queue.Heard(23000), 2000);
    EXPECT_EQ(queue.Wanted(23000, 24000, 1'000'000), 1000) << "tops the queue up";
    // Near the end of the range: never queued past it, and drained means finished.
    queue.Restart(990'000);
    queue.Added(queue.Wanted(0, 24000, 1'000'000));
    EXPECT_EQ(queue.End(), 1'000'000);
    EXPECT_EQ(queue.Wanted(0, 24000, 1'000'000), 0);
}

TEST(PlayClocks, SmoothedPositionFillsTheDeviceSteps)
{
    SmoothedPosition position(48000);
    position.Reset(0);
    EXPECT_EQ(position.Update(1024, 2048, T0), 1024);
    EXPECT_EQ(position.Update(1024, 2048, T0 + 10ms), 1024 + 480) << "carried on by the wall clock";
    EXPECT_EQ(position.Update(1024, 2048, T0 + 30ms), 2048) << "never past the next step";
    EXPECT_EQ(position.Update(1024, 2048, T0 + 35ms), 2048);
    // The device's next step comes late; the position does not go back to it.
    EXPECT_EQ(position.Update(2048, 3072, T0 + 40ms), 2048);
    EXPECT_EQ(position.Update(2048, 3072, T0 + 45ms), 2048 + 240);
    // The last of the queue: the limit is its end.
    EXPECT_EQ(position.Update(9000, 9100, T0 + 50ms), 9000);
    EXPECT_EQ(position.Update(9000, 9100, T0 + 60ms), 9100);
    // A seek back starts again from the new position.
    position.Reset(500);
    EXPECT_EQ(position.Update(500, 1524, T0 + 70ms), 500);
    EXPECT_EQ(position.Update(500, 1524, T0 + 80ms), 500 + 480);
    // Resuming after a pause: the device is behind the position shown, which holds.
    position.Reset(1500);
    EXPECT_EQ(position.Update(1000, 2024, T0 + 90ms), 1500);
    EXPECT_EQ(position.Update(1000, 2024, T0 + 100ms), 1500) << "until the sound catches up";
    EXPECT_EQ(position.Update(1000, 2024, T0 + 105ms), 1000 + 720);
}

// ---------------------------------------------------------------- FrameData

// However a play reaches frame n (skipping, pausing, seeking either way), its FrameData is
// the one a render draws for frame n.
TEST(PlayFeed, FrameDataMatchesARenderWhateverTheOrder)
{
    constexpr int Rate = 48000;
    test::Rng rng(2024);
    std::vector<float> samples(static_cast<std::size_t>(Rate) * 10 * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        // Noise over a slow swell, so neighbouring frames differ.
        const double swell = static_cast<double>(i % 40000) / 40000.0;
        samples[i] = static_cast<float>((static_cast<double>(rng.Below(2001)) / 1000.0 - 1.0) * swell);
    }
    const FramePlan range = Range(12345, Rate * 8, Rate, {30000, 1001});
    const float gain = 1.5f;

    // The render: every frame in order, as RenderFrames does.
    std::vector<FrameData> rendered(static_cast<std::size_t>(range.FrameCount()));
    {
        MemorySource source(samples, Rate, "noise");
        analysis::SourceHistory history(source, range.first);
        analysis::Analyser analyser(gain);
        for (int64_t n = 0; n < range.FrameCount(); ++n) {
            history.AdvanceTo(range.FrameStart(n));
            analyser.Analyse(history.Left(), history.Right(), SampleToMilliseconds(range.FrameStart(n), Rate),
                             rendered[static_cast<std::size_t>(n)]);
        }
    }

    // The play: a clock that jitters, stalls (a pause), leaps (a slow frame) and seeks.
    MemorySource source(samples, Rate, "noise");
    FrameFeed feed(source, range, gain);
    FrameChooser chooser(range);
    int64_t heard = range.first;
    int seeksBack = 0, seeksForward = 0, checked = 0;
    while (!range.Finished(heard)) {
        if (const std::optional<int64_t> n = chooser.Choose(heard)) {
            const FrameData& frame = feed.Frame(*n);
            ASSERT_EQ(std::memcmp(&frame, &rendered[static_cast<std::size_t>(*n)], sizeof frame), 0) << "frame " << *n;
            ++checked;
        }
        const uint64_t step = rng.Below(100);
        if (step < 3 && seeksBack < 6) {
            heard = SeekTarget(range, heard, -1.2);
            chooser.Restart();
            ++seeksBack;
        } else if (step < 5 && seeksForward < 3) {
            heard = SeekTarget(range, heard, 1.1);
            chooser.Restart();
            ++seeksForward;
        } else if (step < 15) {
            // paused: the clock stands still
        } else if (step < 25) {
            heard += static_cast<int64_t>(rng.Below(8000));  // a slow frame: several skipped
        } else {
            heard += static_cast<int64_t>(rng.Below(900));
        }
    }
    EXPECT_GT(seeksBack, 0);
    EXPECT_GT(seeksForward, 0);
    EXPECT_GT(chooser.Skipped(), 0);
    EXPECT_GT(checked, range.FrameCount() / 2) << "skipped " << chooser.Skipped();
}

// ---------------------------------------------------------------- nimbrelle play

// The counts of the closing summary, "... N frames drawn, M skipped"; -1 when missing.
std::pair<int, int> DrawnAndSkipped(const std::string& err)
{
    const std::size_t at = err.find(" frames drawn, ");
    int drawn = -1, skipped = -1;
    if (at == std::string::npos || at == 0) return {drawn, skipped};
    const std::size_t begin = err.rfind(' ', at - 1) + 1;
    if (std::sscanf(err.c_str() + begin, "%d frames drawn, %d skipped", &drawn, &skipped) != 2) return {-1, -1};
    return {drawn, skipped};
}

struct Played {
    RunResult result;
    double seconds = 0.0;
};

// Runs `nimbrelle play` with SDL's dummy drivers (no display, no sound card needed) and
// `env` on top.
Played Play(std::vector<std::string> args, const std::map<std::string, std::string>& env = {})
{
    RunOptions options;
    options.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    for (const auto& [key, value] : env) options.env[key] = value;
    args.insert(args.begin(), "play");
    const auto started = std::chrono::steady_clock::now();
    Played played;
    played.result = RunHost(args, options);
    played.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return played;
}

void ExpectNoSanitizerReport(const RunResult& r)
{
    EXPECT_FALSE(Contains(r.err, "Sanitizer") || Contains(r.err, "runtime error")) << r.err;
}

class PlayCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Half a second at 48 kHz: a 1500 Hz tone on the left.
        test::WriteAudio(in_ / "tone.wav", test::Sine(1500.0, 0.5, 48000, 24000, 2, 0), 48000, 2);
        tone_ = (in_ / "tone.wav").string();
    }
    ScratchDir in_;
    std::string tone_;
};

TEST_F(PlayCli, PlaysToTheEndFollowingTheSound)
{
    const Played played = Play({tone_, "--size", "64x36", "--fps", "25", "--module", test::FakeModule("probe").string()});
    const RunResult& r = played.result;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectNoSanitizerReport(r);
    EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
    EXPECT_TRUE(Contains(r.err, "playing " + tone_ + " with Fake test module")) << r.err;
    // 0.5 s at 25 fps is frames 0-12; every one is drawn or skipped, in order, and the last
    // (from 0.48 s) may end the play before it is reached.
    EXPECT_TRUE(Contains(r.err, "nimbrelle: played " + tone_ + ": ")) << r.err;
    const auto [drawn, skipped] = DrawnAndSkipped(r.err);
    EXPECT_GE(drawn, 1);
    EXPECT_GE(drawn + skipped, 12);
    EXPECT_LE(drawn + skipped, 13);
    // The sound card's clock paces the play: it cannot end before its half second has played.
    EXPECT_GE(played.seconds, 0.45);
}

TEST_F(PlayCli, PlaysAStretchOfTheDemo)
{
    const Played played = Play({"--start", "0:12", "--duration", "0.4", "--fps", "30000/1001", "--size", "160x90",
                                "--gain", "2", "--fullscreen", "-q"});
    ASSERT_EQ(played.result.exitCode, 0) << played.result.err;
    EXPECT_EQ(played.result.err, "") << "-q: nothing on stderr";
    EXPECT_GE(played.seconds, 0.35);
}

TEST_F(PlayCli, WithoutAnAudioDeviceTheSystemClockTakesOver)
{
    const Played played = Play({tone_, "--size", "64x36"}, {{"SDL_AUDIODRIVER", "no-such-driver"}});
    const RunResult& r = played.result;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectNoSanitizerReport(r);
    EXPECT_TRUE(Contains(r.err, "nimbrelle: warning: cannot play sound")) << r.err;
    EXPECT_TRUE(Contains(r.err, "timed by the system clock")) << r.err;
    EXPECT_EQ(r.err.find("warning", r.err.find("warning") + 1), std::string::npos) << "one warning: " << r.err;
    EXPECT_TRUE(Contains(r.err, "frames drawn")) << r.err;
    EXPECT_GE(played.seconds, 0.45);
}

TEST_F(PlayCli, BadInputsFailWithOneClearMessage)
{
    std::ofstream(in_ / "text.so") << "not a shared library\n";
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {{(in_ / "absent.flac").string()}, {}, {"does not exist", "absent.flac"}},
        {{tone_, "--module", (in_ / "text.so").string()}, {}, {"not a loadable shared library", "text.so"}},
        {{tone_, "--module", test::FakeModule("no_query").string()}, {}, {"does not export QueryModule", "fake_no_query"}},
        {{tone_, "--module", test::FakeModule("init_refuses").string()}, {}, {"init entry returned 0", "fake_init_refuses"}},
        // Playback keeps to the sound's clock: on a slow machine the first frame drawn may be a
        // later one, so the message names whichever frame was refused.
        {{tone_, "--module", test::FakeModule("render_refuses").string()}, {}, {"refused frame ", "fake_render_refuses"}},
        {{tone_, "--start", "2"}, {}, {"--start 2 is at or past the end", "tone.wav"}},
        {{tone_, "--size", "0x10"}, {}, {"--size", "0x10"}},
        {{tone_, "--background", "white"}, {}, {"--background", "white"}},
        {{tone_}, {{"SDL_VIDEODRIVER", "no-such-driver"}}, {"cannot open a window to play", "tone.wav", "no-such-driver"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        const RunResult r = Play(args, c.env).result;
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("nimbrelle: error: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        ExpectNoSanitizerReport(r);
        for (const std::string& part : c.says) EXPECT_TRUE(Contains(r.err, part)) << "missing '" << part << "' in: " << r.err;
    }
}

TEST_F(PlayCli, TheWindowShowsTheSceneAsDrawnWhateverTheBackground)
{
    // Said even with -q: the option asked for something the window does not do.
    const RunResult r = Play({tone_, "--size", "64x36", "--background", "transparent", "-q"}).result;
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "nimbrelle: warning: --background transparent applies to outputs; the window shows the scene as drawn\n");
    EXPECT_EQ(Play({tone_, "--size", "64x36", "--background", "blue", "-q"}).result.err, "");
}

TEST_F(PlayCli, CtrlCStopsCleanly)
{
    RunOptions options;
    options.env = {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}};
    options.interruptAfterSeconds = 1.0;
    const RunResult r = RunHost({"play", "--size", "64x36", "-q"}, options);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_EQ(r.err, "nimbrelle: interrupted\n");
}

}  // namespace
}  // namespace nimbrelle::host
