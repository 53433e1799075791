// Where the frames of a render or a recording go.
#pragma once

#include <cstdint>

namespace nimbrelle::host {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    FrameSink() = default;
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;
    // Takes frame `index`; frames arrive in order, in the size given at construction.
    virtual void Write(const uint32_t* pixels, int64_t index) = 0;
    // Waits (a few seconds at most) until an encoder has taken the frames written, so that what
    // comes next is not held up by its start. Nothing to wait for by default.
    virtual void WaitUntilTaken() {}
    // Completes the output and moves it to its final name. Throws Error on failure.
    virtual void Commit() = 0;
};

}  // namespace nimbrelle::host
