// Option values as the command line gives them: sizes, times, gains, qualities, frame rates;
// and the checks every command shares.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "base/error.h"
#include "options/options.h"
#include "output/encoding.h"
#include "support/host_support.h"

namespace nimbrelle::host {
namespace {

using test::RunHost;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;

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

TEST(FrameRate, ParsesWholeDecimalAndFractionalRates)
{
    EXPECT_EQ(ParseFrameRate("60"), (FrameRate{60, 1}));
    EXPECT_EQ(ParseFrameRate("29.97"), (FrameRate{2997, 100}));
    EXPECT_EQ(ParseFrameRate("23.976"), (FrameRate{2997, 125}));
    EXPECT_EQ(ParseFrameRate("30000/1001"), (FrameRate{30000, 1001}));
    EXPECT_EQ(ParseFrameRate("120/2"), (FrameRate{60, 1}));
    EXPECT_EQ(ParseFrameRate("25.0"), (FrameRate{25, 1}));
    EXPECT_EQ(ParseFrameRate("1000"), (FrameRate{1000, 1}));
    EXPECT_EQ(ParseFrameRate("30000/1001").ToString(), "30000/1001");
    EXPECT_EQ(ParseFrameRate("60").ToString(), "60");

    for (const char* bad : {"", "0", "0.5", "-30", "1001", "abc", "60fps", "1/0", "30/", "/2", "1e2", "nan",
                            "inf", "60.", "1.1234567", "99999999999999999999", " 60", "+60", "30000/-1001"}) {
        EXPECT_THROW(ParseFrameRate(bad), Error) << Quoted(bad);
    }
}

TEST(Times, ClockFieldsStayBelowSixtyAndMomentsBeforeTheEndAreInside)
{
    EXPECT_EQ(ParseSeconds("--start", "1:59:59"), 7199.0);
    EXPECT_THROW(ParseSeconds("--start", "0:99:00"), Error);
    EXPECT_THROW(ParseSeconds("--start", "1:60"), Error);
    EXPECT_EQ(ParseSeconds("--start", "99:00"), 5940.0);

    ScratchDir dir;
    test::WriteAudio(dir / "two.wav", std::vector<float>(96000, 0.25f), 48000, 1);
    const RunResult r = RunHost({"snapshot", (dir / "two.wav").string(), "-o", (dir / "s.png").string(), "--at", "1.99999",
                                 "--size", "2x2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const RunResult late = RunHost({"render", (dir / "two.wav").string(), "-o", (dir / "f/").string(), "--start", "1.99999",
                                    "--size", "2x2"});
    EXPECT_EQ(late.exitCode, 0) << late.err;
}

TEST(EncoderOptions, EachCodecTakesItsOwnQualitiesAndPresetsAndAlphaNeedsAFormatWithIt)
{
    ScratchDir dir;
    struct Case {
        std::string output;
        std::vector<std::string> options;  // --crf N, --preset NAME, --background KIND
        std::vector<std::string> says;     // empty: accepted
    };
    const Case cases[] = {
        {"a.mp4", {"--crf", "0", "--preset", "slow"}, {}},
        {"a.mp4", {"--crf", "51"}, {}},
        {"a.mkv", {"--crf", "52"}, {"--crf 52", "a.mkv", "H.264 takes 0 to 51"}},
        {"a.mp4", {"--crf", "63"}, {"--crf 63", "0 to 51"}},
        {"a.webm", {"--crf", "63", "--background", "transparent"}, {}},
        {"a.webm", {"--preset", "ultrafast"}, {"--preset", "a.webm", "VP9", "realtime", "leave --preset out"}},
        {"a.mov", {"--background", "transparent"}, {}},
        {"a.mov", {"--crf", "20"}, {"--crf", "a.mov", "ProRes 4444", "leave --crf out"}},
        {"a.mov", {"--preset", "fast"}, {"--preset", "a.mov", "ProRes 4444"}},
        {"frames/", {"--background", "transparent"}, {}},
        {"frames/", {"--crf", "20"}, {"--crf", "PNG", "lossless"}},
        {"f_%03d.png", {"--preset", "fast"}, {"--preset", "PNG"}},
        {"a.mp4", {"--background", "transparent"}, {"--background transparent", "a.mp4", "H.264", ".webm", ".mov", "PNG"}},
        {"a.mkv", {"--background", "black"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " " + testing::PrintToString(c.options));
        CommandText text;
        text.output = (dir / c.output).string();
        for (std::size_t i = 0; i + 1 < c.options.size(); i += 2) {
            (c.options[i] == "--crf" ? text.crf : c.options[i] == "--preset" ? text.preset : text.background) = c.options[i + 1];
        }
        const CommandOptions options = ParseCommand(text);
        if (c.says.empty()) {
            EXPECT_NO_THROW(CheckEncoderOptions(ClassifyOutput(text.output, false), options));
            continue;
        }
        try {
            CheckEncoderOptions(ClassifyOutput(text.output, false), options);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            for (const std::string& part : c.says) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(ParseBackground("black"), picture::Background::Black);
    EXPECT_THROW(ParseBackground("Black"), Error);
    EXPECT_THROW(ParseBackground("white"), Error);
}

// The commands refuse what their output cannot do before any work: no audio is decoded, no
// device opened, nothing written.
TEST(EncoderOptions, CommandsRefuseBeforeAnyWork)
{
    ScratchDir dir;
    const std::string missing = (dir / "missing.wav").string();  // decoding it would be an error of its own
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"render", missing, "-o", (dir / "a.mp4").string(), "--crf", "55"}, {"--crf 55", "0 to 51"}},
        {{"render", missing, "-o", (dir / "a.mp4").string(), "--background", "transparent"}, {"alpha channel", "a.mp4"}},
        {{"render", missing, "-o", (dir / "a.webm").string(), "--background", "white"}, {"--background", "white"}},
        {{"snapshot", missing, "-o", (dir / "a.png").string(), "--at", "1", "--background", "clear"}, {"--background", "clear"}},
        {{"live", "-o", (dir / "a.mov").string(), "--crf", "10", "--duration", "1"}, {"--crf", "a.mov"}},
        {{"live", "-o", (dir / "a.webm").string(), "--preset", "fast", "--duration", "1"}, {"--preset", "a.webm"}},
    };
    RunOptions options;
    options.env = {{"SDL_AUDIODRIVER", "no-such-driver"}, {"SDL_VIDEODRIVER", "no-such-driver"}};
    for (const auto& [args, says] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const RunResult r = RunHost(args, options);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("nimbrelle: error: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        for (const std::string& part : says) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
    }
    EXPECT_EQ(dir.List(), std::vector<std::string>{});
}

}  // namespace
}  // namespace nimbrelle::host
