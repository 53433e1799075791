// The browser build's exports: the module's entries, buffers in the instance's memory, the
// packing of frames into the canvas's RGBA bytes, and the built-in demo piece. The
// samples-to-FrameData route is exported as it stands (nimbrelle/analysis_c.h, see
// CMakeLists.txt). nimbrelle.js is the only caller.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nimbrelle/analysis/demo.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/module.h"

#define NIMBRELLE_WASM_EXPORT(name) extern "C" __attribute__((export_name(#name)))

NIMBRELLE_WASM_EXPORT(nimbrelle_alloc) void* NimbrelleAlloc(std::size_t bytes)
{
    return std::malloc(bytes);
}

NIMBRELLE_WASM_EXPORT(nimbrelle_free) void NimbrelleFree(void* pointer)
{
    std::free(pointer);
}

NIMBRELLE_WASM_EXPORT(nimbrelle_init) int32_t NimbrelleInit()
{
    return QueryModule()->init();
}

NIMBRELLE_WASM_EXPORT(nimbrelle_render)
int32_t NimbrelleRender(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, const FrameData* record)
{
    return QueryModule()->render(pixels, width, height, pitch, record);
}

// The visible part of a frame (0x00RRGGBB words, `pitch` words a row) as the R, G, B, A bytes
// of an ImageData, fully opaque.
NIMBRELLE_WASM_EXPORT(nimbrelle_to_rgba)
void NimbrelleToRgba(const uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, uint32_t* rgba)
{
    if (pixels == nullptr || rgba == nullptr || width <= 0 || height <= 0) return;
    for (int32_t y = 0; y < height; ++y) {
        const uint32_t* row = pixels + static_cast<std::ptrdiff_t>(y) * pitch;
        uint32_t* out = rgba + static_cast<std::ptrdiff_t>(y) * width;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t p = row[x];
            // Little-endian bytes R, G, B, 255.
            out[x] = ((p >> 16) & 0xFFu) | (p & 0xFF00u) | ((p & 0xFFu) << 16) | 0xFF000000u;
        }
    }
}

namespace {
std::vector<float> Demo;
}

// At the highest rate the analysis takes, 30 s of stereo floats take 240 MB: a 32-bit size
// still counts them.
static_assert(nimbrelle::analysis::DemoSeconds * nimbrelle::analysis::MaxSampleRate * 2 * sizeof(float) < 0x7FFFFFFF);

// The built-in demo piece at `rate`, interleaved stereo; nimbrelle_demo_frames gives
// its length in sample frames. Synthesised once per rate; null for a rate outside
// the analysis's range (nothing changes) or when memory ran out.
NIMBRELLE_WASM_EXPORT(nimbrelle_demo) const float* NimbrelleDemo(int32_t rate)
{
    if (rate < nimbrelle::analysis::MinSampleRate || rate > nimbrelle::analysis::MaxSampleRate) return nullptr;
    Demo = nimbrelle::analysis::SynthesiseDemo(rate);
    return Demo.empty() ? nullptr : Demo.data();
}

NIMBRELLE_WASM_EXPORT(nimbrelle_demo_frames) std::size_t NimbrelleDemoFrames()
{
    return Demo.size() / 2;
}
