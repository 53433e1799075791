#include "options/options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "base/error.h"

namespace nimbrelle::host {

namespace {

bool ParseWhole(std::string_view text, int64_t& value)
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

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

[[noreturn]] void BadRate(std::string_view text, std::string_view why)
{
    throw Error("invalid frame rate " + Quoted(text) + ": " + std::string(why));
}

}  // namespace

FrameRate ParseFrameRate(std::string_view text)
{
    constexpr std::string_view Expected = "expected a number such as 60, 29.97 or 30000/1001";
    int64_t num = 0, den = 1;
    const auto slash = text.find('/');
    const auto dot = text.find('.');
    if (slash != std::string_view::npos) {
        if (!ParseWhole(text.substr(0, slash), num) || !ParseWhole(text.substr(slash + 1), den)) BadRate(text, Expected);
        if (den == 0) BadRate(text, "the denominator is zero");
    } else if (dot != std::string_view::npos) {
        const auto whole = text.substr(0, dot), fraction = text.substr(dot + 1);
        if ((!whole.empty() && !AllDigits(whole)) || !AllDigits(fraction) || fraction.size() > 6) BadRate(text, Expected);
        int64_t w = 0, f = 0;
        if ((!whole.empty() && !ParseWhole(whole, w)) || !ParseWhole(fraction, f) || w > MaxFps) {
            BadRate(text, "it must be between 1 and 1000");
        }
        for (std::size_t i = 0; i < fraction.size(); ++i) den *= 10;
        num = w * den + f;
    } else if (!ParseWhole(text, num)) {
        BadRate(text, Expected);
    }
    if (den > 1'000'000 || num > MaxFps * den || num < MinFps * den) {
        BadRate(text, "it must be between 1 and 1000 frames per second");
    }
    const int64_t g = std::gcd(num, den);
    return FrameRate{num / g, den / g};
}

FrameGeometry ParseSize(std::string_view text)
{
    const auto x = text.find_first_of("xX");
    int64_t w = 0, h = 0;
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
        int64_t whole = 0;
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
    int64_t v = 0;
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

picture::Background ParseBackground(std::string_view text)
{
    const std::optional<picture::Background> background = picture::ParseBackground(text);
    if (!background) {
        throw Error("invalid --background " + Quoted(text) + ": expected blue, black or transparent");
    }
    return *background;
}

CommandOptions ParseCommand(const CommandText& text)
{
    CommandOptions o;
    if (!text.audio.empty()) o.audio = text.audio;
    o.output = text.output;
    o.size = ParseSize(text.size);
    o.fps = ParseFrameRate(text.fps);
    if (!text.module.empty()) o.module = text.module;
    o.gain = ParseGain(text.gain);
    o.start = ParseSeconds("--start", text.start);
    if (!text.duration.empty()) {
        o.duration = ParseSeconds("--duration", text.duration);
        if (*o.duration <= 0.0) throw Error("--duration must be more than 0 seconds");
    }
    if (!text.crf.empty()) o.crf = ParseCrf(text.crf);
    if (!text.preset.empty()) CheckPreset(text.preset);
    o.preset = text.preset;
    o.background = ParseBackground(text.background);
    o.quiet = text.quiet;
    return o;
}

}  // namespace nimbrelle::host
