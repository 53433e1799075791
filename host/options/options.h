// The command line's values: the options the frame-drawing commands share, and the parser of
// each value. Every failure is an Error naming the option and the value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/geometry.h"
#include "base/timing.h"
#include "nimbrelle/picture.h"

namespace nimbrelle::host {

inline constexpr int MaxFrameSide = 8192;

// The shared options as typed, before any check; an empty text means "not given".
struct CommandText {
    std::string audio;
    std::string output;
    std::string size = "1280x720";
    std::string fps = "60";
    std::string module;
    std::string gain = "1";
    std::string start = "0";
    std::string duration;
    std::string crf;
    std::string preset;
    std::string background = "blue";
    bool quiet = false;
};

// The shared options, checked. A command uses those it offers; the rest keep their defaults.
struct CommandOptions {
    std::optional<std::filesystem::path> audio;   // the demo piece when empty
    std::string output;                           // empty: none (play, live without -o)
    FrameGeometry size{1280, 720};
    FrameRate fps{60, 1};
    std::optional<std::filesystem::path> module;  // the default module when empty
    float gain = 1.0f;
    double start = 0.0;
    std::optional<double> duration;               // more than 0 when set
    std::optional<int> crf;                       // the codec's default when empty
    std::string preset;                           // an x264 preset; empty: the command's default
    picture::Background background = picture::Background::Blue;  // what outputs put behind the light
    bool quiet = false;
};

// Checks every shared option the same way for every command.
CommandOptions ParseCommand(const CommandText& text);

// "1280x720": each side 1 to MaxFrameSide pixels.
FrameGeometry ParseSize(std::string_view text);

// "60", "29.97" (up to six decimals) or "30000/1001": 1 to 1000 frames per second.
FrameRate ParseFrameRate(std::string_view text);

// A time in seconds: "12", "12.5" or "1:30" / "1:02:03.5". Non-negative and finite.
double ParseSeconds(std::string_view option, std::string_view text);

// A gain factor: a finite number from 0 to 1000.
float ParseGain(std::string_view text);

// A quality of any of the encoders: 0 to 63 (each codec's own range is checked once the output
// is known, by CheckEncoderOptions in output/video.h).
int ParseCrf(std::string_view text);

// One of x264's presets, ultrafast to placebo.
void CheckPreset(std::string_view text);

// "blue", "black" or "transparent".
picture::Background ParseBackground(std::string_view text);

}  // namespace nimbrelle::host
