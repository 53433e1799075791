// Finished frames from the drawing worker to OBS's graphics thread: three buffers, no locks.
//
// The worker draws into the back buffer and publishes it, which swaps it with the middle one;
// the graphics thread takes the middle one when a newer frame is there, swapping it with the
// front one it read last. Neither side waits for the other: a worker that is ahead replaces
// a frame nobody took (that upload is skipped, the drawing was not), and a graphics thread
// that is ahead keeps showing its front frame. Each buffer keeps its pixels between frames and
// is allocated again only when the size changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "nimbrelle/picture.h"

namespace nimbrelle::obs {

struct Frame {
    int width = 0;   // 0: nothing to draw (no module, or it failed)
    int height = 0;
    picture::Background background = picture::Background::Blue;
    std::vector<uint32_t> pixels;  // width * height words, rows `width` apart

    // Sizes the buffer for `w` x `h`, allocating only when the size changes.
    void Resize(int w, int h);
};

class FrameExchange {
public:
    // Worker: the buffer to draw into next.
    Frame& Back() { return frames_[back_]; }
    // Worker: makes the back buffer the newest frame and gets another to draw into.
    void Publish() { back_ = middle_.exchange(back_ | Fresh, std::memory_order_acq_rel) & Index; }

    // Graphics thread: the newest frame if one was published since the last call, else null.
    const Frame* TakeNewest()
    {
        if ((middle_.load(std::memory_order_acquire) & Fresh) == 0) return nullptr;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & Index;
        return &frames_[front_];
    }
    // Graphics thread: the frame it took last.
    const Frame& Front() const { return frames_[front_]; }

private:
    static constexpr int Index = 3;
    static constexpr int Fresh = 4;
    Frame frames_[3];
    int back_ = 0;
    int front_ = 1;
    std::atomic<int> middle_{2};
};

}  // namespace nimbrelle::obs
