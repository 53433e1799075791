// The loop of `nimbrelle live`: a frame at every frame time, drawn from the newest samples
// captured, shown in the window and handed to the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/module.h"
#include "live/capture.h"
#include "live/devices.h"
#include "live/live.h"
#include "live/recording.h"
#include "window/window.h"

namespace nimbrelle::host {

struct SessionCounts {
    int64_t drawn = 0;     // frames handed to the module
    int64_t skipped = 0;   // frame times passed over because drawing fell behind
    int64_t repeated = 0;  // recorded frames that repeat the one on show during a hiccup
    int64_t recorded = 0;  // frames recorded
    int64_t leftOut = 0;   // frame times left out of a recording that fell behind
    std::string device;    // what was captured last
};

// Captures and draws until the duration has passed, a quit key or the window closing, then
// commits the recording. `window` may be null (a recording without one); so may `recording`.
// Without a recording a stop signal throws Interrupted. A recording is finished on the first
// stop signal (Interrupted on a second), and when the capture device has gone with nothing to
// fall back to (then throws Error saying so and that the recording was kept).
SessionCounts RunSession(const LiveOptions& options, Module& module, const CaptureAudio& audio,
                         std::unique_ptr<CaptureDevice> device, CaptureQueue& queue, SdlWindow* window,
                         std::unique_ptr<Recording> recording);

}  // namespace nimbrelle::host
