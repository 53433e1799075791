// Outputs: what each kind of OUT means, frame patterns, temporary paths; and names a hostile or
// unlucky user picks: collisions with inputs or ffmpeg's protocols, long names, full disks.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <numeric>

#include <gtest/gtest.h>

#include "base/error.h"
#include "support/host_support.h"
#include "audio/sound_track.h"
#include "base/files.h"
#include "nimbrelle/picture.h"
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
    EXPECT_EQ(ClassifyOutput(d + "/a.mov", false).container, VideoContainer::QuickTime);
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

// ---------------------------------------------------------------- backgrounds

using picture::Background;

// A loud second of the demo at 160x96, drawn with each background.
class Overlay : public ::testing::Test {
protected:
    static constexpr int Width = 160, Height = 96;

    // Renders to `output` (in out_) with `extra` options; fails the test when the render does.
    fs::path Render(const std::string& output, std::vector<std::string> extra, const std::string& duration = "1")
    {
        std::vector<std::string> args = {"render", "-o", (out_ / output).string(), "--size", "160x96",
                                         "--start", "17", "--duration", duration, "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = RunHost(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out_ / output;
    }

    // The PNG frames of a folder, in order.
    static std::vector<test::RgbaImage> Frames(const fs::path& folder)
    {
        std::vector<test::RgbaImage> frames;
        for (const std::string& name : ListFolder(folder)) {
            std::optional<test::RgbaImage> image = test::ReadPngRgba(folder / name);
            EXPECT_TRUE(image.has_value()) << name;
            if (image) frames.push_back(std::move(*image));
        }
        return frames;
    }

    ScratchDir out_;
};

TEST_F(Overlay, PngFramesHoldTheLightAndItsStraightAlphaExactly)
{
    const std::vector<test::RgbaImage> blue = Frames(Render("blue/", {}, "0.25"));
    const std::vector<test::RgbaImage> black = Frames(Render("black/", {"--background", "black"}, "0.25"));
    const std::vector<test::RgbaImage> clear = Frames(Render("clear/", {"--background", "transparent"}, "0.25"));
    ASSERT_EQ(blue.size(), 15u);
    ASSERT_EQ(black.size(), blue.size());
    ASSERT_EQ(clear.size(), blue.size());
    int seeThrough = 0, opaque = 0;
    for (std::size_t n = 0; n < blue.size(); ++n) {
        EXPECT_FALSE(blue[n].hasAlpha || black[n].hasAlpha) << "opaque backgrounds are RGB files";
        EXPECT_TRUE(clear[n].hasAlpha) << "transparent frames are RGBA files";
        for (std::size_t i = 0; i < blue[n].rgba.size() / 4; ++i) {
            const uint8_t* p = &blue[n].rgba[4 * i];
            const uint32_t pixel = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
            const uint32_t light = picture::LightOf(pixel), argb = picture::StraightAlphaOf(light);
            const std::vector<uint8_t> expectBlack = {static_cast<uint8_t>(light >> 16), static_cast<uint8_t>(light >> 8),
                                                      static_cast<uint8_t>(light), 255};
            const std::vector<uint8_t> expectClear = {static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8),
                                                      static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 24)};
            ASSERT_EQ(std::vector<uint8_t>(&black[n].rgba[4 * i], &black[n].rgba[4 * i + 4]), expectBlack) << "frame " << n << " pixel " << i;
            ASSERT_EQ(std::vector<uint8_t>(&clear[n].rgba[4 * i], &clear[n].rgba[4 * i + 4]), expectClear) << "frame " << n << " pixel " << i;
            seeThrough += argb >> 24 == 0;
            opaque += argb >> 24 == 255;
        }
    }
    EXPECT_GT(seeThrough, 15 * Width * Height / 2) << "the background is see-through";
    EXPECT_GT(opaque, 100) << "the brightest light is opaque";

    // A snapshot, at an odd size, converts the same way.
    for (const char* background : {"blue", "transparent"}) {
        const RunResult shot = RunHost({"snapshot", "-o", (out_ / (std::string(background) + ".png")).string(), "--size",
                                        "161x97", "--at", "1", "--background", background, "-q"});
        ASSERT_EQ(shot.exitCode, 0) << shot.err;
    }
    const std::optional<test::RgbaImage> shot = test::ReadPngRgba(out_ / "blue.png");
    const std::optional<test::RgbaImage> clearShot = test::ReadPngRgba(out_ / "transparent.png");
    ASSERT_TRUE(shot && clearShot);
    ASSERT_EQ(clearShot->rgba.size(), 161u * 97u * 4u);
    for (std::size_t i = 0; i < shot->rgba.size(); i += 4) {
        const uint8_t* p = &shot->rgba[i];
        const uint32_t argb =
            picture::StraightAlphaOf(picture::LightOf(static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]));
        ASSERT_EQ(clearShot->rgba[i + 3], argb >> 24) << "pixel " << i / 4;
        ASSERT_EQ(clearShot->rgba[i], static_cast<uint8_t>(argb >> 16)) << "pixel " << i / 4;
    }
}

