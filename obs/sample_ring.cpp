#include "sample_ring.h"

#include <algorithm>
#include <bit>

namespace nimbrelle::obs {

SampleRing::SampleRing(std::size_t frames)
    : samples_(2 * std::bit_ceil(std::max<std::size_t>(frames, 2))),
      mask_(std::bit_ceil(std::max<std::size_t>(frames, 2)) - 1)
{
}

template <class Fill>
std::size_t SampleRing::Append(std::size_t frames, Fill fill)
{
    const uint64_t written = written_.load(std::memory_order_relaxed);
    const uint64_t read = read_.load(std::memory_order_acquire);
    const auto room = static_cast<std::size_t>(Capacity() - (written - read));
    const std::size_t count = std::min(frames, room);
    // At most two runs: up to the end of the buffer, then from its start.
    const auto at = static_cast<std::size_t>(written & mask_);
    const std::size_t first = std::min(count, Capacity() - at);
    fill(samples_.data() + 2 * at, 0, first);
    fill(samples_.data(), first, count - first);
    written_.store(written + count, std::memory_order_release);
    if (count < frames) dropped_.fetch_add(frames - count, std::memory_order_relaxed);
    return count;
}

std::size_t SampleRing::Write(const float* stereo, std::size_t frames)
{
    return Append(frames, [stereo](float* to, std::size_t from, std::size_t count) {
        std::copy_n(stereo + 2 * from, 2 * count, to);
    });
}

std::size_t SampleRing::WriteSilence(std::size_t frames)
{
    return Append(frames, [](float* to, std::size_t, std::size_t count) { std::fill_n(to, 2 * count, 0.0f); });
}

std::size_t SampleRing::Read(float* stereo, std::size_t frames)
{
    const uint64_t read = read_.load(std::memory_order_relaxed);
    const uint64_t written = written_.load(std::memory_order_acquire);
    const std::size_t count = std::min(frames, static_cast<std::size_t>(written - read));
    const auto at = static_cast<std::size_t>(read & mask_);
    const std::size_t first = std::min(count, Capacity() - at);
    std::copy_n(samples_.data() + 2 * at, 2 * first, stereo);
    std::copy_n(samples_.data(), 2 * (count - first), stereo + 2 * first);
    read_.store(read + count, std::memory_order_release);
    return count;
}

}  // namespace nimbrelle::obs
