#include "frame_exchange.h"

#include <cstddef>

namespace nimbrelle::obs {

void Frame::Resize(int w, int h)
{
    width = w;
    height = h;
    const std::size_t words = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (pixels.size() != words) std::vector<uint32_t>(words).swap(pixels);
}

}  // namespace nimbrelle::obs
