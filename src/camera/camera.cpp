#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "camera/camera.h"

namespace nimbrelle {

void* (*CameraAllocate)(std::size_t bytes) = std::malloc;

namespace {

// Remainder of `frame` by `count` in 0 .. count-1, also for negative frame numbers.
int32_t FoldFrame(int32_t frame, int32_t count)
{
    if (count <= 0) return 0;
    const int32_t r = frame % count;
    return r < 0 ? r + count : r;
}

}  // namespace

void Trace(const char*, ...) {}

bool CreateCamera(Camera& camera, const char* name)
{
    Trace("Creating a camera called '%s'\n", name);
    std::size_t n = 0;
    while (n < sizeof camera.name - 1 && name[n] != '\0') ++n;
    std::memcpy(camera.name, name, n);
    camera.name[n] = '\0';

    camera.up = Vector3{0.0f, 0.0f, 1.0f};
    camera.nearOffset = 0.0f;
    camera.focal = 140.0f;
    camera.positionCount = 1;
    camera.targetCount = 1;
    camera.scaleX = 1.0;
    camera.scaleY = 1.0;
    camera.centerX = 160.0;
    camera.centerY = 120.0;

    constexpr std::size_t bytes = sizeof(Vector3) * CameraKeyframes;
    camera.positions = static_cast<Vector3*>(CameraAllocate(bytes));
    camera.targets = camera.positions ? static_cast<Vector3*>(CameraAllocate(bytes)) : nullptr;
    if (!camera.targets) {
        std::free(camera.positions);
        camera.positions = nullptr;
        return false;
    }
    std::memset(static_cast<void*>(camera.positions), 0, bytes);
    std::memset(static_cast<void*>(camera.targets), 0, bytes);
    return true;
}

void ReleaseCamera(Camera& camera)
{
    std::free(camera.positions);
    std::free(camera.targets);
    camera.positions = nullptr;
    camera.targets = nullptr;
    camera.currentPosition = nullptr;
    camera.currentTarget = nullptr;
}

void UpdateCamera(Camera& camera, int32_t frame)
{
    Trace("Calculating frame %ld for camera '%s'\n", static_cast<long>(frame), camera.name);
    camera.currentTarget = &camera.targets[FoldFrame(frame, camera.targetCount)];
    camera.currentPosition = &camera.positions[FoldFrame(frame, camera.positionCount)];

    Vector3 dir = *camera.currentTarget;
    Subtract(dir, *camera.currentPosition);
    Normalize(dir);
    BuildBasis(dir, camera.up, camera.basis);
    camera.position = *camera.currentPosition;

    const Vector3& p = *camera.currentPosition;
    const Vector3& t = *camera.currentTarget;
    Trace("[%.2f, %.2f, %.2f] + ", static_cast<double>(p.x), static_cast<double>(p.y),
          static_cast<double>(p.z));
    Trace("[%.2f, %.2f, %.2f] * t = ", static_cast<double>(dir.x), static_cast<double>(dir.y),
          static_cast<double>(dir.z));
    Trace("[%.2f, %.2f, %.2f]\n", static_cast<double>(t.x), static_cast<double>(t.y),
          static_cast<double>(t.z));
}

void ProjectPoint(const Camera& camera, Vector3& out, const Vector3& in)
{
    const double w = static_cast<double>(camera.nearOffset) -
                     static_cast<double>(in.z) / static_cast<double>(camera.focal);
    const double x = in.x, y = in.y;
    if (w < static_cast<double>(-0.001f) || w != w) {
        out.x = static_cast<float>(camera.centerX - x * camera.scaleX / w);
        out.y = static_cast<float>(y * camera.scaleY / w + camera.centerY);
    } else {
        out.x = static_cast<float>(camera.centerX - x * camera.scaleX * ProjectionClampedReciprocal);
        out.y = static_cast<float>(y * camera.scaleY * ProjectionClampedReciprocal + camera.centerY);
    }
    out.z = in.z;
}

Vector3 ViewPoint(const Camera& camera, const Vector3& p)
{
    Vector3 q = p;
    Subtract(q, camera.position);
    Vector3 r;
    TransformPoint(camera.basis, q, r);
    Vector3 s;
    ProjectPoint(camera, s, r);
    return s;
}

}  // namespace nimbrelle
