#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "raster/convert.h"
#include "raster/raster.h"
#include "raster/splat_block.h"
#include "raster/fade_walk.h"
#include "raster/add_row.h"

namespace nimbrelle {

uint64_t ConstantSteps(double v, double s, double& d)
{
    d = 0.0;
    if (s == 0.0) return Unbounded;
    const double a = std::fabs(v);
    if (!(a >= 0x1p-900 && a < 0x1p900)) return 0;  // zero, tiny, huge or not finite
    // a is normal here: with E its biased exponent, a lies in [2^(E-1023), 2^(E-1022)) and the
    // doubles of that binade are 2^(E-1075) apart. Built from the bits, so no C library
    // function (whose 32-bit x86 builds use x87 instructions) takes part.
    const auto biased = static_cast<int>((std::bit_cast<uint64_t>(a) >> 52) & 0x7ff);
    const double u = std::bit_cast<double>(static_cast<uint64_t>(biased - 52) << 52);  // spacing
    const double t = s / u;                    // exact: a power-of-two scaling
    if (!(std::fabs(t) < 0x1p52)) return 0;
    const auto units = static_cast<uint64_t>(a / u);  // in [2^52, 2^53)
    if (t - std::floor(t) == 0.5 && (units & 1u) != 0) return 0;
    const double next = v + s;
    d = next - v;  // exact when next stays in the binade, which the count below requires
    const double steps = std::fabs(d) / u;
    if (steps != std::floor(steps)) return 0;
    const auto step = static_cast<uint64_t>(steps);
    if (step == 0) return Unbounded;
    constexpr uint64_t Top = uint64_t{1} << 53, Bottom = uint64_t{1} << 52;
    // Each exact sum lies within half a spacing of the next grid point: keep one spacing clear
    // of either end of the binade.
    const bool away = (d > 0.0) == (v > 0.0);
    if (away) return units + step >= Top - 1 ? 0 : (Top - 2 - units) / step;
    return units < Bottom + 1 + step ? 0 : (units - Bottom - 1) / step;
}

namespace {

// The literal walk: one splat per step however far off the canvas it goes.
void RunWalkReference(Walk k)
{
    for (double i = 0.0; i < k.len; i += 1.0) {
        if (!GuardHolds(k, k.x, k.y)) return;
        SplatPoint(static_cast<float>(k.x), static_cast<float>(k.y), static_cast<float>(k.r),
                   static_cast<float>(k.g), static_cast<float>(k.b));
        Advance(k);
    }
}

void RunWalkFastest(const Walk& k)
{
    static const bool avx2 = HaveAddRowAvx2();
    switch (ActiveRasterPath()) {
    case RasterPath::Simd:
        if (avx2)
            RunWalkAvx2(k);
        else
            RunWalkSse2(k);
        return;
    case RasterPath::Sse2: RunWalkSse2(k); return;
    case RasterPath::Reference:
    case RasterPath::Scalar: break;
    }
    RunWalk<PlainSplat>(k);
}

// Absolute whole-number channel difference over the length: never negative.
double ChannelStep(float from, float to, double len)
{
    const int64_t diff = TruncToInt32(static_cast<double>(from) - static_cast<double>(to));
    return static_cast<double>(std::llabs(diff)) / len;
}

template <bool Literal>
void FadeLine(float x1, float y1, float x2, float y2, float rA, float gA, float bA, float rB,
              float gB, float bB)
{
    // A non-finite end makes the length or the steps non-finite, and some walks would never
    // meet their stopping test.
    if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2)) return;

    const float dx = static_cast<float>(static_cast<double>(x2) - static_cast<double>(x1));
    const float dy = static_cast<float>(static_cast<double>(y2) - static_cast<double>(y1));
    const double ddx = dx, ddy = dy;
    const double len = std::sqrt(ddx * ddx + ddy * ddy);
    if (!(len > 0.0)) return;

    Walk k{};
    k.len = len;
    k.sx = ddx / len;
    k.sy = ddy / len;
    k.kr = ChannelStep(rB, rA, len);
    k.kg = ChannelStep(gB, gA, len);
    k.kb = ChannelStep(bB, bA, len);
    k.w = BoundCanvas.width;
    k.h = BoundCanvas.height;

    const double X1 = x1, Y1 = y1, X2 = x2, Y2 = y2, W = k.w, H = k.h;
    bool fromP1;
    if (X1 > 0 && Y1 > 0 && (X2 < 0 || Y2 < 0)) {
        fromP1 = true;
        k.guard = Guard::LeftTop;
    } else if (X2 > 0 && Y2 > 0 && (X1 < 0 || Y1 < 0)) {
        fromP1 = false;
        k.guard = Guard::LeftTop;
    } else if (X1 <= W && Y1 <= H && (X2 > W || Y2 > H)) {
        fromP1 = true;
        k.guard = Guard::AllEdges;
    } else if ((X1 > W || Y1 > H) && X2 <= W && Y2 <= H) {
        fromP1 = false;
        k.guard = Guard::RightBottom;
    } else if (X1 <= W && Y1 <= H && X2 <= W && Y2 <= H) {
        fromP1 = true;
        k.guard = Guard::RightBottom;
    } else {
        return;
    }

    if (fromP1) {
        k.x = X1;
        k.y = Y1;
        k.r = rB;
        k.g = gB;
        k.b = bB;
    } else {
        k.x = X2;
        k.y = Y2;
        k.r = rA;
        k.g = gA;
        k.b = bA;
        k.sx = -k.sx;
        k.sy = -k.sy;
        k.kr = -k.kr;
        k.kg = -k.kg;
        k.kb = -k.kb;
    }
    if constexpr (Literal)
        RunWalkReference(k);
    else
        RunWalkFastest(k);
}

}  // namespace

void DrawFadeLine(float x1, float y1, float x2, float y2, float rA, float gA, float bA, float rB,
                  float gB, float bB)
{
    if (ActiveRasterPath() == RasterPath::Reference)
        FadeLine<true>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
    else
        FadeLine<false>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
}

void DrawFadeLineReference(float x1, float y1, float x2, float y2, float rA, float gA, float bA,
                           float rB, float gB, float bB)
{
    FadeLine<true>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
}

}  // namespace nimbrelle
