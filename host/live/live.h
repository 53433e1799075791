// `nimbrelle live`: the module's frames drawn from whatever the machine is playing (the monitor
// of the default output), a chosen capture device or the microphone, in a window, and
// optionally recorded to a video with the captured sound.
//
// The SDL side lives in live.cpp; the decisions it takes without a device (which device, what
// becomes of the samples that arrive) are the classes of capture.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "output/target.h"
#include "base/timing.h"

namespace nimbrelle::host {

struct LiveOptions {
    FrameGeometry size{1280, 720};  // the window's initial size; the frames' size when recording
    FrameRate fps;
    std::optional<std::filesystem::path> module;
    float gain = 1.0f;
    std::optional<std::string> device;  // --device: exact or unique part of a capture device's name
    bool mic = false;                   // --mic: the default input instead of the output's monitor
    std::string output;                 // -o: record to this video or PNG frames; empty: no recording
    std::optional<double> duration;
    std::optional<int> crf;
    std::string preset = "ultrafast";
    bool fullscreen = false;
    bool stats = false;
    bool quiet = false;
};

struct LiveSummary {
    int64_t drawn = 0;     // frames handed to the module
    int64_t skipped = 0;   // frame times passed over because drawing fell behind
    bool headless = false; // recorded without a window
    std::string device;    // what was captured last
};

// Captures and draws until the duration has passed, a quit key or the window closing. Throws
// Error when there is no device to capture, no window and nothing to record, or the output
// cannot be written; Interrupted after Ctrl-C or SIGTERM (a recording is then removed).
LiveSummary RunLive(const LiveOptions& options);

// Writes the capture devices to `out`, one a line, saying which are monitors and which are
// the defaults.
void ListCaptureDevices(std::FILE* out);

}  // namespace nimbrelle::host
