// Outputs: what each kind of OUT means, frame patterns, temporary paths; and names a hostile or
// unlucky user picks: collisions with inputs or ffmpeg's protocols, long names, full disks.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "base/error.h"
#include "support/host_support.h"
#include "audio/sound_track.h"
#include "base/files.h"
#include "output/target.h"
#include "output/video.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::Contains;
using test::ExpectOneLineError;
using test::ListFolder;
using test::Probe;
using test::ReadAll;
using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;
using Hostile = test::ToneFixture;

TEST(Output, ClassifiesVideoFoldersAndPatterns)
{
    ScratchDir dir;
    const std::string d = dir.Path().string();
    EXPECT_EQ(ClassifyOutput(d + "/a.mp4", false).container, VideoContainer::Mp4);
    EXPECT_EQ(ClassifyOutput(d + "/a.MKV", false).container, VideoContainer::Matroska);
    const OutputTarget webm = ClassifyOutput(d + "/a.webm", false);
    EXPECT_EQ(webm.kind, OutputKind::Video);
    EXPECT_EQ(webm.container, VideoContainer::WebM);

    // A folder: existing (with or without the slash), or new with a trailing slash.
    EXPECT_EQ(ClassifyOutput(d, false).kind, OutputKind::PngDirectory);
    const OutputTarget fresh = ClassifyOutput(d + "/frames/", false);
    EXPECT_EQ(fresh.kind, OutputKind::PngDirectory);
    EXPECT_EQ(fresh.path, dir / "frames");
    EXPECT_EQ(ClassifyOutput(d + "/f_%05d.png", false).kind, OutputKind::PngPattern);
    EXPECT_EQ(ClassifyOutput(d + "/one.png", true).kind, OutputKind::PngFile);

    for (const std::string& bad : std::vector<std::string>{d + "/a.avi", d + "/a", d + "/one.png", d + "/missing/a.mp4",
                                  d + "/missing/frames/", d + "/f_%q.png", std::string()}) {
        EXPECT_THROW(ClassifyOutput(bad, false), Error) << bad;
    }
    EXPECT_THROW(ClassifyOutput(d + "/a.mp4", true), Error);
    EXPECT_THROW(ClassifyOutput(d + "/missing/one.png", true), Error);
}

TEST(Output, FramePatternsNumberFrames)
{
    EXPECT_EQ(FramePattern("f_%06d.png").Format(42), "f_000042.png");
    EXPECT_EQ(FramePattern("%d.png").Format(1234567), "1234567.png");
    EXPECT_EQ(FramePattern("%03d.png").Format(12345), "12345.png");  // wider numbers are not cut
    EXPECT_EQ(FramePattern("100%%_%d.png").Format(0), "100%_0.png");
    EXPECT_EQ(FramePattern("%02d%%.png").Format(7), "07%.png");
    for (const char* bad : {"frame.png", "%d_%d.png", "%s.png", "%x.png", "%0d.png", "%2d.png", "%-5d.png", "%05", "%"}) {
        EXPECT_THROW(FramePattern{bad}, Error) << bad;
    }
}

TEST(Output, TemporaryPathsVanishUnlessReleased)
{
    ScratchDir dir;
    fs::path kept;
    {
        TempPath file = MakeTempFile(dir.Path(), ".x.partial-", ".mp4", true);
        TempPath folder = MakeTempDir(dir.Path(), ".frames.partial-");
        EXPECT_EQ(file.Path().extension(), ".mp4");
        std::ofstream(folder.Path() / "frame.png") << "data";
        TempPath keep = MakeTempFile(dir.Path(), "keep-", ".txt");
        kept = keep.Path();
        keep.Release();
    }
    EXPECT_EQ(dir.List(), std::vector<std::string>{kept.filename().string()});
}

// ---------------------------------------------------------------- outputs

