#include <cmath>

#include "camera/trig.h"
#include "raster/raster.h"
#include "scene/random.h"
#include "scene/scene.h"

namespace nimbrelle {

Camera SceneCamera{};
float SceneClock = 0.0f;
int32_t Periods[PeriodCount];

namespace {

bool Ready = false;

// Angle of the orbit's periodic paths at scene time t.
inline double OrbitAngle(float t, int32_t period)
{
    return static_cast<double>(t) * 3.142 / period;
}

}  // namespace

bool SceneReady() { return Ready; }

void ReleaseScene()
{
    ReleaseCamera(SceneCamera);
    ReleaseRasterScratch();
    Ready = false;
}

bool InitScene()
{
    for (int32_t& p : Periods) p = NextRandom() % 1000 + 800;
    InitFountainRays();
    InitPulses();
    InitBurstRays();
    InitStars();

    // The previous scene's keyframe lists are released before the new ones are made.
    ReleaseScene();
    if (!CreateCamera(SceneCamera, "blenk")) return false;
    SceneClock = 0.0f;
    Ready = true;
    return true;
}

double FrameEnergy(const FrameData& frame)
{
    int32_t energy = 0;
    for (int i = 0; i < 8; ++i) {
        const int c = i % 2, k = i / 2;
        energy += frame.blockB[c][k] * frame.blockA[c][k];
    }
    return energy;
}

void PlaceCamera(float t)
{
    Camera& cam = SceneCamera;
    Vector3& pos = cam.positions[0];
    pos.x = static_cast<float>(350.0 * Sine(OrbitAngle(t, Periods[0])));
    pos.y = static_cast<float>(-350.0 * Cosine(OrbitAngle(t, Periods[1])));
    pos.z = static_cast<float>(350.0 * Cosine(1.0));
    Vector3& target = cam.targets[0];
    target.x = static_cast<float>(-170.0 * Cosine(OrbitAngle(t, Periods[3])));
    target.y = static_cast<float>(170.0 * Cosine(OrbitAngle(t, Periods[4])));
    target.z = static_cast<float>(170.0 * Sine(OrbitAngle(t, Periods[5])));

    const Canvas& c = BoundCanvas;
    cam.nearOffset = 0.0f;
    cam.focal = 100.0f;
    cam.centerX = c.halfWidth;
    cam.centerY = c.halfHeight;
    cam.scaleX = c.width * static_cast<double>(0.003125f);
    cam.scaleY = c.height * static_cast<double>(0.004166667f);
}

void RenderScene(const FrameData& frame)
{
    const double energy = FrameEnergy(frame);
    const auto glowScale = static_cast<float>(std::fabs(energy * static_cast<double>(0.0025f)));

    PlaceCamera(SceneClock);
    UpdateCamera(SceneCamera, 0);
    const Vector3 origin = ViewPoint(SceneCamera, Vector3{0.0f, 0.0f, 0.0f});

    DrawFountain(glowScale, frame);
    DrawBurst(origin.x, origin.y, frame);
    DrawStars();

    SceneClock = SceneClock + 3.0f;
}

}  // namespace nimbrelle