// Alpha decoded from a video against the host's exact alpha (PNG frames of the same render).
struct AlphaErrors {
    double mean = 0.0;
    int p99 = 0;        // 99th percentile of the absolute differences
    int worst = 0;
    int flatWorst = 0;  // the worst where the host's alpha is the same over a 5x5 neighbourhood
    int flatPixels = 0;
};

AlphaErrors CompareAlpha(const std::vector<test::RgbaImage>& exact, const std::vector<std::vector<uint8_t>>& decoded, int width,
                         int height)
{
    AlphaErrors e;
    std::vector<int> all;
    for (std::size_t n = 0; n < std::min(exact.size(), decoded.size()); ++n) {
        auto alpha = [&](const std::vector<uint8_t>& rgba, int x, int y) { return rgba[static_cast<std::size_t>(4 * (y * width + x) + 3)]; };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int a = alpha(exact[n].rgba, x, y);
                const int d = std::abs(a - alpha(decoded[n], x, y));
                all.push_back(d);
                bool flat = x >= 2 && y >= 2 && x < width - 2 && y < height - 2;
                for (int j = -2; flat && j <= 2; ++j) {
                    for (int i = -2; flat && i <= 2; ++i) flat = alpha(exact[n].rgba, x + i, y + j) == a;
                }
                if (flat) {
                    e.flatWorst = std::max(e.flatWorst, d);
                    ++e.flatPixels;
                }
            }
        }
    }
    if (all.empty()) return e;
    std::sort(all.begin(), all.end());
    e.mean = std::accumulate(all.begin(), all.end(), 0.0) / static_cast<double>(all.size());
    e.p99 = all[all.size() * 99 / 100];
    e.worst = all.back();
    return e;
}

// Whether the video stream of `file` says it has alpha: the tag alpha_mode=1, whatever its case
// (a copying pass writes ALPHA_MODE).
bool TaggedWithAlpha(const fs::path& file)
{
    std::string tags = test::RunShell("ffprobe -v error -select_streams v -show_entries stream_tags -of default=nw=1 '" +
                                      file.string() + "'")
                           .out;
    for (char& c : tags) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Contains(tags, "tag:alpha_mode=1\n");
}

TEST_F(Overlay, WebmAndMovCarryAlphaCloseToTheHosts)
{
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    const std::vector<test::RgbaImage> exact = Frames(Render("exact/", {"--background", "transparent"}));
    ASSERT_EQ(exact.size(), 60u);

    // VP9 keeps alpha as a second stream that only libvpx's decoder reads (ffmpeg's own VP9
    // decoder drops it without a word). Measured at --crf 10: a mean difference of 0.9 levels,
    // a 99th percentile of 5 and at most 18 at the sharp edges of stars and rays; at most 7
    // where the alpha is flat.
    const fs::path webm = Render("clear.webm", {"--background", "transparent", "--crf", "10"});
    EXPECT_TRUE(TaggedWithAlpha(webm));
    const std::vector<std::vector<uint8_t>> vp9 = test::DecodeRgba(webm, Width, Height, "-c:v libvpx-vp9");
    ASSERT_EQ(vp9.size(), 60u);
    const AlphaErrors v = CompareAlpha(exact, vp9, Width, Height);
    EXPECT_LE(v.mean, 2.0);
    EXPECT_LE(v.p99, 12);
    EXPECT_LE(v.worst, 48);
    EXPECT_GT(v.flatPixels, 60 * Width * Height / 10);
    EXPECT_LE(v.flatWorst, 16);

    // ProRes 4444 keeps 16-bit alpha: off by at most one level after 8 bits to 10 and back.
    const fs::path mov = Render("clear.mov", {"--background", "transparent"});
    EXPECT_EQ(Probe(mov, "stream=codec_name,profile -select_streams v"), "prores\n4444\n");
    EXPECT_TRUE(Probe(mov, "stream=pix_fmt -select_streams v").starts_with("yuva444p"));
    EXPECT_EQ(Probe(mov, "stream=codec_name,sample_rate -select_streams a"), "pcm_s24le\n48000\n");
    const std::vector<std::vector<uint8_t>> prores = test::DecodeRgba(mov, Width, Height);
    ASSERT_EQ(prores.size(), 60u);
    const AlphaErrors p = CompareAlpha(exact, prores, Width, Height);
    EXPECT_LE(p.worst, 1);
}

