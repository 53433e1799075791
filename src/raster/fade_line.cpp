#include <cmath>
#include <cstdlib>

#include "raster/convert.h"
#include "raster/raster.h"

namespace nimbrelle {

namespace {

// Which canvas edges stop a walk once it crosses them.
enum class Guard { LeftTop, AllEdges, RightBottom };

struct Walk {
    double x, y;        // position of the next splat
    double r, g, b;     // colour of the next splat
    double sx, sy;      // position step, one unit of length, signed toward the far end
    double kr, kg, kb;  // colour step, signed
    double len;         // number of unit steps from one end to the other (not a whole number)
    double w, h;        // canvas size
    Guard guard;
};

bool GuardHolds(const Walk& k, double x, double y)
{
    switch (k.guard) {
    case Guard::LeftTop: return x >= 0.0 && y >= 0.0;
    case Guard::AllEdges: return x >= 0.0 && y >= 0.0 && x <= k.w && y <= k.h;
    case Guard::RightBottom: return x <= k.w && y <= k.h;
    }
    return false;
}

// True when no later splat of the walk can land on the canvas. Each coordinate moves
// monotonically (adding a step of fixed sign never moves a rounded sum backwards, and neither
// does rounding to single precision), so once a coordinate has passed the splat's limit in
// the direction it is moving, every later point is rejected too.
bool PermanentlyOff(const Walk& k, double x, double y)
{
    const double maxX = static_cast<double>(BoundCanvas.width) - 2.0;
    const double maxY = static_cast<double>(BoundCanvas.height) - 2.0;
    const double fx = static_cast<float>(x);
    const double fy = static_cast<float>(y);
    if (k.sx >= 0.0 && fx > maxX) return true;
    if (k.sx <= 0.0 && fx < 2.0) return true;
    if (k.sy >= 0.0 && fy > maxY) return true;
    if (k.sy <= 0.0 && fy < 2.0) return true;
    return false;
}

template <bool EarlyExit>
void RunWalk(Walk k)
{
    if (!(k.len > 0.0)) return;
    double i = 0.0;
    do {
        if (!GuardHolds(k, k.x, k.y)) return;
        if constexpr (EarlyExit) {
            if (PermanentlyOff(k, k.x, k.y)) return;
        }
        SplatPoint(static_cast<float>(k.x), static_cast<float>(k.y), static_cast<float>(k.r),
                   static_cast<float>(k.g), static_cast<float>(k.b));
        k.r += k.kr;
        k.g += k.kg;
        k.b += k.kb;
        const double lastX = k.x, lastY = k.y;
        k.x += k.sx;
        k.y += k.sy;
        i += 1.0;
        if constexpr (EarlyExit) {
            // One of the steps is at least 0.7 long, so a position that no longer moves lies
            // beyond 2^52 and every remaining splat would land there, off the canvas.
            if (k.x == lastX && k.y == lastY) return;
        }
    } while (i < k.len);
}

// Absolute whole-number channel difference over the length: never negative.
double ChannelStep(float from, float to, double len)
{
    const int64_t diff = TruncToInt32(static_cast<double>(from) - static_cast<double>(to));
    return static_cast<double>(std::llabs(diff)) / len;
}

template <bool EarlyExit>
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
    RunWalk<EarlyExit>(k);
}

}  // namespace

void DrawFadeLine(float x1, float y1, float x2, float y2, float rA, float gA, float bA, float rB,
                  float gB, float bB)
{
    if (ActiveRasterPath() == RasterPath::Reference)
        FadeLine<false>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
    else
        FadeLine<true>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
}

void DrawFadeLineReference(float x1, float y1, float x2, float y2, float rA, float gA, float bA,
                           float rB, float gB, float bB)
{
    FadeLine<false>(x1, y1, x2, y2, rA, gA, bA, rB, gB, bB);
}

}  // namespace nimbrelle
