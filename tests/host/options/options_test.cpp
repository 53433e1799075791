// Option values as the command line gives them: sizes, times, gains, qualities, frame rates;
// and the checks every command shares.
#include <cmath>

#include <gtest/gtest.h>

#include "base/error.h"
#include "options/options.h"
#include "support/host_support.h"

namespace nimbrelle::host {
namespace {

using test::RunHost;
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

}  // namespace
}  // namespace nimbrelle::host
