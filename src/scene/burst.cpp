#include <cstdlib>

#include "camera/trig.h"
#include "raster/convert.h"
#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"

namespace nimbrelle {

Vector3 BurstRays[RayRows][BurstRayCount];

void InitBurstRays()
{
    for (int j = 0; j < BurstRayCount; ++j) {
        // The products reach about 1.8e8 radians; their sines and cosines serve as random
        // directions.
        const auto a = static_cast<float>(static_cast<double>(NextRandom() * 5461) + 0.14);
        const double b = static_cast<double>(NextRandom() * 5461) + 0.14;
        const double ca = Cosine(a), sa = Sine(a), cb = Cosine(b), sb = Sine(b);
        const double dx = ca * cb, dy = sa * cb, dz = sb;
        for (int k = 0; k < RayRows; ++k) {
            const double dist = 250.0 + 2.0 * k;
            BurstRays[k][j] = Vector3{static_cast<float>(dist * dx), static_cast<float>(dist * dy),
                                      static_cast<float>(dist * dz)};
        }
    }
}

void DrawBurst(float originX, float originY, const FrameData& frame)
{
    const int level = frame.blockB[0][2];
    const auto m = static_cast<float>(std::abs(TruncToInt32(level * 1.5)));
    for (int j = 0; j < BurstRayCount; ++j) {
        const Vector3 s = ViewPoint(SceneCamera, BurstRays[level][j]);
        DrawFadeLine(static_cast<float>(TruncToInt32(s.x)), static_cast<float>(TruncToInt32(s.y)),
                     originX, originY, m, m, 255.0f, 0.0f, 0.0f, 0.0f);
    }
}

}  // namespace nimbrelle
