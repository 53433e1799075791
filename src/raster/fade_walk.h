// The fast walk of a fading line, shared by the builds of it for each instruction set: the
// splat routine is a template parameter, so the whole loop is compiled with the instructions
// of the file that instantiates it. The code lives in an unnamed namespace: each file gets its
// own copy, compiled with its own flags.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raster/raster.h"
#include "raster/splat_block.h"
#include "raster/walk_jump.h"

namespace nimbrelle {

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

// The fast walk with the widest splats this processor runs (built with AVX2).
void RunWalkAvx2(const Walk& k);

// The fast walk limited to SSE2, the widest the 32-bit x86 build may assume.
void RunWalkSse2(const Walk& k);

namespace {

// One step of a walk: the colour and the position move on.
inline void Advance(Walk& k)
{
    k.r += k.kr;
    k.g += k.kg;
    k.b += k.kb;
    k.x += k.sx;
    k.y += k.sy;
}

inline bool GuardHolds(const Walk& k, double x, double y)
{
    switch (k.guard) {
    case Guard::LeftTop: return x >= 0.0 && y >= 0.0;
    case Guard::AllEdges: return x >= 0.0 && y >= 0.0 && x <= k.w && y <= k.h;
    case Guard::RightBottom: return x <= k.w && y <= k.h;
    }
    return false;
}

// Splats drawn one at a time: with SSE2 where the build has it.
struct PlainSplat {
    static void Draw(float x, float y, float r, float g, float b) { SplatLanded(x, y, r, g, b); }
};

// Steps ahead at which the walk asks for the canvas rows it will splat on: a steep walk
// reaches a new row at every step, far apart in memory, and the frame has just been written.
constexpr double PrefetchSteps = 24.0;

inline void PrefetchAhead(const Walk& k)
{
    const Canvas& c = BoundCanvas;
    const double x = k.x + PrefetchSteps * k.sx, y = k.y + PrefetchSteps * k.sy;
    if (!(x >= 0.0 && y >= 0.0 && x < k.w && y < k.h)) return;
    // The row below is fetched by a later step, or was by an earlier one.
    PrefetchPixel(PixelAddress(c, static_cast<int32_t>(x), static_cast<int32_t>(y)));
}

// True when no later splat of the walk can land on the canvas. Each coordinate moves
// monotonically (adding a step of fixed sign never moves a rounded sum backwards, and neither
// does rounding to single precision), so once a coordinate has passed the splat's limit in
// the direction it is moving, every later point is rejected too.
inline bool PermanentlyOff(const Walk& k, double x, double y)
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
inline bool SkipUnlanded(Walk& k, double& i)
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

// At a step whose splat lands, the number of steps from it (at least 1) whose splats all
// land while the walk goes on, found from exact jumps of the position and the step count.
inline uint64_t LandingSteps(const Walk& k, double i)
{
    constexpr uint64_t MaxRun = uint64_t{1} << 20;
    if (!(i < 0x1p52)) return 1;
    double dx, dy;
    uint64_t limit = std::min({ConstantSteps(k.x, k.sx, dx), ConstantSteps(k.y, k.sy, dy), MaxRun});
    // The counter is a whole number below 2^52 and goes up by exactly 1: i + n < len holds
    // for n below ceil(len) - i.
    if (k.len < 0x1p52) limit = std::min(limit, static_cast<uint64_t>(std::ceil(k.len) - i) - 1);
    if (limit == 0) return 1;
    const auto lands = [&](uint64_t n) {
        const auto m = static_cast<double>(n);
        const double x = k.x + m * dx, y = k.y + m * dy;
        return GuardHolds(k, x, y) && SplatLands(static_cast<float>(x), static_cast<float>(y));
    };
    uint64_t lo = 0, hi = limit + 1;  // lands(lo); hi is past the last step known exactly
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (lands(mid) ? lo : hi) = mid;
    }
    return lo + 1;
}

// Runs of fewer landing steps than this are walked with the checks at every step.
constexpr uint64_t MinLandingRun = 8;

// The same splats, with the walk ended once no later splat can land and the stretches where
// none lands jumped over. The guard, the landing test and PermanentlyOff are written out as
// bounds held in registers.
template <class Splat>
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
            const uint64_t run = LandingSteps(k, i);
            if (run >= MinLandingRun) {
                // Every splat of the run lands and the walk goes on: no checks inside.
                if constexpr (requires { Splat::DrawRun(k, run); }) {
                    Splat::DrawRun(k, run);
                    i += static_cast<double>(static_cast<int32_t>(run));  // run <= 2^20
                } else {
                    for (uint64_t n = 0; n < run; ++n) {
                        PrefetchAhead(k);
                        Splat::Draw(static_cast<float>(k.x), static_cast<float>(k.y), static_cast<float>(k.r),
                                    static_cast<float>(k.g), static_cast<float>(k.b));
                        Advance(k);
                        i += 1.0;
                    }
                }
                continue;
            }
            PrefetchAhead(k);
            Splat::Draw(fx, fy, static_cast<float>(k.r), static_cast<float>(k.g), static_cast<float>(k.b));
        } else if (SkipUnlanded(k, i)) {
            continue;
        }
        Advance(k);
        i += 1.0;
        // One of the steps is at least 0.7 long, so a position that no longer moves lies
        // beyond 2^52 and every remaining splat would land there, off the canvas.
        if (k.x == x && k.y == y) return;
    }
}

