// The nimbrelle program end to end: renders through the real module and stand-in modules,
// and every kind of bad input, each of which must fail with one clear message and leave no
// output behind.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <numbers>

#include <gtest/gtest.h>

#include "support/host_support.h"
#include "nimbrelle/module.h"
#include "base/timing.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::Contains;
using test::ExpectOneLineError;
using test::ListFolder;
using test::ReadAll;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;

// A failure: exit status 1, exactly one error line naming `parts`, and an empty `outDir`.
void ExpectCleanFailure(const RunResult& r, const ScratchDir& outDir, std::initializer_list<std::string> parts)
{
    test::ExpectOneLineError(r, parts);
    EXPECT_TRUE(outDir.List().empty()) << "left behind: " << (outDir.List().empty() ? "" : outDir.List()[0]);
}

// FrameData recovered from a frame drawn by the probe module (byte i in pixel i's blue).
FrameData ProbeFrame(const fs::path& png)
{
    const auto image = test::ReadPng(png);
    EXPECT_TRUE(image.has_value()) << png;
    FrameData frame{};
    if (!image || static_cast<std::size_t>(image->width * image->height) < sizeof frame) return frame;
    auto* bytes = reinterpret_cast<unsigned char*>(&frame);
    for (std::size_t i = 0; i < sizeof frame; ++i) bytes[i] = image->rgb[3 * i + 2];
    return frame;
}

std::string Probe(const fs::path& file, const std::string& entries)
{
    return test::RunShell("ffprobe -v error -count_frames -show_entries " + entries +
                          " -of default=noprint_wrappers=1 " + file.string())
        .out;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Half a second at 48 kHz: a 1500 Hz tone on the left (bin 16), silence on the right.
        test::WriteAudio(in_ / "tone.wav", test::Sine(1500.0, 0.5, 48000, 24000, 2, 0), 48000, 2);
        tone_ = (in_ / "tone.wav").string();
    }
    ScratchDir in_;   // inputs
    ScratchDir out_;  // outputs only: must hold exactly what a test expects
    std::string tone_;
};

