// Stereo samples on their way from an audio capture callback to the drawing worker.
//
// One writer and one reader at a time, no locks: the writer owns `written_`, the reader owns
// `read_`, and each publishes its counter with release order after touching the samples, so
// the other side sees the samples before the count that covers them. The counters only grow
// (64 bits do not wrap in any real run); positions in the buffer are the counters modulo the
// capacity, a power of two. A writer that finds the ring full keeps what fits and counts the
// rest as dropped: the reader has fallen behind, and the newest samples are the ones it has
// not room for. Allocates only in the constructor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbrelle::obs {

class SampleRing {
public:
    // Room for at least `frames` stereo frames (rounded up to a power of two, at least 2).
    explicit SampleRing(std::size_t frames);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    std::size_t Capacity() const { return mask_ + 1; }

    // Writer: appends `frames` interleaved stereo frames; returns how many fitted.
    std::size_t Write(const float* stereo, std::size_t frames);
    // Writer: appends `frames` frames of silence; returns how many fitted.
    std::size_t WriteSilence(std::size_t frames);
    // Frames the writer could not store since the ring was made.
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // Reader: moves up to `frames` of the oldest stored frames into `stereo` (2 floats each);
    // returns how many.
    std::size_t Read(float* stereo, std::size_t frames);

private:
    template <class Fill>
    std::size_t Append(std::size_t frames, Fill fill);

    std::vector<float> samples_;  // 2 * Capacity() floats
    std::size_t mask_;
    alignas(64) std::atomic<uint64_t> written_{0};
    alignas(64) std::atomic<uint64_t> read_{0};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace nimbrelle::obs