TEST_F(Hostile, FramesReplaceOldOnesAllOrNone)
{
    for (const char* pattern : {"frames/", "frames/f_%03d.png"}) {
        SCOPED_TRACE(pattern);
        ScratchDir out;
        const fs::path folder = out / "frames";
        fs::create_directory(folder);
        const bool dir = std::string(pattern).ends_with("/");
        auto name = [&](int n) {
            char text[32];
            std::snprintf(text, sizeof text, dir ? "frame_%06d.png" : "f_%03d.png", n);
            return folder / text;
        };
        for (int n = 0; n < 10; ++n) std::ofstream(name(n)) << "old";
        fs::create_directory(name(10));  // the eleventh frame cannot replace a folder
        // 0.5 s at 30 fps: 15 frames.
        const RunResult r = RunHost({"render", tone_, "-o", (out / pattern).string(), "--size", "2x2", "--fps", "30"});
        ExpectOneLineError(r, {name(10).filename().string(), "folder"});
        for (int n = 0; n < 10; ++n) EXPECT_EQ(ReadAll(name(n)), "old") << n;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 11);
        EXPECT_EQ(out.List(), std::vector<std::string>{"frames"});
    }
}

TEST_F(Hostile, OutputFoldersNamedLikeFfmpegProtocolsAreFolders)
{
    for (const char* protocol : {"file:", "pipe:", "cache:"}) {
        fs::create_directory(out_ / protocol);
        RunOptions here = tmpEnv_;
        here.workDir = out_.Path();
        const RunResult r = RunHost({"render", tone_, "-o", std::string(protocol) + "/v.mp4", "--size", "2x2", "--fps", "10"}, here);
        EXPECT_EQ(r.exitCode, 0) << protocol << ": " << r.err;
        EXPECT_EQ(ListFolder(out_ / protocol), std::vector<std::string>{"v.mp4"});
    }
    for (const auto& entry : fs::directory_iterator("/")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".v.partial-")) << "ffmpeg wrote " << entry.path();
    }
}

// A live recording encodes its frames first and adds the sound in a second ffmpeg pass: that
// pass too must read a protocol-like folder as a folder and resample a rate the encoder refuses.
TEST_F(Hostile, ASoundAddedAfterTheFramesTakesTheSamePathsAndRates)
{
    constexpr int Rate = 11;
    const fs::path sound = tmp_ / (std::string("sound") + SoundTrackExtension);
    SoundTrackWriter writer(sound, Rate);
    const std::vector<float> samples = test::Sine(2.0, 0.5, Rate, 2 * Rate, 2, 0);
    writer.Write(samples.data(), samples.size() / 2);
    writer.Close();

    fs::create_directory(out_ / "pipe:");
    const fs::path before = fs::current_path();
    fs::current_path(out_.Path());
    VideoSettings settings;
    settings.size = {2, 2};
    settings.fps = FrameRate{10, 1};
    settings.sampleRate = Rate;
    std::string error;
    try {
        auto sink = MakeVideoSinkSoundLast(ClassifyOutput("pipe:/v.mp4", false), settings, sound);
        const std::vector<uint32_t> pixels(4, 0x00FF8000u);
        for (int64_t i = 0; i < 20; ++i) sink->Write(pixels.data(), i);
        sink->Commit();
    } catch (const Error& e) {
        error = e.what();
    }
    fs::current_path(before);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ListFolder(out_ / "pipe:"), std::vector<std::string>{"v.mp4"});
    EXPECT_EQ(Probe(out_ / "pipe:" / "v.mp4", "stream=codec_type"), "video\naudio\n");
}

