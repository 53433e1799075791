#include "base/timing.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "base/error.h"

namespace nimbrelle::host {
namespace {

bool ParseInt(std::string_view text, int64_t& value)
{
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

bool AllDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

[[noreturn]] void BadRate(std::string_view text, std::string_view why)
{
    throw Error("invalid frame rate " + Quoted(text) + ": " + std::string(why));
}

}  // namespace

FrameRate ParseFrameRate(std::string_view text)
{
    int64_t num = 0, den = 1;
    const auto slash = text.find('/');
    const auto dot = text.find('.');
    if (slash != std::string_view::npos) {
        const auto top = text.substr(0, slash), bottom = text.substr(slash + 1);
        if (!AllDigits(top) || !AllDigits(bottom) || !ParseInt(top, num) || !ParseInt(bottom, den)) {
            BadRate(text, "expected a number such as 60, 29.97 or 30000/1001");
        }
        if (den == 0) BadRate(text, "the denominator is zero");
    } else if (dot != std::string_view::npos) {
        const auto whole = text.substr(0, dot), fraction = text.substr(dot + 1);
        if ((!whole.empty() && !AllDigits(whole)) || !AllDigits(fraction) || fraction.size() > 6) {
            BadRate(text, "expected a number such as 60, 29.97 or 30000/1001");
        }
        int64_t w = 0, f = 0;
        if ((!whole.empty() && !ParseInt(whole, w)) || !ParseInt(fraction, f) || w > MaxFps) {
            BadRate(text, "it must be between 1 and 1000");
        }
        for (std::size_t i = 0; i < fraction.size(); ++i) den *= 10;
        num = w * den + f;
    } else {
        if (!AllDigits(text) || !ParseInt(text, num)) {
            BadRate(text, "expected a number such as 60, 29.97 or 30000/1001");
        }
    }
    if (den > 1'000'000 || num > MaxFps * den || num < MinFps * den) {
        BadRate(text, "it must be between 1 and 1000 frames per second");
    }
    const int64_t g = std::gcd(num, den);
    return FrameRate{num / g, den / g};
}

std::string SecondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

}  // namespace nimbrelle::host
