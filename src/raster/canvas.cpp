#include "raster/add_row.h"
#include "raster/raster.h"

namespace nimbrelle {

Canvas BoundCanvas{};

namespace {

// Sum of two bytes, saturated at 255.
inline uint32_t AddByte(uint32_t a, uint32_t b)
{
    const uint32_t s = a + b;
    return s > 255u ? 255u : s;
}

}  // namespace

void BindCanvas(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch)
{
    BoundCanvas.pixels = pixels;
    BoundCanvas.width = width;
    BoundCanvas.height = height;
    BoundCanvas.halfHeight = height >> 1;
    BoundCanvas.halfWidth = width >> 1;
    BoundCanvas.pitch = pitch;
}

void ClearCanvas(uint32_t value)
{
    const Canvas& c = BoundCanvas;
    if (c.width <= 0) return;
    const FillRowFn fillRow = ActiveKernels().fillRow;
    // Rows without spare words between them are one run: one long fill starts once.
    if (c.pitch == c.width && c.height > 0 &&
        static_cast<uint64_t>(c.width) * static_cast<uint64_t>(c.height) <= SIZE_MAX / sizeof(uint32_t)) {
        fillRow(c.pixels, value, static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height));
        return;
    }
    for (int32_t y = 0; y < c.height; ++y) fillRow(PixelAddress(c, 0, y), value, static_cast<std::size_t>(c.width));
}

void AddPixel(int32_t x, int32_t y, int32_t r, int32_t g, int32_t b)
{
    const Canvas& c = BoundCanvas;
    if (x < 0 || x >= c.width || y < 0 || y >= c.height) return;
    // Unsigned arithmetic is the two's-complement composite without signed overflow.
    const uint32_t composite = (static_cast<uint32_t>(r) * 256u + static_cast<uint32_t>(g)) * 256u +
                               static_cast<uint32_t>(b);
    uint32_t* p = PixelAddress(c, x, y);
    const uint32_t old = *p;
    const uint32_t blue = AddByte(composite & 0xFFu, old & 0xFFu);
    const uint32_t green = AddByte((composite >> 8) & 0xFFu, (old >> 8) & 0xFFu);
    const uint32_t red = AddByte((composite >> 16) & 0xFFu, (old >> 16) & 0xFFu);
    *p = (red << 16) | (green << 8) | blue;
}

}  // namespace nimbrelle