TEST_F(Hostile, AnOutputNeverReplacesAnInput)
{
    fs::copy_file(tone_, in_ / "tone.mkv");
    const RunResult video = RunHost({"render", (in_ / "tone.mkv").string(), "-o", (in_ / "." / "tone.mkv").string()});
    ExpectOneLineError(video, {"tone.mkv", "input"});
    EXPECT_EQ(ReadAll(in_ / "tone.mkv"), ReadAll(tone_));

    fs::copy_file(test::FakeModule("probe"), in_ / "mod.mp4");
    const RunResult module = RunHost({"render", tone_, "--module", (in_ / "mod.mp4").string(), "-o", (in_ / "mod.mp4").string()});
    ExpectOneLineError(module, {"mod.mp4", "input"});
    fs::copy_file(tone_, in_ / "in.png");
    const RunResult snap = RunHost({"snapshot", (in_ / "in.png").string(), "-o", (in_ / "in.png").string(), "--at", "0"});
    ExpectOneLineError(snap, {"in.png", "input"});
    EXPECT_EQ(ReadAll(in_ / "in.png"), ReadAll(tone_));
}

TEST_F(Hostile, LongOutputNamesAndFullDisksNameTheOutput)
{
    // 250 characters: legal, though the temporary name beside it cannot be longer still.
    const std::string longName = std::string(246, 'n') + ".png";
    const RunResult shot = RunHost({"snapshot", tone_, "-o", (out_ / longName).string(), "--at", "0.1", "--size", "2x2"});
    ASSERT_EQ(shot.exitCode, 0) << shot.err;
    EXPECT_EQ(out_.List(), std::vector<std::string>{longName});
    fs::remove(out_ / longName);

    RunOptions limited;
    limited.shellPrefix = "ulimit -f 1;";
    const RunResult full = RunHost({"snapshot", tone_, "-o", (out_ / "s.png").string(), "--at", "0.1", "--size", "640x480"}, limited);
    ExpectOneLineError(full, {"'" + (out_ / "s.png").string() + "'", "File too large"});
    EXPECT_FALSE(Contains(full.err, "partial")) << full.err;
    EXPECT_TRUE(out_.List().empty());
}

TEST_F(Hostile, NamesThatCannotBeWrittenFailBeforeAnyAudioIsRead)
{
    // Each is refused before the audio is opened, so a missing audio file goes unmentioned.
    const std::string missing = (in_ / "missing.wav").string();
    const std::string name256 = std::string(252, 'n') + ".mp4";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const Case cases[] = {
        {{"render", missing, "-o", (out_ / name256).string()}, "256 bytes"},
        {{"render", missing, "-o", (out_ / std::string(256, 'f') / "v.mp4").string()}, "256 bytes"},
        {{"render", missing, "-o", (out_ / std::string(256, 'f')).string() + "/"}, "256 bytes"},
        // 255 bytes as a pattern, 260 as the names of its frames.
        {{"render", missing, "-o", (out_ / (std::string(247, 'p') + "%09d.png")).string()}, "260 bytes"},
        {{"snapshot", missing, "--at", "0", "-o", (out_ / (std::string(252, 's') + ".png")).string()}, "256 bytes"},
        {{"live", "-o", (out_ / name256).string()}, "256 bytes"},
        {{"live", "-o", ""}, "the output name is empty"},
        {{"render", missing, "-o", ""}, "the output name is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " -o " + c.args.back().substr(0, 60));
        const RunResult r = RunHost(c.args);
        ExpectOneLineError(r, {c.says});
        EXPECT_FALSE(Contains(r.err, "missing.wav")) << r.err;
    }
    EXPECT_TRUE(out_.List().empty());
}

TEST_F(Hostile, AnExistingFolderForFramesMustBeWritable)
{
    // The frames move into an existing folder at the end: one they cannot enter is refused first.
    const fs::path folder = out_ / "locked";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(out_.Path(), fs::perms::all);
    const std::string args = " render '" + (in_ / "missing.wav").string() + "' -o '" + folder.string() + "/'";
    // Permissions do not hold for root: the program then runs as nobody.
    const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const RunResult r = test::RunShell(as + "'" + test::HostExe().string() + "'" + args);
    ExpectOneLineError(r, {"cannot write to output folder", "locked", "Permission denied"});
    EXPECT_TRUE(ListFolder(folder).empty());
}

}  // namespace
}  // namespace nimbrelle::host
