// Output names: what each kind of OUT means, frame patterns, and option values.
#include <fstream>

#include <gtest/gtest.h>

#include "base/error.h"
#include "support/host_support.h"
#include "options/options.h"
#include "output/target.h"

namespace nimbrelle::host {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

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

TEST(Options, SizesTimesAndGains)
{
    EXPECT_EQ(ParseSize("1280x720").width, 1280);
    EXPECT_EQ(ParseSize("161X121").height, 121);
    EXPECT_EQ(ParseSize("8192x1").width, 8192);
    for (const char* bad : {"0x0", "0x720", "-5x10", "100000x100000", "8193x10", "axb", "1280", "1280x",
                            "x720", "12.5x10", "1280x720x3", "+5x5", "99999999999999999999x1"}) {
        EXPECT_THROW(ParseSize(bad), Error) << bad;
    }
    EXPECT_DOUBLE_EQ(ParseSeconds("--start", "12.5"), 12.5);
    EXPECT_DOUBLE_EQ(ParseSeconds("--start", "1:30"), 90.0);
    EXPECT_DOUBLE_EQ(ParseSeconds("--start", "1:02:03.5"), 3723.5);
    EXPECT_DOUBLE_EQ(ParseSeconds("--start", "0"), 0.0);
    for (const char* bad : {"", "-1", "abc", "1:60", "1:2:3:4", "nan", "inf", "1e3", "1::2", ":30"}) {
        EXPECT_THROW(ParseSeconds("--start", bad), Error) << bad;
    }
    EXPECT_FLOAT_EQ(ParseGain("2.5"), 2.5f);
    EXPECT_FLOAT_EQ(ParseGain("0"), 0.0f);
    for (const char* bad : {"-1", "1001", "nan", "loud", ""}) EXPECT_THROW(ParseGain(bad), Error) << bad;
    EXPECT_EQ(ParseCrf("23"), 23);
    EXPECT_THROW(ParseCrf("64"), Error);
    EXPECT_NO_THROW(CheckPreset("veryfast"));
    EXPECT_THROW(CheckPreset("warp"), Error);
}

}  // namespace
}  // namespace nimbrelle::host
