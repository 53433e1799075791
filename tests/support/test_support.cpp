#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "raster/raster.h"

namespace nimbrelle::test {

uint64_t Rng::Next()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Range(double lo, double hi)
{
    const double unit = static_cast<double>(Next() >> 11) * 0x1.0p-53;
    return lo + (hi - lo) * unit;
}

uint64_t Fnv1a(const void* data, std::size_t bytes, uint64_t hash)
{
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) {
        hash ^= p[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

GuardedCanvas::GuardedCanvas(int w, int h, int p, uint32_t fill)
    : width(w), height(h), pitch(p),
      storage(static_cast<std::size_t>((h + 2 * GuardRows) * p), GuardWord)
{
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) At(x, y) = fill;
}

void GuardedCanvas::Bind() { BindCanvas(Pixels(), width, height, pitch); }

bool GuardedCanvas::GuardsIntact() const
{
    for (int row = 0; row < height + 2 * GuardRows; ++row) {
        const bool visibleRow = row >= GuardRows && row < GuardRows + height;
        for (int x = visibleRow ? width : 0; x < pitch; ++x)
            if (storage[static_cast<std::size_t>(row * pitch + x)] != GuardWord) return false;
    }
    return true;
}

int GuardedCanvas::CountNot(uint32_t value) const
{
    int n = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) n += At(x, y) != value;
    return n;
}

void DumpFrame(const GuardedCanvas& canvas, const std::string& name)
{
    const char* dir = std::getenv("NIMBRELLE_DUMP_DIR");
    if (dir == nullptr) return;
    const std::string path = std::string(dir) + "/" + name + ".ppm";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fprintf(f, "P6\n%d %d\n255\n", canvas.width, canvas.height);
    for (int y = 0; y < canvas.height; ++y)
        for (int x = 0; x < canvas.width; ++x) {
            const uint32_t p = canvas.At(x, y);
            const unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16),
                                          static_cast<unsigned char>(p >> 8),
                                          static_cast<unsigned char>(p)};
            std::fwrite(rgb, 1, 3, f);
        }
    std::fclose(f);
}

FrameData UniformFrame(uint8_t level)
{
    FrameData fd;
    std::memset(&fd, level, sizeof fd);
    fd.leading = 0;
    return fd;
}

}  // namespace nimbrelle::test