#if defined(__SSE2__)
// Landing runs with their steps formed several at a time in SIMD lanes.
//
// Inside a landing run every accumulator moves by a constant exact amount while it stays in
// its binade, so step n's value is computed directly as base + (n - from) * d rather than by
// n additions: steps no longer wait for each other. Where an accumulator would leave its
// binade within a group of steps, that group's values are taken by plain additions and the
// accumulator's stretch starts again after them.

// One accumulator across a landing run: for steps n in [from, until] (counted from the run's
// first splat) its value is base + (n - from) * d, exactly what repeated additions of s give.
struct Track {
    double base, s, d;
    int32_t from, until;
};

// Starts a track at step n (n <= end) with value v, its stretch ending by step `end`.
inline void StartTrack(Track& t, double v, double s, int32_t n, int32_t end)
{
    t.base = v;
    t.s = s;
    t.from = n;
    const uint64_t steps = ConstantSteps(v, s, t.d);
    t.until = n + static_cast<int32_t>(std::min<uint64_t>(steps, static_cast<uint64_t>(end - n)));
}

inline double TrackAt(const Track& t, int32_t n) { return t.base + static_cast<double>(n - t.from) * t.d; }

// A group of four steps: the tracks' values at steps n .. n+3, one array per accumulator
// (x, y, r, g, b), and each track moved on so that it holds step n + 4 again.
inline void TrackGroupLanes(Track (&t)[5], int32_t n, int32_t end, double (&lanes)[5][4])
{
    for (int a = 0; a < 5; ++a) {
        if (n + 4 <= t[a].until) {
            for (int j = 0; j < 4; ++j) lanes[a][j] = TrackAt(t[a], n + j);
            continue;
        }
        double v = TrackAt(t[a], n);
        for (int j = 0; j < 4; ++j) {
            lanes[a][j] = v;
            v += t[a].s;
        }
        StartTrack(t[a], v, t[a].s, n + 4, end);
    }
}

// Formed splats waiting to be added: for each, the composites of its four pixels (top-left,
// top-right, bottom-left, bottom-right) and the offset of its top-left pixel.
constexpr int BatchSteps = 16;
struct SplatBatch {
    __m128i composites[BatchSteps];
    int64_t offsets[BatchSteps];
};

// Stores four composite vectors, one per pixel of the block with a lane per step, as one
// vector per step.
inline void StoreComposites(SplatBatch& b, int slot, __m128i c0, __m128i c1, __m128i c2, __m128i c3)
{
    const __m128i t0 = _mm_unpacklo_epi32(c0, c1), t1 = _mm_unpacklo_epi32(c2, c3);
    const __m128i t2 = _mm_unpackhi_epi32(c0, c1), t3 = _mm_unpackhi_epi32(c2, c3);
    b.composites[slot] = _mm_unpacklo_epi64(t0, t1);
    b.composites[slot + 1] = _mm_unpackhi_epi64(t0, t1);
    b.composites[slot + 2] = _mm_unpacklo_epi64(t2, t3);
    b.composites[slot + 3] = _mm_unpackhi_epi64(t2, t3);
}

