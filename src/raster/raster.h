// Raster: everything that writes into the host's frame buffer.
//
// Pixels are 0x00RRGGBB words (blue in the low byte); pixel (x, y) of the bound canvas is
// pixels[y * pitch + x] with pitch counted in pixels. Colours travel between the routines as
// three separate channel amounts and are packed only by AddPixel, which adds them with
// per-channel saturation.
#pragma once

#include <cstdint>

namespace nimbrelle {

// The host buffer bound for the current frame. Valid only during the ModuleRender call that
// bound it.
struct Canvas {
    uint32_t* pixels;
    int32_t width;
    int32_t height;
    int32_t halfHeight;  // height >> 1 (arithmetic shift)
    int32_t halfWidth;   // width >> 1 (arithmetic shift)
    int32_t pitch;       // pixels from one row to the next; may be negative
};

extern Canvas BoundCanvas;

// Address of pixel (x, y) of a canvas, in 64-bit arithmetic so that a large or negative pitch
// cannot overflow.
inline uint32_t* PixelAddress(const Canvas& canvas, int32_t x, int32_t y)
{
    return canvas.pixels + (int64_t{y} * canvas.pitch + x);
}

// Asks for the cache line holding p, a pixel of the canvas, ahead of its use. Written as an
// instruction the compiler must keep: GCC takes a function whose only effect is the prefetch
// builtin for one without effects and drops the calls to it.
inline void PrefetchPixel(const uint32_t* p)
{
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
}

// How BlitGlow and DrawFadeLine run. Every path draws the same pixels; the default is the
// fastest this machine supports, and tests switch paths to prove them equal.
enum class RasterPath {
    Reference,  // the literal loops: every stamp pixel, every step of a walk
    Scalar,     // clipped stamps and walks that stop once they cannot reach the canvas again
    Simd,       // as Scalar, with rows filled and added by the widest SIMD the machine has
    Sse2,       // as Simd, limited to SSE2 (what the 32-bit x86 build relies on)
};
void SelectRasterPath(RasterPath path);
RasterPath ActiveRasterPath();

// Binds the host buffer; no checks (a non-positive size simply draws nothing).
void BindCanvas(uint32_t* pixels, int32_t width, int32_t height, int32_t pitch);

// Stores `value` into every visible pixel; spare words past `width` in a row are untouched.
void ClearCanvas(uint32_t value);

// Adds (r, g, b) to pixel (x, y) with per-byte saturation. The amounts are packed unclamped
// as (r*256 + g)*256 + b in 32-bit two's complement, so an amount outside 0-255 carries into
// or borrows from the next byte and whatever lands in bits 24-31 is lost. The stored word
// always has bits 24-31 clear. Off-canvas coordinates are ignored.
void AddPixel(int32_t x, int32_t y, int32_t r, int32_t g, int32_t b);

// AddPixel's per-byte saturating sum of blue, green and red for a pixel known to be on the
// canvas, in word-wide bit operations: the low seven bits of each byte are added apart, the
// carry out of each byte is found from the top bits, and bytes that carried are set to 255.
// Bits 24-31 of both words are ignored and cleared in the result.
inline uint32_t AddBytesSaturated(uint32_t pixel, uint32_t composite)
{
    const uint32_t p = pixel & 0x00FFFFFFu, a = composite & 0x00FFFFFFu;
    const uint32_t low = (p & 0x007F7F7Fu) + (a & 0x007F7F7Fu);
    const uint32_t carried = ((p & a) | ((p | a) & low)) & 0x00808080u;
    const uint32_t sum = low ^ ((p ^ a) & 0x00808080u);
    return sum | (carried >> 7) * 0xFFu;
}

// A point that passes this test has its whole 2x2 block on the canvas. Written so that a
// coordinate that is not a number fails it.
inline bool SplatLands(float x, float y)
{
    const Canvas& c = BoundCanvas;
    const double maxX = static_cast<double>(int64_t{c.width} - 2);
    const double maxY = static_cast<double>(int64_t{c.height} - 2);
    return x >= 2.0f && y >= 2.0f && static_cast<double>(x) <= maxX && static_cast<double>(y) <= maxY;
}

// Draws a point at a fractional position by sharing its colour over the 2x2 block whose
// top-left pixel contains it, with the fractions halved so the top-left pixel keeps at least a
// quarter. Points outside [2, width-2] x [2, height-2], or not numbers, are dropped.
void SplatPoint(float x, float y, float r, float g, float b);

// Draws a segment as splats one unit apart with a colour ramp, walking from the end chosen by
// where the ends lie relative to the canvas and stopping at the edges that end watches.
// Colour B is the ramp's colour at (x1, y1), colour A at (x2, y2). Non-finite ends draw nothing.
void DrawFadeLine(float x1, float y1, float x2, float y2, float rA, float gA, float bA, float rB,
                  float gB, float bB);

// The literal walk, one splat per step however far off the canvas it goes. Draws the same
// pixels as DrawFadeLine, which stops as soon as no later step can land on the canvas; tests
// hold the two together.
void DrawFadeLineReference(float x1, float y1, float x2, float y2, float rA, float gA, float bA,
                           float rB, float gB, float bB);

// The built-in 64x64 grey glow picture, row-major, 0x00RRGGBB texels with equal channels.
extern const uint32_t GlowImage[4096];

// The picture the scene stamps; always GlowImage.
extern const uint32_t* const activeGlow;

// Stamps a 64x64 picture centred on (x, y), scaled to ceil(size) x ceil(size) pixels by
// nearest-texel stepping (fixed-point step 4096 / size), each texel times `intensity` added
// through AddPixel. A size that is not a finite positive number draws nothing.
void BlitGlow(int32_t x, int32_t y, float size, const uint32_t* image, float intensity);

// One glow stamp: BlitGlow's arguments.
struct GlowStamp {
    int32_t x, y;
    float size;
    const uint32_t* image;
    float intensity;
};

// Stamps the glows in order: the same pixels as calling BlitGlow for each in turn, drawn band
// by band so the canvas rows stay in cache while the glows pile up.
void BlitGlows(const GlowStamp* stamps, int count);

// ClearCanvas(background) followed by BlitGlows(stamps, count): the same pixels, drawn in
// one pass over the canvas where the stamps are large enough for that to pay. Scratch rows
// are allocated on the first call and when the canvas grows; if that fails the frame is
// drawn in two passes.
void ClearAndBlitGlows(uint32_t background, const GlowStamp* stamps, int count);

// Frees the scratch rows of ClearAndBlitGlows.
void ReleaseRasterScratch();

// The literal double loop over every stamp pixel, on or off the canvas. Same pixels as
// BlitGlow, which only visits the part of the stamp that lies on the canvas.
void BlitGlowReference(int32_t x, int32_t y, float size, const uint32_t* image, float intensity);

}  // namespace nimbrelle
