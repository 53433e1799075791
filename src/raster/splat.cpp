#include "raster/convert.h"
#include "raster/raster.h"

namespace nimbrelle {

void SplatPoint(float x, float y, float r, float g, float b)
{
    const Canvas& c = BoundCanvas;
    // Written so that a coordinate that is not a number fails the test too.
    const double maxX = static_cast<double>(int64_t{c.width} - 2);
    const double maxY = static_cast<double>(int64_t{c.height} - 2);
    if (!(x >= 2.0f) || !(y >= 2.0f) || !(static_cast<double>(x) <= maxX) ||
        !(static_cast<double>(y) <= maxY))
        return;

    // In range, so both conversions are exact truncations.
    const int32_t ix = static_cast<int32_t>(x);
    const int32_t iy = static_cast<int32_t>(y);
    const double fx = (static_cast<double>(x) - ix) * 0.5;
    const double fy = (static_cast<double>(y) - iy) * 0.5;

    const float w00 = static_cast<float>((1.0 - fx) * (1.0 - fy));
    const float w10 = static_cast<float>(fx * (1.0 - fy));
    const float w01 = static_cast<float>((1.0 - fx) * fy);
    const float w11 = static_cast<float>(fx * fy);

    // Products of two singles are exact in double; each is truncated toward zero.
    const double dr = r, dg = g, db = b;
    const auto add = [&](int32_t px, int32_t py, float w) {
        const double dw = w;
        AddPixel(px, py, TruncToInt32(dw * dr), TruncToInt32(dw * dg), TruncToInt32(dw * db));
    };
    add(ix, iy, w00);
    add(ix + 1, iy, w10);
    add(ix, iy + 1, w01);
    add(ix + 1, iy + 1, w11);
}

}  // namespace nimbrelle
