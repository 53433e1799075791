// The browser build's exports: the module's entries, buffers in the instance's memory, the
// conversion of frames into the canvas's RGBA bytes for a background (nimbrelle/picture.h, as
// every front end converts them), and the built-in demo piece. The
// samples-to-FrameData route is exported as it stands (nimbrelle/analysis_c.h, see
// CMakeLists.txt). nimbrelle.js is the only caller.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nimbrelle/analysis/demo.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/module.h"
#include "nimbrelle/picture.h"

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
// of an ImageData: for `background` 0 the frame as drawn, 1 its light on black (both opaque),
// 2 its light with straight alpha; any other value draws nothing.
NIMBRELLE_WASM_EXPORT(nimbrelle_to_rgba)
void NimbrelleToRgba(const uint32_t* pixels, int32_t width, int32_t height, int32_t pitch, uint32_t* rgba,
                     int32_t background)
{
    using nimbrelle::picture::Background;
    if (pixels == nullptr || rgba == nullptr || background < 0 || background > static_cast<int32_t>(Background::Transparent)) {
        return;
    }
    nimbrelle::picture::ConvertFrame(static_cast<Background>(background), nimbrelle::picture::Order::Rgba, pixels, pitch,
                                     rgba, width, width, height);
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
