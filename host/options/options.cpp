#include "options/options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

#include "base/error.h"

namespace nimbrelle::host {

namespace {

bool ParseWhole(std::string_view text, long long& value)
{
    if (text.empty() || text.front() == '+' || text.front() == '-') return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

// A plain decimal number: digits with an optional fraction; no sign, exponent, inf or nan.
bool ParseDecimal(std::string_view text, double& value)
{
    if (text.empty() || text.size() > 32) return false;
    bool digit = false, dot = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    if (!digit) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && std::isfinite(value);
}

}  // namespace

FrameGeometry ParseSize(std::string_view text)
{
    const auto x = text.find_first_of("xX");
    long long w = 0, h = 0;
    if (x == std::string_view::npos || !ParseWhole(text.substr(0, x), w) || !ParseWhole(text.substr(x + 1), h)) {
        throw Error("invalid --size " + Quoted(text) + ": expected WIDTHxHEIGHT, e.g. 1280x720");
    }
    if (w < 1 || h < 1 || w > MaxFrameSide || h > MaxFrameSide) {
        throw Error("invalid --size " + Quoted(text) + ": width and height must be 1 to " +
                    std::to_string(MaxFrameSide) + " pixels");
    }
    return FrameGeometry{static_cast<int>(w), static_cast<int>(h)};
}

double ParseSeconds(std::string_view option, std::string_view text)
{
    // Up to two "h:m:" fields before the seconds.
    std::array<std::string_view, 3> fields{};
    std::size_t count = 0;
    std::string_view rest = text;
    for (;;) {
        const auto colon = rest.find(':');
        if (count == fields.size() - 1 || colon == std::string_view::npos) {
            fields[count++] = rest;
            break;
        }
        fields[count++] = rest.substr(0, colon);
        rest = rest.substr(colon + 1);
    }
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        double v = 0.0;
        const bool last = i + 1 == count;
        long long whole = 0;
        const bool ok = last ? ParseDecimal(fields[i], v) : ParseWhole(fields[i], whole);
        // Minutes after hours, like seconds after minutes, stay below 60.
        const bool overflows = last ? count > 1 && v >= 60.0 : whole > (i > 0 ? 59 : 1'000'000);
        if (!ok || overflows) {
            throw Error("invalid " + std::string(option) + " " + Quoted(text) +
                        ": expected seconds, e.g. 12.5, or minutes:seconds, e.g. 1:30");
        }
        total = total * 60.0 + (last ? v : static_cast<double>(whole));
    }
    if (!(total <= 1e7)) {
        throw Error("invalid " + std::string(option) + " " + Quoted(text) + ": too long");
    }
    return total;
}

float ParseGain(std::string_view text)
{
    double v = 0.0;
    if (!ParseDecimal(text, v) || v > 1000.0) {
        throw Error("invalid --gain " + Quoted(text) + ": expected a number from 0 to 1000, e.g. 1.5");
    }
    return static_cast<float>(v);
}

int ParseCrf(std::string_view text)
{
    long long v = 0;
    if (!ParseWhole(text, v) || v > 63) {
        throw Error("invalid --crf " + Quoted(text) + ": expected a whole number from 0 to 63");
    }
    return static_cast<int>(v);
}

void CheckPreset(std::string_view text)
{
    static constexpr std::array<std::string_view, 10> Presets{
        "ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow", "placebo"};
    for (std::string_view p : Presets) {
        if (p == text) return;
    }
    throw Error("invalid --preset " + Quoted(text) + ": expected one of ultrafast, superfast, veryfast, faster, fast, "
                "medium, slow, slower, veryslow, placebo");
}

}  // namespace nimbrelle::host