TEST_F(Cli, FramesCarryTheAudioThroughTheModuleBoundary)
{
    const RunResult r = RunHost({"render", tone_, "-o", (out_ / "frames/").string(), "--size", "64x32",
                                 "--fps", "25", "--module", test::FakeModule("probe").string(), "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(out_.List(), std::vector<std::string>{"frames"});
    // 0.5 s at 25 fps: 13 frames, the last one starting at 480 ms.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out_ / "frames")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 13u);
    EXPECT_EQ(names.front(), "frame_000000.png");
    EXPECT_EQ(names.back(), "frame_000012.png");

    const FrameData first = ProbeFrame(out_ / "frames" / names[0]);
    EXPECT_EQ(first.leading, 0u);
    EXPECT_EQ(*std::max_element(first.blockA[0], first.blockA[0] + 512), 0) << "nothing before the audio starts";
    for (int n = 1; n < 13; ++n) {
        const FrameData f = ProbeFrame(out_ / "frames" / names[static_cast<std::size_t>(n)]);
        EXPECT_EQ(f.leading, static_cast<uint32_t>(40 * n));
        EXPECT_EQ(std::max_element(f.blockB[0], f.blockB[0] + 256) - f.blockB[0], 16) << n;
        EXPECT_NEAR(*std::max_element(f.blockA[0], f.blockA[0] + 512), 128, 1) << n;
        EXPECT_EQ(*std::max_element(f.blockB[1], f.blockB[1] + 256), 0) << n;
    }

    // --start, --gain and a pattern: the first frame already hears the tone, at 12 dB more.
    const RunResult later = RunHost({"render", tone_, "-o", (out_ / "s_%03d.png").string(), "--size", "64x32",
                                     "--fps", "50", "--start", "0.2", "--duration", "0.1", "--gain", "4",
                                     "--module", test::FakeModule("probe").string(), "-q"});
    ASSERT_EQ(later.exitCode, 0) << later.err;
    EXPECT_EQ(out_.List(), (std::vector<std::string>{"frames", "s_000.png", "s_001.png", "s_002.png", "s_003.png", "s_004.png"}));
    const FrameData started = ProbeFrame(out_ / "s_000.png");
    EXPECT_EQ(started.leading, 200u);
    EXPECT_EQ(*std::max_element(started.blockA[0], started.blockA[0] + 512), 255);
    EXPECT_EQ(started.blockB[0][16], 255);
    EXPECT_EQ(ProbeFrame(out_ / "s_004.png").leading, 280u);
}

TEST_F(Cli, SnapshotIsTheSameFrameAsInAFullRender)
{
    // Odd sizes are kept exactly for PNG output.
    const RunResult seq = RunHost({"render", "-o", (out_ / "seq/").string(), "--size", "161x121", "--duration", "0.55", "-q"});
    ASSERT_EQ(seq.exitCode, 0) << seq.err;
    const RunResult snap = RunHost({"snapshot", "--at", "0.5", "-o", (out_ / "snap.png").string(), "--size", "161x121", "-q"});
    ASSERT_EQ(snap.exitCode, 0) << snap.err;
    EXPECT_EQ(out_.List(), (std::vector<std::string>{"seq", "snap.png"}));

    const auto shot = test::ReadPng(out_ / "snap.png");
    const auto same = test::ReadPng(out_ / "seq" / "frame_000030.png");
    const auto earlier = test::ReadPng(out_ / "seq" / "frame_000029.png");
    ASSERT_TRUE(shot && same && earlier);
    EXPECT_EQ(shot->width, 161);
    EXPECT_EQ(shot->height, 121);
    EXPECT_TRUE(shot->rgb == same->rgb) << "the snapshot must replay the scene up to its frame";
    EXPECT_FALSE(shot->rgb == earlier->rgb) << "consecutive frames differ";
    EXPECT_EQ(fs::status(out_ / "snap.png").permissions() & fs::perms::others_read, fs::perms::others_read)
        << "outputs get ordinary permissions, not those of a private temporary file";
}

TEST_F(Cli, RendersVideoWithItsSound)
{
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    const fs::path mp4 = out_ / "clip.mp4";
    const RunResult r = RunHost({"render", "-o", mp4.string(), "--size", "160x120", "--start", "17", "--duration", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "60 frames")) << r.err;
    EXPECT_EQ(out_.List(), std::vector<std::string>{"clip.mp4"});
    const std::string video = Probe(mp4, "stream=codec_name,width,height,nb_read_frames,pix_fmt -select_streams v");
    EXPECT_TRUE(Contains(video, "codec_name=h264")) << video;
    EXPECT_TRUE(Contains(video, "width=160\nheight=120")) << video;
    EXPECT_TRUE(Contains(video, "pix_fmt=yuv420p")) << video;
    EXPECT_TRUE(Contains(video, "nb_read_frames=60")) << video;
    const std::string audio = Probe(mp4, "stream=codec_name,sample_rate,duration -select_streams a");
    EXPECT_TRUE(Contains(audio, "codec_name=aac")) << audio;
    EXPECT_TRUE(Contains(audio, "sample_rate=48000")) << audio;
    const std::string duration = Probe(mp4, "format=duration");
    EXPECT_NEAR(std::stod(duration.substr(duration.find('=') + 1)), 1.0, 0.05) << duration;

    // WebM with an odd size: padded to even sides, VP9 and Opus.
    const fs::path webm = out_ / "odd.webm";
    const RunResult odd = RunHost({"render", tone_, "-o", webm.string(), "--size", "161x121",
                                   "--fps", "20", "-q"});
    ASSERT_EQ(odd.exitCode, 0) << odd.err;
    const std::string v = Probe(webm, "stream=codec_name,width,height,nb_read_frames");
    EXPECT_TRUE(Contains(v, "codec_name=vp9\nwidth=162\nheight=122\nnb_read_frames=10")) << v;
    EXPECT_TRUE(Contains(v, "codec_name=opus")) << v;
}

TEST_F(Cli, InfoDescribesAnyModule)
{
    const RunResult real = RunHost({"info", test::RealModule().string()});
    ASSERT_EQ(real.exitCode, 0) << real.err;
    EXPECT_TRUE(Contains(real.out, "name:       Pelkin :: Nimbrelle Calvex")) << real.out;
    EXPECT_TRUE(Contains(real.out, "leadWord:   0\nhostWord:   7")) << real.out;
    EXPECT_TRUE(Contains(real.out, "render:     0x")) << real.out;
    const RunResult fake = RunHost({"info", test::FakeModule("render_refuses").string()});
    ASSERT_EQ(fake.exitCode, 0) << fake.err;
    EXPECT_TRUE(Contains(fake.out, "name:       Fake test module")) << fake.out;
}

TEST_F(Cli, BadModulesFailWithOneClearMessage)
{
    std::ofstream(in_ / "text.so") << "not a shared library\n";
    struct Case {
        fs::path module;
        std::string says;
    };
    const Case cases[] = {
        {in_ / "text.so", "not a loadable shared library"},
        {in_ / "absent.so", "does not exist"},
        {test::FakeModule("no_query"), "does not export QueryModule"},
        {test::FakeModule("init_refuses"), "init entry returned 0"},
        {test::FakeModule("render_refuses"), "refused frame 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module.string());
        const RunResult r = RunHost({"render", tone_, "-o", (out_ / "frames/").string(), "--module", c.module.string()});
        ExpectCleanFailure(r, out_, {c.says, c.module.filename().string()});
    }
    ExpectCleanFailure(RunHost({"info", (in_ / "text.so").string()}), out_, {"text.so"});
}

TEST_F(Cli, BadAudioFailsWithOneClearMessage)
{
    std::ofstream(in_ / "empty.flac").close();
    std::ofstream(in_ / "words.wav") << "RIFF? no, just words pretending to be audio\n";
    const std::pair<std::string, std::string> cases[] = {
        {"absent.mp3", "does not exist"},
        {"empty.flac", "is empty"},
        {"words.wav", "cannot decode"},
    };
    for (const auto& [file, says] : cases) {
        const RunResult r = RunHost({"render", (in_ / file).string(), "-o", (out_ / "a.mp4").string()});
        ExpectCleanFailure(r, out_, {says, file});
    }
    const RunResult late = RunHost({"render", tone_, "-o", (out_ / "a.mp4").string(), "--start", "3"});
    ExpectCleanFailure(late, out_, {"--start", "tone.wav"});
    const RunResult snap = RunHost({"snapshot", tone_, "-o", (out_ / "a.png").string(), "--at", "0.5"});
    ExpectCleanFailure(snap, out_, {"--at", "tone.wav"});
}

TEST_F(Cli, BadOptionsAreRejected)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--size", "0x0"}, "--size"},
        {{"--size", "-5x10"}, "--size"},
        {{"--size", "100000x100000"}, "--size"},
        {{"--size", "widexhigh"}, "--size"},
        {{"--fps", "0"}, "frame rate"},
        {{"--fps", "fast"}, "frame rate"},
        {{"--fps", "-30"}, "frame rate"},
        {{"--gain", "loud"}, "--gain"},
        {{"--duration", "-1"}, "--duration"},
        {{"--preset", "warp"}, "--preset"},
    };
    for (const auto& [extra, says] : cases) {
        std::vector<std::string> args{"render", tone_, "-o", (out_ / "a.mp4").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        ExpectCleanFailure(RunHost(args), out_, {says, extra.back()});
    }
    ExpectCleanFailure(RunHost({"render", tone_, "-o", (out_ / "a.avi").string()}), out_, {"a.avi"});
    ExpectCleanFailure(RunHost({"render", tone_, "-o", (out_ / "missing" / "a.mp4").string()}), out_, {"missing"});
    // Usage errors from the command line itself: exit status 2.
    const RunResult noOutput = RunHost({"render", tone_});
    EXPECT_EQ(noOutput.exitCode, 2);
    EXPECT_TRUE(noOutput.err.starts_with("nimbrelle: error: ")) << noOutput.err;
    EXPECT_EQ(RunHost({"dance"}).exitCode, 2);
    EXPECT_EQ(RunHost({}).exitCode, 2);
}

TEST_F(Cli, MissingOrDyingFfmpegIsReported)
{
    ScratchDir bin;
    RunOptions noFfmpeg;
    noFfmpeg.env = {{"PATH", bin.Path().string()}};
    const RunResult missing = RunHost({"render", tone_, "-o", (out_ / "a.mp4").string()}, noFfmpeg);
    ExpectCleanFailure(missing, out_, {"ffmpeg", "a.mp4", "PATH"});

    // An ffmpeg that reads a little and is then killed: a broken pipe for the host, which
    // must report it instead of dying of SIGPIPE.
    const fs::path fake = bin / "ffmpeg";
    std::ofstream(fake) << "#!/bin/sh\nhead -c 50000 >/dev/null\nkill -9 $$\n";
    fs::permissions(fake, fs::perms::owner_all);
    ScratchDir tmp;
    RunOptions dying;
    dying.env = {{"PATH", bin.Path().string() + ":/usr/bin:/bin"}, {"TMPDIR", tmp.Path().string()}};
    const RunResult killed = RunHost({"render", tone_, "-o", (out_ / "a.mp4").string()}, dying);
    ExpectCleanFailure(killed, out_, {"ffmpeg", "a.mp4", "signal 9"});
    EXPECT_TRUE(tmp.List().empty()) << "temporary sound track or log left behind";
}

TEST_F(Cli, WriteErrorsLeaveNoOutput)
{
    // A file size limit of one 512-byte block makes every write past it fail (EFBIG), as a
    // full disk would.
    ScratchDir tmp;
    RunOptions limited;
    limited.env = {{"TMPDIR", tmp.Path().string()}};
    limited.shellPrefix = "ulimit -f 1;";
    const RunResult png = RunHost({"render", tone_, "-o", (out_ / "frames/").string(), "--size", "160x120"}, limited);
    ExpectCleanFailure(png, out_, {"frame_000000.png", "File too large"});
    const RunResult mp4 = RunHost({"render", tone_, "-o", (out_ / "a.mp4").string()}, limited);
    ExpectCleanFailure(mp4, out_, {"cannot write audio file", "File too large"});
    EXPECT_TRUE(tmp.List().empty());
}

TEST_F(Cli, InterruptStopsAndRemovesPartialOutput)
{
    ScratchDir tmp;
    RunOptions options;
    options.env = {{"TMPDIR", tmp.Path().string()}};
    options.interruptAfterSeconds = 2.0;
    const RunResult video = RunHost({"render", "-o", (out_ / "demo.mp4").string(), "--size", "640x360"}, options);
    EXPECT_EQ(video.exitCode, 130) << video.err;
    EXPECT_TRUE(Contains(video.err, "interrupted")) << video.err;
    EXPECT_TRUE(out_.List().empty());
    EXPECT_TRUE(tmp.List().empty());

    options.interruptAfterSeconds = 1.5;
    const RunResult frames = RunHost({"render", "-o", (out_ / "frames/").string(), "--size", "640x360"}, options);
    EXPECT_EQ(frames.exitCode, 130) << frames.err;
    EXPECT_TRUE(out_.List().empty());
}

// ---------------------------------------------------------------- messages and signals

using Hostile = test::ToneFixture;

TEST_F(Hostile, FailuresStayOnOneLine)
{
    // ffmpeg's own words: the last line in the message, the rest kept in a named log.
    ScratchDir bin;
    std::ofstream(bin / "ffmpeg") << "#!/bin/sh\ncat >/dev/null\necho first >&2\necho second >&2\necho 'last words' >&2\nexit 1\n";
    fs::permissions(bin / "ffmpeg", fs::perms::owner_all);
    RunOptions fake = tmpEnv_;
    fake.env["PATH"] = bin.Path().string() + ":/usr/bin:/bin";
    const RunResult r = RunHost({"render", tone_, "-o", (out_ / "v.mp4").string(), "--size", "2x2", "--fps", "10"}, fake);
    ExpectOneLineError(r, {"v.mp4", "exit status 1", "last words", "log"});
    ASSERT_EQ(tmp_.List().size(), 1u);
    EXPECT_TRUE(Contains(r.err, tmp_.List()[0]));
    EXPECT_EQ(ReadAll(tmp_ / tmp_.List()[0]), "first\nsecond\nlast words\n");

    // A stub of an MP3: the decoder's own warnings stay off the terminal, and the message does
    // not call a regular file a pipe.
    const RunResult mp3 = test::RunShell("ffmpeg -v error -f lavfi -i sine=d=1 -c:a libmp3lame '" + (in_ / "ok.mp3").string() + "'");
    ASSERT_EQ(mp3.exitCode, 0) << mp3.err;
    std::ofstream(in_ / "stub.mp3", std::ios::binary) << ReadAll(in_ / "ok.mp3").substr(0, 100);
    const RunResult stub = RunHost({"render", (in_ / "stub.mp3").string(), "-o", (out_ / "v.mp4").string(), "-q"});
    ExpectOneLineError(stub, {"stub.mp3", "damaged"});
    EXPECT_FALSE(Contains(stub.err, "pipe")) << stub.err;

    // Standard output that takes nothing is a failure.
    const RunResult info = test::RunShell("'" + test::HostExe().string() + "' info '" + test::RealModule().string() + "' > /dev/full");
    EXPECT_EQ(info.exitCode, 1) << info.err;
}

TEST_F(Hostile, SignalsStopWhereverTheyArrive)
{
    // Blocked opening a FIFO nobody writes to.
    ASSERT_EQ(mkfifo((in_ / "fifo.wav").c_str(), 0600), 0);
    RunOptions interrupt = tmpEnv_;
    interrupt.interruptAfterSeconds = 0.5;
    const RunResult fifo = RunHost({"render", (in_ / "fifo.wav").string(), "-o", (out_ / "v.mp4").string()}, interrupt);
    EXPECT_EQ(fifo.exitCode, 130) << fifo.err;

    // A closed terminal mid-render: everything temporary goes, ffmpeg included.
    RunOptions hangUp = tmpEnv_;
    hangUp.shellPrefix = "(sleep 1.5; kill -HUP $$) & ";
    const RunResult hup = RunHost({"render", "-o", (out_ / "demo.mp4").string(), "--size", "640x360"}, hangUp);
    EXPECT_EQ(hup.exitCode, 130) << hup.err;
    EXPECT_TRUE(out_.List().empty());
    EXPECT_TRUE(tmp_.List().empty());
}

}  // namespace
}  // namespace nimbrelle::host
