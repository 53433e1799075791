// The plug-in in the real VLC, headless: its pictures against `nimbrelle render`'s frames of
// the same file, modules that cannot be used, compressed files, and rates outside the
// analysis's range.
#include <sndfile.h>

#include <algorithm>
#include <fstream>
#include <iostream>

#include "vlc_support.h"

namespace nimbrelle::vlc::test {
namespace {

using host::test::Contains;
using host::test::RunHost;

// Two seconds of a tone with bursts, so every frame's record differs.
fs::path MusicWav(const VlcFolder& folder, const std::string& name, int rate, int channels, int format)
{
    std::vector<float> samples = host::test::Sine(440.0, 0.5, rate, 2 * rate, channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] *= static_cast<float>((i / static_cast<std::size_t>(channels * rate / 8)) % 3) * 0.6f;
    }
    const fs::path path = folder / name;
    host::test::WriteAudio(path, samples, rate, channels, format);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    return path;
}

// `nimbrelle render`'s frames of `input` as PNG files, in order.
std::vector<host::test::Image> Rendered(const fs::path& input, const std::string& size, const std::string& fps,
                                        const std::string& gain)
{
    ScratchDir pngs;
    const RunResult rendered = RunHost({"render", input.string(), "-q", "--size", size, "--fps", fps, "--gain", gain,
                                        "-o", pngs.Path().string() + "/"});
    EXPECT_EQ(rendered.exitCode, 0) << rendered.err;
    std::vector<host::test::Image> frames;
    for (const std::string& name : pngs.List()) frames.push_back(*host::test::ReadPng(pngs / name));
    return frames;
}

bool Same(const std::vector<uint8_t>& bgrx, const host::test::Image& rgb)
{
    if (bgrx.size() != rgb.rgb.size() / 3 * 4) return false;
    for (std::size_t i = 0; i < rgb.rgb.size() / 3; ++i) {
        if (bgrx[i * 4 + 2] != rgb.rgb[i * 3] || bgrx[i * 4 + 1] != rgb.rgb[i * 3 + 1] ||
            bgrx[i * 4] != rgb.rgb[i * 3 + 2]) {
            return false;
        }
    }
    return true;
}

// How the pictures VLC wrote compare with the rendered frames: each equal to a later frame than
// the picture before it, or to the same one (the output shows a picture again when no newer one
// is due). Stops at the first picture that equals none.
struct Match {
    std::size_t pictures = 0;  // pictures that matched
    std::size_t frames = 0;    // distinct frames among them
};
Match MatchInOrder(const Playback& playback, const std::vector<host::test::Image>& rendered)
{
    Match match;
    std::size_t next = 0;
    for (const std::vector<uint8_t>& picture : playback.frames) {
        if (match.frames > 0 && Same(picture, rendered[next - 1])) {
            ++match.pictures;
            continue;
        }
        while (next < rendered.size() && !Same(picture, rendered[next])) ++next;
        if (next == rendered.size()) break;
        ++match.pictures;
        ++match.frames;
        ++next;
    }
    return match;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

TEST(VlcVisualisation, PicturesEqualTheHostsRenderOfTheSameFileInOrder)
{
    struct Case {
        int rate, channels, format, width, height;
        std::string fps, gain;
    };
    for (const Case& c : {Case{48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 96, 54, "60", "1.5"},
                          Case{44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 80, 60, "30", "1"}}) {
        VlcFolder folder;
        const fs::path wav = MusicWav(folder, "music.wav", c.rate, c.channels, c.format);
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const std::vector<host::test::Image> rendered = Rendered(wav, size, c.fps, c.gain);
        ASSERT_FALSE(rendered.empty());
        const Playback playback =
            Play(folder, {wav},
                 {"--nimbrelle-width=" + std::to_string(c.width), "--nimbrelle-height=" + std::to_string(c.height),
                  "--nimbrelle-fps=" + c.fps, "--nimbrelle-gain=" + c.gain});
        ASSERT_EQ(playback.run.exitCode, 0) << playback.run.err;
        EXPECT_TRUE(playback.errors.empty()) << Joined(playback.errors);
        EXPECT_EQ(playback.width, c.width) << playback.header;
        EXPECT_EQ(playback.height, c.height) << playback.header;
        const Match match = MatchInOrder(playback, rendered);
        std::cout << c.rate << " Hz, " << c.fps << " fps: " << match.pictures << " of the " << playback.frames.size()
                  << " pictures VLC wrote equal `nimbrelle render`'s frames in order, " << match.frames << " of its "
                  << rendered.size() << " frames\n";
        EXPECT_EQ(match.pictures, playback.frames.size()) << Joined(playback.plugin);
        // Pictures are dropped only when late, which a loaded machine may make a few of.
        EXPECT_GE(match.frames * 4, rendered.size()) << Joined(playback.plugin);
    }
}

TEST(VlcVisualisation, AModuleThatCannotBeUsedGivesOneErrorLineAndTheSoundPlaysToTheEnd)
{
    VlcFolder folder;
    const fs::path wav = MusicWav(folder, "music.wav", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const fs::path text = folder / "notes.so";
    std::ofstream(text) << "not a library\n";
    fs::permissions(text, fs::perms::owner_all | fs::perms::others_read);
    const fs::path refuses = folder.Add(host::test::FakeModule("init_refuses"));
    struct Case {
        fs::path module;
        std::string says;
    };
    for (const Case& c : {Case{folder / "missing" / "NimbrelleCalvex.so", "does not exist"},
                          Case{text, "not a loadable shared library"}, Case{refuses, "could not build its scene"}}) {
        const Playback playback = Play(folder, {wav}, {"--nimbrelle-module=" + c.module.string()});
        EXPECT_EQ(playback.run.exitCode, 0) << playback.run.err;
        ASSERT_EQ(playback.errors.size(), 1u) << Joined(playback.plugin);
        EXPECT_TRUE(Contains(playback.errors[0], c.module.string())) << playback.errors[0];
        EXPECT_TRUE(Contains(playback.errors[0], c.says)) << playback.errors[0];
        EXPECT_TRUE(playback.frames.empty());
        // The sound goes on without the visualisation, every sample of it.
        const SoundLength played = LengthOf(folder / "out.wav");
        EXPECT_EQ(played.rate, 48000);
        EXPECT_EQ(played.frames, 2 * 48000) << c.module;
    }
}

TEST(VlcVisualisation, CompressedFilesPlayWithTheScene)
{
    VlcFolder folder;
    const fs::path wav = MusicWav(folder, "music.wav", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    for (const std::string name : {"music.flac", "music.mp3", "music.opus"}) {
        const fs::path file = folder / name;
        const RunResult encoded = host::test::RunShell("ffmpeg -loglevel error -y -i '" + wav.string() + "' '" +
                                                       file.string() + "'");
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        fs::permissions(file, fs::perms::owner_all | fs::perms::others_read);
        const Playback playback = Play(folder, {file}, {"--nimbrelle-width=64", "--nimbrelle-height=36"});
        ASSERT_EQ(playback.run.exitCode, 0) << playback.run.err;
        EXPECT_TRUE(playback.errors.empty()) << Joined(playback.errors);
        // A frame every 1/60 s of the two seconds, give or take the decoders' padding, drawn
        // whether shown or not.
        ASSERT_FALSE(playback.frames.empty()) << name << "\n" << Joined(playback.plugin);
        const auto drew = std::find_if(playback.plugin.begin(), playback.plugin.end(),
                                       [](const std::string& line) { return Contains(line, " drew "); });
        ASSERT_NE(drew, playback.plugin.end());
        const long long frames = std::stoll(drew->substr(drew->find(" drew ") + 6));
        EXPECT_GE(frames, 115) << *drew;
        EXPECT_LE(frames, 125) << *drew;
        const std::vector<host::test::Image> rendered = Rendered(file, "64x36", "60", "1");
        const Match match = MatchInOrder(playback, rendered);
        std::cout << name << ": " << match.pictures << " of the " << playback.frames.size()
                  << " pictures VLC wrote equal `nimbrelle render`'s frames of the file in order\n";
        // FLAC is lossless, so both decoders give the same samples.
        if (name == "music.flac") {
            EXPECT_EQ(match.pictures, playback.frames.size());
        }
    }
}

TEST(VlcVisualisation, RatesOutsideTheAnalysisRangeAreResampledIntoIt)
{
    VlcFolder folder;
    const fs::path wav = MusicWav(folder, "low.wav", 4000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const Playback playback = Play(folder, {wav}, {"--nimbrelle-width=32", "--nimbrelle-height=32"});
    ASSERT_EQ(playback.run.exitCode, 0) << playback.run.err;
    EXPECT_TRUE(playback.errors.empty()) << Joined(playback.errors);
    const std::string log = Joined(playback.plugin);
    EXPECT_TRUE(Contains(log, ", 8000 Hz, ")) << log;
    EXPECT_FALSE(playback.frames.empty()) << log;
    // The sound plays at its own rate, resampled back after the visualisation (which costs the
    // resamplers' few samples of delay at the end).
    const SoundLength played = LengthOf(folder / "out.wav");
    EXPECT_EQ(played.rate, 4000);
    EXPECT_GE(played.frames, 2 * 4000 * 99 / 100);
}

}  // namespace
}  // namespace nimbrelle::vlc::test
