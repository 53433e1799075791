// What `live --stats` and the statistics box show: frames per second, the module's time per
// frame and the capture latency, over the latest second.
#pragma once

#include <optional>

#include "base/timing.h"

namespace nimbrelle::host {

// Rolling figures for the statistics overlay, over the latest second.
class LiveStats {
public:
    struct Figures {
        double fps = 0.0;
        double moduleMs = 0.0;   // the module's mean time per frame
        double latencyMs = 0.0;  // from the newest sample's capture to its frame
    };

    // One frame drawn at `at`, the module taking `module`, showing sound `latency` old.
    void Frame(Clock::time_point at, Clock::duration module, Clock::duration latency);
    // The figures of the latest completed second (zeros before the first one); true once a
    // second has completed since the last call.
    bool Update(Clock::time_point now);
    const Figures& Latest() const { return latest_; }

private:
    std::optional<Clock::time_point> since_;
    int frames_ = 0;
    double moduleSeconds_ = 0.0;
    double latencySeconds_ = 0.0;
    Figures latest_;
};

}  // namespace nimbrelle::host
