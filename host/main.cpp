// nimbrelle: the reference host. Drives any visualisation module through its exported
// boundary and turns music (or the built-in demo) into a video, PNG frames or one snapshot,
// or plays it with the frames shown live in a window.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "error.h"
#include "options.h"
#include "play.h"
#include "render.h"
#include "signals.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrelle::host;

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

// Raw option text, checked by the parsers in options.h so every message has the same form.
struct CommonText {
    std::string audio;
    std::string output;
    std::string size = "1280x720";
    std::string fps = "60";
    std::string module;
    std::string gain = "1";
    bool quiet = false;
};

void AddCommon(CLI::App& command, CommonText& text)
{
    command.add_option("AUDIO", text.audio,
                       "Audio file to visualise (WAV, FLAC, Ogg/Vorbis, Opus, MP3); the built-in demo when omitted")
        ->type_name("FILE");
    command.add_option("--size", text.size, "Frame size WIDTHxHEIGHT")->type_name("WxH")->capture_default_str();
    command.add_option("--fps", text.fps, "Frames per second: 60, 29.97 or 30000/1001")->type_name("RATE")->capture_default_str();
    command.add_option("--module", text.module, "Module to load (default: the one built with this host)")->type_name("PATH");
    command.add_option("--gain", text.gain, "Scale the audio before analysis")->type_name("FACTOR")->capture_default_str();
    command.add_flag("-q,--quiet", text.quiet, "No progress or summary on stderr");
}

std::optional<fs::path> PathOrNone(const std::string& text)
{
    if (text.empty()) return std::nullopt;
    return fs::path(text);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"nimbrelle: renders music as pictures with a Nimbrelle visualisation module", "nimbrelle"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "nimbrelle " NIMBRELLE_VERSION);
    app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
        const auto chosen = failed->get_subcommands();
        const std::string command = chosen.empty() ? "nimbrelle" : "nimbrelle " + chosen.front()->get_name();
        return "nimbrelle: error: " + std::string(e.what()) + "\nRun '" + command + " --help' for the options.\n";
    });

    CommonText renderText;
    std::string start = "0", duration, crf, preset = "veryfast";
    CLI::App* render = app.add_subcommand("render", "Render audio (or the demo) to a video or PNG frames");
    AddCommon(*render, renderText);
    render->add_option("-o,--output", renderText.output,
                       "OUT.mp4 / .mkv / .webm (needs ffmpeg), a folder for PNG frames, or a pattern like f_%06d.png")
        ->type_name("OUT")
        ->required();
    render->add_option("--start", start, "Start this many seconds into the audio (or m:ss)")->type_name("SECONDS")->capture_default_str();
    render->add_option("--duration", duration, "Render only this many seconds")->type_name("SECONDS");
    render->add_option("--crf", crf, "Video quality, lower is better (default 20 for H.264, 32 for VP9)")->type_name("N");
    render->add_option("--preset", preset, "x264 speed preset, ultrafast to veryslow")->type_name("NAME")->capture_default_str();

    CommonText snapText;
    std::string at;
    CLI::App* snapshot = app.add_subcommand("snapshot", "Render the frame at one moment to a PNG file");
    AddCommon(*snapshot, snapText);
    snapshot->add_option("-o,--output", snapText.output, "The PNG file to write")->type_name("FILE.png")->required();
    snapshot->add_option("--at", at, "The moment, in seconds (or m:ss)")->type_name("SECONDS")->required();

    CommonText playText;
    std::string playStart = "0", playDuration;
    bool fullscreen = false;
    CLI::App* play = app.add_subcommand("play", "Play audio (or the demo) with the frames shown live in a window");
    AddCommon(*play, playText);
    play->get_option("--size")->description("Initial window size WIDTHxHEIGHT");
    play->add_option("--start", playStart, "Start this many seconds into the audio (or m:ss)")->type_name("SECONDS")->capture_default_str();
    play->add_option("--duration", playDuration, "Play only this many seconds")->type_name("SECONDS");
    play->add_flag("--fullscreen", fullscreen, "Start in fullscreen (f toggles it)");

    std::string infoModule;
    CLI::App* info = app.add_subcommand("info", "Load a module and print its descriptor");
    info->add_option("MODULE", infoModule, "The module's shared library")->type_name("FILE")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : ExitUsage;
    }

    InstallSignalHandlers();
    try {
        if (render->parsed()) {
            RenderOptions o;
            o.audio = PathOrNone(renderText.audio);
            o.output = renderText.output;
            o.size = ParseSize(renderText.size);
            o.fps = ParseFrameRate(renderText.fps);
            o.start = ParseSeconds("--start", start);
            if (!duration.empty()) o.duration = ParseSeconds("--duration", duration);
            o.module = PathOrNone(renderText.module);
            o.gain = ParseGain(renderText.gain);
            if (!crf.empty()) o.crf = ParseCrf(crf);
            CheckPreset(preset);
            o.preset = preset;
            o.quiet = renderText.quiet;
            RunRender(o);
        } else if (snapshot->parsed()) {
            SnapshotOptions o;
            o.audio = PathOrNone(snapText.audio);
            o.output = snapText.output;
            o.size = ParseSize(snapText.size);
            o.fps = ParseFrameRate(snapText.fps);
            o.at = ParseSeconds("--at", at);
            o.module = PathOrNone(snapText.module);
            o.gain = ParseGain(snapText.gain);
            o.quiet = snapText.quiet;
            RunSnapshot(o);
        } else if (play->parsed()) {
            PlayOptions o;
            o.audio = PathOrNone(playText.audio);
            o.size = ParseSize(playText.size);
            o.fps = ParseFrameRate(playText.fps);
            o.start = ParseSeconds("--start", playStart);
            if (!playDuration.empty()) o.duration = ParseSeconds("--duration", playDuration);
            o.module = PathOrNone(playText.module);
            o.gain = ParseGain(playText.gain);
            o.fullscreen = fullscreen;
            o.quiet = playText.quiet;
            RunPlay(o);
        } else if (info->parsed()) {
            PrintModuleInfo(infoModule, stdout);
        }
    } catch (const Interrupted&) {
        // Playing writes nothing, so there is nothing to remove.
        std::fputs(play->parsed() ? "nimbrelle: interrupted\n" : "nimbrelle: interrupted; partial output removed\n", stderr);
        return ExitInterrupted;
    } catch (const Error& e) {
        std::fprintf(stderr, "nimbrelle: error: %s\n", e.what());
        return ExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nimbrelle: error: %s\n", e.what());
        return ExitFailure;
    }
    return 0;
}
