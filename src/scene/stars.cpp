#include "camera/trig.h"
#include "scene/random.h"
#include "scene/scene.h"
#include "raster/raster.h"

namespace nimbrelle {

Star Stars[StarCount];

void InitStars()
{
    for (Star& star : Stars) {
        // The factor multiplies: the angles run up to about 1.7e8 radians and their sines and
        // cosines serve as random values.
        const auto a = static_cast<float>(NextRandom() * 5217.675159235669);
        const double b = NextRandom() * 5217.675159235669;
        const double cb = Cosine(b);
        star.position = Vector3{static_cast<float>(500.0 * Cosine(a) * cb),
                                static_cast<float>(500.0 * Sine(a) * cb),
                                static_cast<float>(500.0 * Sine(b))};
        star.brightness = NextRandom() % 154 + 100;
        star.active = 1;
    }
}

void DrawStars()
{
    for (const Star& star : Stars) {
        const Vector3 s = ViewPoint(SceneCamera, star.position);
        if (s.z <= 0.0f) continue;  // on or behind the camera plane
        auto u = static_cast<float>(star.brightness - static_cast<double>(s.z) * static_cast<double>(0.25f));
        if (u < 0.0f) u = 0.0f;
        if (star.active != 1) continue;
        const float red = u * 0.25f;
        SplatPoint(s.x, s.y, red, u, u);
        SplatPoint(static_cast<float>(s.x + 0.1), static_cast<float>(s.y + 0.1), red, u, u);
    }
}

}  // namespace nimbrelle