TEST_F(Overlay, OpaqueBackgroundsAreOpaqueVideo)
{
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe missing";
    // ProRes 4444 without alpha for black (and blue).
    EXPECT_EQ(Probe(Render("black.mov", {"--background", "black"}, "0.2"), "stream=codec_name,pix_fmt -select_streams v"),
              "prores\nyuv444p12le\n");
    // Black is the light alone: where the scene is dark the blue channel is about 0 (0x22 on
    // the blue background), give or take the colour 4:2:0 spreads from the stars beside it.
    const std::vector<test::RgbaImage> exact = Frames(Render("black/", {"--background", "black"}, "0.2"));
    const std::vector<std::vector<uint8_t>> decoded = test::DecodeRgba(Render("black.mp4", {"--background", "black"}, "0.2"), Width, Height);
    ASSERT_EQ(decoded.size(), exact.size());
    int dark = 0;
    double blue = 0.0;
    for (std::size_t i = 0; i < exact[5].rgba.size(); i += 4) {
        if (exact[5].rgba[i] + exact[5].rgba[i + 1] + exact[5].rgba[i + 2] != 0) continue;
        ++dark;
        blue += decoded[5][i + 2];
    }
    EXPECT_GT(dark, Width * Height / 2);
    EXPECT_LT(blue / dark, 6.0);
}

// A live recording encodes its frames first and adds the sound in a copying pass, which keeps
// the alpha stream (and renames the tag: ALPHA_MODE).
TEST_F(Hostile, TransparentFramesKeepTheirAlphaThroughTheSoundPass)
{
    const fs::path sound = tmp_ / (std::string("sound") + SoundTrackExtension);
    SoundTrackWriter writer(sound, 48000);
    const std::vector<float> samples = test::Sine(440.0, 0.5, 48000, 48000, 2);
    writer.Write(samples.data(), samples.size() / 2);
    writer.Close();

    // Left half the background (see-through), right half white (opaque), 1 s at 30 fps.
    VideoSettings settings;
    settings.size = {160, 96};
    settings.fps = FrameRate{30, 1};
    settings.background = Background::Transparent;
    std::vector<uint32_t> pixels(160 * 96, picture::SceneBackground);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (i % 160 >= 80) pixels[i] = 0x00FFFFFFu;
    }
    auto sink = MakeVideoSinkSoundLast(ClassifyOutput((out_ / "v.webm").string(), false), settings, sound);
    for (int64_t n = 0; n < 30; ++n) sink->Write(pixels.data(), n);
    sink->Commit();

    EXPECT_TRUE(TaggedWithAlpha(out_ / "v.webm"));
    const std::vector<std::vector<uint8_t>> frames = test::DecodeRgba(out_ / "v.webm", 160, 96, "-c:v libvpx-vp9");
    ASSERT_EQ(frames.size(), 30u);
    for (const std::vector<uint8_t>& f : frames) {
        EXPECT_LE(f[4 * (48 * 160 + 20) + 3], 2) << "left: see-through";
        EXPECT_GE(f[4 * (48 * 160 + 140) + 3], 253) << "right: opaque";
    }
}

}  // namespace
}  // namespace nimbrelle::host
