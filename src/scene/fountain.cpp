#include "camera/trig.h"
#include "raster/convert.h"
#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"

namespace nimbrelle {

Vector3 FountainRays[RayRows][FountainRayCount];
Pulse Pulses[FountainRayCount];

void InitFountainRays()
{
    for (int j = 0; j < FountainRayCount; ++j) {
        // Integer divisions: each angle is a whole number 0-6, so the rays share at most 49
        // directions.
        const auto a = static_cast<float>(NextRandom() / 5217);
        const double b = NextRandom() / 5217;
        const double ca = Cosine(a), sa = Sine(a), cb = Cosine(b), sb = Sine(b);
        const double dx = ca * cb, dy = sa * cb, dz = sb;
        for (int k = 0; k < RayRows; ++k) {
            const double dist = 2.0 * k;
            FountainRays[k][j] = Vector3{static_cast<float>(dist * dx), static_cast<float>(dist * dy),
                                         static_cast<float>(dist * dz)};
        }
    }
}

void InitPulses()
{
    for (Pulse& p : Pulses) {
        p.amplitude = static_cast<float>(NextRandom() / 130);
        p.rate = 140;
        NextRandom();  // drawn and unused; it keeps the later tables where they belong
        p.phase = 0.0f;
    }
}

namespace {

// Phase at the top of the arc: amplitude / 140.
inline double PeakPhase(const Pulse& p)
{
    return ((static_cast<double>(p.amplitude) * 2.0) / p.rate) * static_cast<double>(0.5f);
}

}  // namespace

void DrawFountain(float glowScale, const FrameData& frame)
{
    const auto glowBase = static_cast<float>(
        static_cast<double>(glowScale) * static_cast<double>(0.005f) * 23.0 + 10.0);
    const auto size = static_cast<float>(glowBase * SceneCamera.scaleX);

    // The pulses move first and the glows are stamped together afterwards, with the clear:
    // clearing and stamping touch only pixels, so this draws exactly what clearing first and
    // stamping inside the loop would.
    GlowStamp stamps[FountainRayCount];
    for (int h = 0; h < FountainRayCount; ++h) {
        Pulse& p = Pulses[h];
        p.phase = static_cast<float>(p.phase + 0.05);
        p.rate = 140;
        const double phase = p.phase, amplitude = p.amplitude;
        p.row = TruncToInt32(phase * amplitude - phase * phase * 70.0);
        if (phase > PeakPhase(p) || p.row <= 0) {
            p.amplitude = frame.blockA[0][(512 * h) / 20];
            p.phase = 0.0f;
            p.row = 0;
        }
        const Vector3 s = ViewPoint(SceneCamera, FountainRays[p.row][h]);
        const auto intensity = static_cast<float>(1.0 - static_cast<double>(p.phase) / PeakPhase(p));
        stamps[h] = GlowStamp{TruncToInt32(s.x), TruncToInt32(s.y), size, activeGlow, intensity};
    }
    ClearAndBlitGlows(SceneBackground, stamps, FountainRayCount);
}

}  // namespace nimbrelle
