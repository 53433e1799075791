// `nimbrelle live`: opens the module, the capture device, the window (or none, when recording
// without one) and the recording, then runs the session.
#include "live/live.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/module.h"
#include "live/capture.h"
#include "live/devices.h"
#include "live/recording.h"
#include "live/session.h"
#include "output/encoding.h"
#include "output/target.h"
#include "output/video.h"
#include "window/window.h"

namespace nimbrelle::host {

void ListCaptureDevices(std::FILE* out)
{
    SdlLibrary sdl;
    const CaptureAudio audio;
    const std::vector<std::string> devices = CaptureAudio::CaptureDevices();
    const std::optional<std::string> monitor = MonitorOf(devices, CaptureAudio::DefaultDevice(0));
    const std::optional<std::string> input = CaptureAudio::DefaultDevice(1);
    std::fprintf(out, "capture devices (audio driver %s):\n", audio.Driver().c_str());
    if (devices.empty()) std::fprintf(out, "  (none)\n");
    for (const std::string& d : devices) {
        std::string notes;
        if (monitor && d == *monitor) {
            notes = "monitor of the default output, captured by default";
        } else if (IsMonitor(d)) {
            notes = "monitor";
        }
        if (input && d == *input) notes += std::string(notes.empty() ? "" : "; ") + "default input, --mic";
        std::fprintf(out, "  %s%s\n", d.c_str(), notes.empty() ? "" : ("  (" + notes + ")").c_str());
    }
}

void RunLive(const LiveOptions& options)
{
    // Module and output first, so their errors come before any device or window opens.
    Module module(ResolveModulePath(options.module));
    const bool recording = !options.output.empty();
    std::optional<OutputTarget> target;
    if (recording) {
        target = ClassifyOutput(options.output, false);
        CheckEncoderOptions(*target, options);
        if (target->kind == OutputKind::Video) RequireFfmpeg(target->path);
    }

    SdlLibrary sdl;
    const CaptureAudio audio;
    const CaptureChoice choice = ChooseCapture(options.device, options.mic, audio);

    std::optional<SdlWindow> window;
    try {
        window.emplace("nimbrelle live: " + choice.Described(), options.size, options.fullscreen);
    } catch (const SdlFailure& e) {
        if (!recording) {
            throw Error(std::string("cannot open a window for live capture (") + e.what() +
                        "); to record without one, use -o FILE --duration SECONDS");
        }
        if (!options.duration) {
            throw Error(std::string("cannot open a window (") + e.what() +
                        "), and recording without one needs --duration");
        }
        if (!options.quiet) std::fprintf(stderr, "nimbrelle: no window (%s); recording without one\n", e.what());
    }
    // The window shows the frames as drawn; only a recording gets another background.
    if (window && options.background != picture::Background::Blue && (!recording || !options.quiet)) {
        std::fprintf(stderr, recording ? "nimbrelle: the window shows the scene as drawn; --background %s applies to the recording\n"
                                       : "nimbrelle: warning: --background %s applies to recordings (-o); the window shows the scene as drawn\n",
                     picture::BackgroundName(options.background));
    }

    CaptureQueue queue(2 * CaptureRate);
    auto device = std::make_unique<CaptureDevice>(choice, queue);
    std::unique_ptr<Recording> record = recording ? std::make_unique<Recording>(*target, options) : nullptr;
    module.Init();
    if (!options.quiet) {
        std::fprintf(stderr, "nimbrelle: capturing %s (audio driver %s) with %s%s\n", device->Described().c_str(),
                     audio.Driver().c_str(), module.Name().c_str(),
                     window ? " (space freeze, s statistics, f fullscreen, q or Esc quit)" : "");
    }
    try {
        const SessionCounts counts = RunSession(options, module, audio, std::move(device), queue,
                                                window ? &*window : nullptr, std::move(record));
        if (!options.quiet) {
            std::fprintf(stderr, "nimbrelle: captured %s: %" PRId64 " frames drawn, %" PRId64 " skipped\n",
                         counts.device.c_str(), counts.drawn, counts.skipped);
            if (recording) {
                std::fprintf(stderr, "nimbrelle: wrote %s: %" PRId64 " frames (%" PRId64 " of them repeated), %dx%d at %s fps\n",
                             options.output.c_str(), counts.recorded, counts.repeated, options.size.width,
                             options.size.height, options.fps.ToString().c_str());
            }
        }
        if (counts.leftOut > 0) {
            // Only x264 has faster presets: VP9 already runs at its fastest settings, ProRes has none.
            const bool h264 = target->kind == OutputKind::Video && CodecOf(target->container) == VideoCodec::H264;
            std::fprintf(stderr,
                         "nimbrelle: warning: the recording fell behind and left out %.1f s; try a smaller --size%s\n",
                         static_cast<double>(counts.leftOut) * static_cast<double>(options.fps.den) /
                             static_cast<double>(options.fps.num),
                         h264 ? ", a lower --fps or a faster --preset"
                              : " or a lower --fps (only H.264 in .mp4 or .mkv has faster presets)");
        }
    } catch (const SdlFailure& e) {
        throw Error(std::string("cannot draw in the window while capturing (") + e.what() + ")");
    }
}

}  // namespace nimbrelle::host

#if defined(__SANITIZE_ADDRESS__)
// libpulse keeps a few small blocks of a stream whose device was removed until the process
// ends; LeakSanitizer builds ignore them.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libpulse.so\n";
}
#endif
