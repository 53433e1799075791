// nimbrelle: the reference host. Drives any visualisation module through its exported
// boundary and turns music (or the built-in demo) into a video, PNG frames or one snapshot,
// or plays it with the frames shown live in a window, or shows what the computer is playing.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "base/error.h"
#include "options/options.h"
#include "live/live.h"
#include "play/play.h"
#include "render/info.h"
#include "render/render.h"
#include "base/signals.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrelle::host;

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

// The shared options every frame-drawing command offers; `withAudio` adds the AUDIO argument.
void AddCommon(CLI::App& command, CommandText& text, bool withAudio = true)
{
    if (withAudio) {
        command.add_option("AUDIO", text.audio,
                           "Audio file to visualise (WAV, FLAC, Ogg/Vorbis, Opus, MP3); the built-in demo when omitted")
            ->type_name("FILE");
    }
    command.add_option("--size", text.size, "Frame size WIDTHxHEIGHT")->type_name("WxH")->capture_default_str();
    command.add_option("--fps", text.fps, "Frames per second: 60, 29.97 or 30000/1001")->type_name("RATE")->capture_default_str();
    command.add_option("--module", text.module, "Module to load (default: the one installed with this program)")->type_name("PATH");
    command.add_option("--gain", text.gain, "Scale the audio before analysis")->type_name("FACTOR")->capture_default_str();
    command.add_option("--background", text.background,
                       "What outputs put behind the scene's light: blue (as drawn), black (the light alone) or "
                       "transparent (straight alpha: PNG, .webm, .mov); a window always shows the scene as drawn")
        ->type_name("KIND")
        ->capture_default_str();
    command.add_flag("-q,--quiet", text.quiet, "No progress or summary on stderr");
}

// Error messages end up on one line, whatever a library put into them.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
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

    CommandText renderText;
    CLI::App* render = app.add_subcommand("render", "Render audio (or the demo) to a video or PNG frames");
    AddCommon(*render, renderText);
    render->add_option("-o,--output", renderText.output,
                       "OUT.mp4 / .mkv / .webm (needs ffmpeg), a folder for PNG frames, or a pattern like f_%06d.png")
        ->type_name("OUT")
        ->required();
    render->add_option("--start", renderText.start, "Start this many seconds into the audio (or m:ss)")->type_name("SECONDS")->capture_default_str();
    render->add_option("--duration", renderText.duration, "Render only this many seconds")->type_name("SECONDS");
    render->add_option("--crf", renderText.crf,
                       "Video quality, lower is better: H.264 0-51 (default 20), VP9 0-63 (default 32); not for ProRes or PNG")
        ->type_name("N");
    render->add_option("--preset", renderText.preset, "x264 speed preset for H.264 (.mp4, .mkv), ultrafast to veryslow (default veryfast)")
        ->type_name("NAME");

    CommandText snapText;
    std::string at;
    CLI::App* snapshot = app.add_subcommand("snapshot", "Render the frame at one moment to a PNG file");
    AddCommon(*snapshot, snapText);
    snapshot->add_option("-o,--output", snapText.output, "The PNG file to write")->type_name("FILE.png")->required();
    snapshot->add_option("--at", at, "The moment, in seconds (or m:ss)")->type_name("SECONDS")->required();

    CommandText playText;
    bool fullscreen = false;
    CLI::App* play = app.add_subcommand("play", "Play audio (or the demo) with the frames shown live in a window");
    AddCommon(*play, playText);
    play->get_option("--size")->description("Initial window size WIDTHxHEIGHT");
    play->add_option("--start", playText.start, "Start this many seconds into the audio (or m:ss)")->type_name("SECONDS")->capture_default_str();
    play->add_option("--duration", playText.duration, "Play only this many seconds")->type_name("SECONDS");
    play->add_flag("--fullscreen", fullscreen, "Start in fullscreen (f toggles it)");

    CommandText liveText;
    std::string liveDevice;
    bool listDevices = false, mic = false, stats = false, liveFullscreen = false;
    CLI::App* live = app.add_subcommand(
        "live", "Show what the computer is playing (or a microphone) as it happens, in a window; optionally record it");
    AddCommon(*live, liveText, false);
    live->get_option("--size")->description("Initial window size WIDTHxHEIGHT; the frames' size when recording");
    live->add_flag("--list-devices", listDevices, "List the capture devices (monitors marked) and exit");
    CLI::Option* deviceOption =
        live->add_option("--device", liveDevice, "Capture this device: its exact name or a unique part of it")
            ->type_name("NAME");
    live->add_flag("--mic", mic, "Capture the default input (a microphone) instead of what is playing")
        ->excludes(deviceOption);
    live->add_flag("--stats", stats, "Show frames per second, the module's time and the capture latency (s toggles it)");
    live->add_option("-o,--output", liveText.output,
                     "Record to OUT.mp4 / .mkv / .webm with the captured sound, or to PNG frames; "
                     "without a display it records without a window")
        ->type_name("OUT");
    live->add_option("--duration", liveText.duration, "Stop after this many seconds")->type_name("SECONDS");
    live->add_option("--crf", liveText.crf, "Video quality of a recording, lower is better (as for render)")->type_name("N");
    live->add_option("--preset", liveText.preset,
                     "x264 speed preset of an H.264 recording (default ultrafast, to keep up with live sound)")
        ->type_name("NAME");
    live->add_flag("--fullscreen", liveFullscreen, "Start in fullscreen (f toggles it)");

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
            RunRender(ParseCommand(renderText));
        } else if (snapshot->parsed()) {
            SnapshotOptions o;
            static_cast<CommandOptions&>(o) = ParseCommand(snapText);
            o.at = ParseSeconds("--at", at);
            RunSnapshot(o);
        } else if (play->parsed()) {
            PlayOptions o;
            static_cast<CommandOptions&>(o) = ParseCommand(playText);
            o.fullscreen = fullscreen;
            if (o.background != nimbrelle::picture::Background::Blue) {
                std::fprintf(stderr, "nimbrelle: warning: --background %s applies to outputs; the window shows the scene as drawn\n",
                             nimbrelle::picture::BackgroundName(o.background));
            }
            RunPlay(o);
        } else if (live->parsed() && listDevices) {
            ListCaptureDevices(stdout);
        } else if (live->parsed()) {
            LiveOptions o;
            static_cast<CommandOptions&>(o) = ParseCommand(liveText);
            if (!liveDevice.empty()) o.device = liveDevice;
            o.mic = mic;
            o.stats = stats;
            o.fullscreen = liveFullscreen;
            RunLive(o);
        } else if (info->parsed()) {
            PrintModuleInfo(infoModule, stdout);
            errno = 0;
            if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
                throw Error("cannot write the module's description to standard output: " + ErrnoText(errno));
            }
        }
    } catch (const Interrupted&) {
        // Playing, and live capture without a recording, write nothing, so there is nothing to remove.
        const bool wrote = render->parsed() || snapshot->parsed() || (live->parsed() && !liveText.output.empty());
        std::fputs(wrote ? "nimbrelle: interrupted; partial output removed\n" : "nimbrelle: interrupted\n", stderr);
        return ExitInterrupted;
    } catch (const std::exception& e) {
        // A failure caused by a stop request (a FIFO's open cut short, say) is the stop.
        if (InterruptRequested()) {
            std::fputs("nimbrelle: interrupted\n", stderr);
            return ExitInterrupted;
        }
        std::fprintf(stderr, "nimbrelle: error: %s\n", OneLine(e.what()).c_str());
        return ExitFailure;
    }
    return 0;
}
