// ViewPoint for many points at once: the same subtract, rotate and project, several points per
// instruction in SIMD doubles. Every lane performs ViewPoint's operations in ViewPoint's order,
// including each stage's rounding to single precision, so every result is bit for bit what
// ViewPoint returns; tests hold the versions together.
#pragma once

#include <cstddef>

#include "camera/camera.h"

namespace nimbrelle {

// Views `count` points: the first at `points`, each next one `stride` bytes after the previous
// (so positions can be read where they sit inside larger records). Point i's canvas x, canvas y
// and depth go to x[i], y[i] and z[i].
using ViewPointsFn = void (*)(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count,
                              float* x, float* y, float* z);

// One ViewPoint call per point.
void ViewPointsScalar(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                      float* y, float* z);
// Two points per step where the build targets SSE2 (every x86-64 build, and the 32-bit x86 one
// with -msse2); ViewPointsScalar elsewhere.
void ViewPointsSse2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z);
// Four points per step; only where HaveViewPointsAvx2() (checked at run time).
bool HaveViewPointsAvx2();
void ViewPointsAvx2(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                    float* y, float* z);

}  // namespace nimbrelle
