// `nimbrelle live`: the module's frames drawn from whatever the machine is playing (the monitor
// of the default output), a chosen capture device or the microphone, in a window, and
// optionally recorded to a video with the captured sound.
//
// The devices are in devices.h, what becomes of the samples that arrive in capture.h, the loop
// in session.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "options/options.h"

namespace nimbrelle::host {

// live: the shared options (size is the window's initial size and the recording's frame size;
// output, duration, crf and preset are the recording's) and the capture's own.
struct LiveOptions : CommandOptions {
    std::optional<std::string> device;  // --device: exact or unique part of a capture device's name
    bool mic = false;                   // --mic: the default input instead of the output's monitor
    bool fullscreen = false;
    bool stats = false;
};

// Captures and draws until the duration has passed, a quit key, the window closing or (when
// recording) a stop signal. Throws Error when there is no device to capture, no window and
// nothing to record, the output cannot be written, or the device goes with nothing to fall back
// to (a recording is then kept); Interrupted after Ctrl-C, SIGTERM or SIGHUP without a
// recording, or after a second one while a recording is finished (it is then removed).
void RunLive(const LiveOptions& options);

// Writes the capture devices to `out`, one a line, saying which are monitors and which are
// the defaults.
void ListCaptureDevices(std::FILE* out);

}  // namespace nimbrelle::host
