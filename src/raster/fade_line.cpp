#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "raster/convert.h"
#include "raster/raster.h"
#include "raster/splat_block.h"
#include "raster/walk_jump.h"

namespace nimbrelle {

uint64_t ConstantSteps(double v, double s, double& d)
{
    d = 0.0;
    if (s == 0.0) return Unbounded;
    const double a = std::fabs(v);
    if (!(a >= 0x1p-900 && a < 0x1p900)) return 0;  // zero, tiny, huge or not finite
    int e = 0;
    std::frexp(a, &e);                  // a in [2^(e-1), 2^e)
    const double u = std::ldexp(1.0, e - 53);  // spacing of the binade
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

// Steps ahead at which the walk asks for the canvas rows it will splat on: a steep walk
// reaches a new row at every step, far apart in memory, and the frame has just been written.
constexpr double PrefetchSteps = 24.0;

inline void PrefetchAhead(const Walk& k)
{
    const Canvas& c = BoundCanvas;
    const double x = k.x + PrefetchSteps * k.sx, y = k.y + PrefetchSteps * k.sy;
    if (!(x >= 0.0 && y >= 0.0 && x < k.w - 1.0 && y < k.h - 1.0)) return;
    const uint32_t* p = PixelAddress(c, static_cast<int32_t>(x), static_cast<int32_t>(y));
    __builtin_prefetch(p, 1);
    __builtin_prefetch(p + c.pitch, 1);
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

// At a step whose splat does not land, jumps over every following step whose splat would not
// land either, as far as the accumulators allow an exact jump and the walk would go on (the
// guard holds and steps remain). False when no step can be jumped.
bool SkipUnlanded(Walk& k, double& i)
{
    double dx, dy, dr, dg, db, di;
    uint64_t limit = ConstantSteps(k.x, k.sx, dx);
    limit = std::min(limit, ConstantSteps(k.y, k.sy, dy));
    limit = std::min(limit, ConstantSteps(k.r, k.kr, dr));
    limit = std::min(limit, ConstantSteps(k.g, k.kg, dg));
    limit = std::min(limit, ConstantSteps(k.b, k.kb, db));
    limit = std::min(limit, ConstantSteps(i, 1.0, di));
    limit = std::min(limit, uint64_t{1} << 52);
    if (limit <= 1) return false;
    // Step n of the jump (n < limit) would be taken, and draw nothing, while this holds: it
    // holds for a prefix of the steps, as each of its parts does.
    const auto quiet = [&](uint64_t n) {
        const auto m = static_cast<double>(n);
        const double x = k.x + m * dx, y = k.y + m * dy;
        return i + m * di < k.len && GuardHolds(k, x, y) && !PermanentlyOff(k, x, y) &&
               !SplatLands(static_cast<float>(x), static_cast<float>(y));
    };
    // Step 0 is quiet; find the last quiet step below the limit.
    uint64_t lo = 0, hi = limit;  // quiet(lo); every step from hi on is beyond the jump
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (quiet(mid) ? lo : hi) = mid;
    }
    const auto m = static_cast<double>(lo + 1);
    k.x += m * dx;
    k.y += m * dy;
    k.r += m * dr;
    k.g += m * dg;
    k.b += m * db;
    i += m * di;
    return true;
}

// The literal walk: one splat per step however far off the canvas it goes.
void RunWalkReference(Walk k)
{
    for (double i = 0.0; i < k.len; i += 1.0) {
        if (!GuardHolds(k, k.x, k.y)) return;
        SplatPoint(static_cast<float>(k.x), static_cast<float>(k.y), static_cast<float>(k.r),
                   static_cast<float>(k.g), static_cast<float>(k.b));
        k.r += k.kr;
        k.g += k.kg;
        k.b += k.kb;
        k.x += k.sx;
        k.y += k.sy;
    }
}

// The same splats, with the walk ended once no later splat can land and the stretches where
// none lands jumped over. The guard, the landing test and PermanentlyOff are written out as
// bounds held in registers.
void RunWalk(Walk k)
{
    const Canvas& c = BoundCanvas;
    // A canvas narrower or lower than 4 pixels has no place a splat can land.
    if (c.width < 4 || c.height < 4) return;
    constexpr double Inf = HUGE_VAL;
    const double maxX = static_cast<double>(c.width) - 2.0, maxY = static_cast<double>(c.height) - 2.0;
    const double guardX0 = k.guard == Guard::RightBottom ? -Inf : 0.0;
    const double guardY0 = k.guard == Guard::RightBottom ? -Inf : 0.0;
    const double guardX1 = k.guard == Guard::LeftTop ? Inf : k.w;
    const double guardY1 = k.guard == Guard::LeftTop ? Inf : k.h;
    const double offXHigh = k.sx >= 0.0 ? maxX : Inf, offXLow = k.sx <= 0.0 ? 2.0 : -Inf;
    const double offYHigh = k.sy >= 0.0 ? maxY : Inf, offYLow = k.sy <= 0.0 ? 2.0 : -Inf;
    double i = 0.0;
    while (i < k.len) {
        const double x = k.x, y = k.y;
        if (!(x >= guardX0 && y >= guardY0 && x <= guardX1 && y <= guardY1)) return;
        const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
        const double dfx = fx, dfy = fy;
        if (dfx > offXHigh || dfx < offXLow || dfy > offYHigh || dfy < offYLow) return;
        if (dfx >= 2.0 && dfy >= 2.0 && dfx <= maxX && dfy <= maxY) {
            PrefetchAhead(k);
            SplatLanded(fx, fy, static_cast<float>(k.r), static_cast<float>(k.g), static_cast<float>(k.b));
        } else if (SkipUnlanded(k, i)) {
            continue;
        }
        k.r += k.kr;
        k.g += k.kg;
        k.b += k.kb;
        k.x += k.sx;
        k.y += k.sy;
        i += 1.0;
        // One of the steps is at least 0.7 long, so a position that no longer moves lies
        // beyond 2^52 and every remaining splat would land there, off the canvas.
        if (k.x == x && k.y == y) return;
    }
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
        RunWalk(k);
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
