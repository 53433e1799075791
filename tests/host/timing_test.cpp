// Frame rates as the command line gives them.
#include <cmath>

#include <gtest/gtest.h>

#include "base/error.h"
#include "support/host_support.h"
#include "base/timing.h"

namespace nimbrelle::host {
namespace {

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

}  // namespace
}  // namespace nimbrelle::host
