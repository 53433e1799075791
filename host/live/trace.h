// NIMBRELLE_LIVE_TRACE: a line per frame shown, for measuring the latency from outside.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "base/error.h"
#include "nimbrelle/module.h"

namespace nimbrelle::host {

// A line per frame for measuring the latency from outside: the wall-clock time it was shown
// (microseconds since the epoch), its number and its loudest waveform level. Only when
// NIMBRELLE_LIVE_TRACE names a file.
class Trace {
public:
    Trace()
    {
        if (const char* path = std::getenv("NIMBRELLE_LIVE_TRACE"); path != nullptr && *path != '\0') {
            out_.open(path);
            if (!out_) throw Error("cannot write the trace file " + Quoted(path));
        }
    }
    void Frame(int64_t frame, const FrameData& data)
    {
        if (!out_.is_open()) return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        const uint8_t loudest = std::max(*std::max_element(std::begin(data.blockA[0]), std::end(data.blockA[0])),
                                         *std::max_element(std::begin(data.blockA[1]), std::end(data.blockA[1])));
        out_ << us.count() << ' ' << frame << ' ' << static_cast<int>(loudest) << '\n';
    }

private:
    std::ofstream out_;
};

}  // namespace nimbrelle::host