// Packs the amounts of four pixels for four steps, amounts(j, channel) giving pixel j's amounts
// of red, green or blue (0, 1, 2) with a lane per step, as Composite does, and stores them one
// vector per step.
template <class Amounts>
inline void StoreComposites(SplatBatch& b, int slot, const Amounts& amounts)
{
    __m128i composite[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
        composite[j] = CompositesSse2(amounts(j, 0), amounts(j, 1), amounts(j, 2));
    StoreComposites(b, slot, composite[0], composite[1], composite[2], composite[3]);
}

// Adds the first `count` splats of a batch. Saturating byte additions commute (a pixel ends
// as the per-byte minimum of 255 and its start plus everything added), so the order is free:
// every fourth splat is taken in turn (those starting 1, 3, 0 and 2 steps into the batch), so
// in a full batch, and across to the next, each splat lies at least three steps (over two
// pixels) from the one added before it. Their blocks share no pixel, so a block's rows move as
// 8-byte words without waiting on the previous splat's stores (in the last, partial batch a
// few may wait).
inline void ApplyBatch(const SplatBatch& b, int count, uint32_t* pixels, int32_t pitch)
{
    for (const int first : {1, 3, 0, 2})
        for (int s = first; s < count; s += 4) {
            uint32_t* top = pixels + b.offsets[s];
            AddBlockRowsSse2(top, top + pitch, b.composites[s]);
        }
}

// The splats of a landing run of `steps` steps, each exactly as SplatLanded draws it, with k
// moved past them. A Group holds four consecutive steps' accumulators in SIMD lanes: Start
// sets them from the tracks' closed forms, Next moves them on four steps (exact while every
// track stays in its stretch), Load takes them lane by lane, and Form adds the four splats
// to a batch. Batches are added one behind, so the rows of a batch's splats, asked for as it
// is formed (both rows: along a shallow walk the lower one is not the next splat's upper one),
// have arrived by the time it is added.
template <class Group>
void DrawLandingRun(Walk& k, uint64_t steps)
{
    const auto run = static_cast<int32_t>(steps);  // LandingSteps gives at most 2^20
    Track t[5];
    StartTrack(t[0], k.x, k.sx, 0, run);
    StartTrack(t[1], k.y, k.sy, 0, run);
    StartTrack(t[2], k.r, k.kr, 0, run);
    StartTrack(t[3], k.g, k.kg, 0, run);
    StartTrack(t[4], k.b, k.kb, 0, run);
    const auto firstEnd = [&] {
        return std::min(std::min(std::min(t[0].until, t[1].until), std::min(t[2].until, t[3].until)), t[4].until);
    };
    int32_t until = firstEnd();
    // Held apart from the canvas record, which the pixel stores might otherwise overwrite.
    uint32_t* const pixels = BoundCanvas.pixels;
    const int32_t pitch = BoundCanvas.pitch;
    Group group(pitch);
    group.Start(t, 0);
    SplatBatch batches[2];
    int current = 0, filled = 0;
    bool waiting = false;  // the other batch holds splats not yet added
    int32_t n = 0;
    for (; n + 4 <= run; n += 4) {
        SplatBatch& batch = batches[current];
        if (n + 4 <= until) {
            group.Form(batch, filled);
            group.Next();
        } else {
            double lanes[5][4];
            TrackGroupLanes(t, n, run, lanes);
            group.Load(lanes);
            group.Form(batch, filled);
            until = firstEnd();
            group.Start(t, n + 4);
        }
        const int64_t* formed = batch.offsets + filled;
        for (int j = 0; j < 4; ++j) {
            PrefetchPixel(pixels + formed[j]);
            PrefetchPixel(pixels + formed[j] + pitch);
        }
        filled += 4;
        if (filled == BatchSteps) {
            if (waiting) ApplyBatch(batches[current ^ 1], BatchSteps, pixels, pitch);
            waiting = true;
            current ^= 1;
            filled = 0;
        }
    }
    if (waiting) ApplyBatch(batches[current ^ 1], BatchSteps, pixels, pitch);
    ApplyBatch(batches[current], filled, pixels, pitch);
    k.x = TrackAt(t[0], n);
    k.y = TrackAt(t[1], n);
    k.r = TrackAt(t[2], n);
    k.g = TrackAt(t[3], n);
    k.b = TrackAt(t[4], n);
    for (; n < run; ++n) {
        SplatLanded(static_cast<float>(k.x), static_cast<float>(k.y), static_cast<float>(k.r), static_cast<float>(k.g),
                    static_cast<float>(k.b));
        Advance(k);
    }
}
#endif

}  // namespace
}  // namespace nimbrelle
