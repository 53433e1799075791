// Camera: 3-D vector arithmetic and a named look-at camera with perspective projection.
//
// Vectors, matrices and colours are stored in single precision; every operation widens its
// inputs to double, computes in double and rounds each result component to single precision
// when it stores it. World space has z pointing up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrelle {

struct Vector3 {
    float x, y, z;
};

// Three rows of four; only the first three values of a row are used. As a camera basis the
// rows are side, up and forward.
struct Matrix3x4 {
    float m[3][4];
};

// v <- v - w.
void Subtract(Vector3& v, const Vector3& w);
// a . b, summed as (z term + y term) + x term.
double Dot(const Vector3& a, const Vector3& b);
// out = a x b; out must not alias a or b.
void Cross(Vector3& out, const Vector3& a, const Vector3& b);
// v <- v / |v|, one division per component. A zero vector becomes non-finite.
void Normalize(Vector3& v);
// Look-at basis: rows forward x up', up' (up made orthogonal to forward), forward.
void BuildBasis(const Vector3& forward, const Vector3& up, Matrix3x4& out);
// out = m * v over the first three columns; out must not alias v.
void TransformPoint(const Matrix3x4& m, const Vector3& v, Vector3& out);

// Keyframe capacity of each of a camera's two lists.
inline constexpr int32_t CameraKeyframes = 1030;

struct Camera {
    char name[32];              // NUL-terminated, truncated to 31 characters
    Vector3* currentPosition;   // keyframe chosen by the last UpdateCamera
    Vector3* currentTarget;     // keyframe chosen by the last UpdateCamera
    Vector3 up;                 // world up, (0, 0, 1)
    Matrix3x4 basis;            // side, up, forward
    Vector3 position;           // copy of *currentPosition
    float nearOffset;           // added in the projection divisor
    float focal;                // projection distance
    int32_t positionCount;      // keyframes in use, 1-1030
    int32_t targetCount;        // keyframes in use, 1-1030
    Vector3* positions;         // owned: CameraKeyframes entries, contents set by the caller
    Vector3* targets;           // owned: CameraKeyframes entries, contents set by the caller
    double scaleX, scaleY;      // screen scales
    double centerX, centerY;    // screen position of the optical axis
};

// The allocator behind the keyframe lists; tests replace it to simulate exhaustion.
extern void* (*CameraAllocate)(std::size_t bytes);

// Sets a camera's defaults (reference screen 320 x 240 centred at (160, 120), focal 140, one
// keyframe each) and allocates its two keyframe lists. Returns false, with both lists null,
// when an allocation fails. The camera must not own lists already (see ReleaseCamera).
bool CreateCamera(Camera& camera, const char* name);
// Frees the keyframe lists and nulls them; safe on a camera that owns none.
void ReleaseCamera(Camera& camera);
// Picks keyframe `frame` of each list (folded into range, negative numbers included), builds
// the basis looking from the position toward the target and copies the position.
void UpdateCamera(Camera& camera, int32_t frame);
// Reciprocal of the single-precision -0.001: ProjectPoint multiplies by it where it does not
// divide.
inline constexpr double ProjectionClampedReciprocal = -999.999952502551;
// Camera space (side, up, depth) to canvas (x, y) with the depth copied. A divisor at or
// above -0.001 (a point at or behind the near plane) is taken as -0.001.
void ProjectPoint(const Camera& camera, Vector3& out, const Vector3& in);
// World point to (canvas x, canvas y, depth): subtract the position, rotate, project.
Vector3 ViewPoint(const Camera& camera, const Vector3& p);

// The camera's trace hook: takes printf-style messages and discards them.
void Trace(const char* format, ...);

}  // namespace nimbrelle
