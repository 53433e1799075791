// The body of the SIMD ViewPoints versions, written once over a lane type that supplies the
// double operations (see view_points.cpp and view_points_avx2.cpp). Everything here has
// internal linkage: each file compiles its own copy with its own instruction-set flags, and no
// copy built for a wider instruction set can stand in for another file's.
#pragma once

#include <cstddef>

#include "camera/camera.h"
#include "camera/view_points.h"

namespace nimbrelle {
namespace {

// The point `index` places after `points`, records being `stride` bytes apart.
inline const Vector3& StridedPoint(const Vector3* points, std::size_t stride, std::size_t index)
{
    return *reinterpret_cast<const Vector3*>(reinterpret_cast<const char*>(points) + index * stride);
}

// The camera's values as lanes, each widened to double exactly as ViewPoint widens it.
template <class L>
struct ViewLanes {
    using D = typename L::D;
    D posX, posY, posZ;
    D m[3][3];
    D nearOffset, focal, nearLimit, clampedReciprocal;
    D scaleX, scaleY, centerX, centerY;

    explicit ViewLanes(const Camera& c)
        : posX(L::Set1(c.position.x)),
          posY(L::Set1(c.position.y)),
          posZ(L::Set1(c.position.z)),
          m{{L::Set1(c.basis.m[0][0]), L::Set1(c.basis.m[0][1]), L::Set1(c.basis.m[0][2])},
            {L::Set1(c.basis.m[1][0]), L::Set1(c.basis.m[1][1]), L::Set1(c.basis.m[1][2])},
            {L::Set1(c.basis.m[2][0]), L::Set1(c.basis.m[2][1]), L::Set1(c.basis.m[2][2])}},
          nearOffset(L::Set1(c.nearOffset)),
          focal(L::Set1(c.focal)),
          nearLimit(L::Set1(static_cast<double>(-0.001f))),
          clampedReciprocal(L::Set1(ProjectionClampedReciprocal)),
          scaleX(L::Set1(c.scaleX)),
          scaleY(L::Set1(c.scaleY)),
          centerX(L::Set1(c.centerX)),
          centerY(L::Set1(c.centerY))
    {
    }

    // One row of TransformPoint: (m0 x + m1 y) + m2 z, rounded to single.
    D Row(int r, D x, D y, D z) const
    {
        return L::Round(L::Add(L::Add(L::Mul(m[r][0], x), L::Mul(m[r][1], y)), L::Mul(m[r][2], z)));
    }
};

template <class L>
void ViewPointsLanes(const Camera& camera, const Vector3* points, std::size_t stride, std::size_t count, float* x,
                     float* y, float* z)
{
    using D = typename L::D;
    const ViewLanes<L> k(camera);
    std::size_t i = 0;
    for (; i + L::Width <= count; i += L::Width) {
        D px, py, pz;
        L::Load(points, stride, i, px, py, pz);
        // Subtract: the difference rounded to single.
        const D qx = L::Round(L::Sub(px, k.posX));
        const D qy = L::Round(L::Sub(py, k.posY));
        const D qz = L::Round(L::Sub(pz, k.posZ));
        // TransformPoint.
        const D rx = k.Row(0, qx, qy, qz);
        const D ry = k.Row(1, qx, qy, qz);
        const D rz = k.Row(2, qx, qy, qz);
        // ProjectPoint: both of its branches computed, each lane keeping the one it takes. A
        // lane at or behind the near plane may divide by zero in the branch it drops, which
        // only sets the status flags.
        const D w = L::Sub(k.nearOffset, L::Div(rz, k.focal));
        const auto divides = L::NotGreaterEqual(w, k.nearLimit);  // w < -0.001f, or not a number
        const D sx = L::Mul(rx, k.scaleX);
        const D sy = L::Mul(ry, k.scaleY);
        const D ox = L::Select(divides, L::Div(sx, w), L::Mul(sx, k.clampedReciprocal));
        const D oy = L::Select(divides, L::Div(sy, w), L::Mul(sy, k.clampedReciprocal));
        L::Store(x + i, L::Sub(k.centerX, ox));
        L::Store(y + i, L::Add(oy, k.centerY));
        L::Store(z + i, rz);
    }
    if (i < count)
        ViewPointsScalar(camera, &StridedPoint(points, stride, i), stride, count - i, x + i, y + i, z + i);
}

}  // namespace
}  // namespace nimbrelle
