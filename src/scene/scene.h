// Scene: what is drawn and when. A camera orbits the origin; each frame a pulse fountain, a
// ray burst and a star shell are drawn over dark blue, driven by the frame's signal levels.
#pragma once

#include <cstdint>

#include "camera/camera.h"
#include "nimbrelle/module.h"

namespace nimbrelle {

inline constexpr int RayRows = 256;
inline constexpr int FountainRayCount = 20;
inline constexpr int BurstRayCount = 25;
inline constexpr int StarCount = 2500;
inline constexpr int PeriodCount = 16;
inline constexpr uint32_t SceneBackground = 0x22;  // dark blue

struct Pulse {
    float amplitude;  // launch strength, 0-255
    float phase;      // time since launch
    int32_t rate;     // always 140
    int32_t row;      // current row of FountainRays
};

struct Star {
    Vector3 position;    // on the sphere of radius 500
    int32_t brightness;  // 100-253
    int32_t active;      // drawn while 1
};

// Scene state, built by InitScene.
extern Camera SceneCamera;
extern float SceneClock;                                  // +3 per drawn frame
extern int32_t Periods[PeriodCount];                      // 800-1799
extern Vector3 FountainRays[RayRows][FountainRayCount];   // row k: distance 2k along ray j
extern Pulse Pulses[FountainRayCount];
extern Vector3 BurstRays[RayRows][BurstRayCount];         // row k: distance 250 + 2k
extern Star Stars[StarCount];

// Draws every random table (periods, fountain rays, pulses, burst rays, stars, in that order),
// creates the camera anew and zeroes the clock. False when the camera cannot be allocated;
// the scene is then not ready until a later call succeeds.
bool InitScene();
// True after a successful InitScene.
bool SceneReady();
// Frees the camera's keyframe lists and the raster's scratch rows; the scene is not ready
// afterwards.
void ReleaseScene();
// Draws one frame into the bound canvas and advances the clock. The scene must be ready.
void RenderScene(const FrameData& frame);

// The pieces of InitScene and RenderScene, in the order those call them.
void InitFountainRays();
void InitPulses();
void InitBurstRays();
void InitStars();
// Sum of blockB[c][k] * blockA[c][k] over the first four values of both channels.
double FrameEnergy(const FrameData& frame);
// Sets the camera's keyframes for scene time t and its screen mapping for the bound canvas.
void PlaceCamera(float t);
// Moves the pulses, clears the canvas to SceneBackground and stamps the pulses' glows.
void DrawFountain(float glowScale, const FrameData& frame);
void DrawBurst(float originX, float originY, const FrameData& frame);
void DrawStars();

}  // namespace nimbrelle
