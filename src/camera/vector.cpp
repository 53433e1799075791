#include <cmath>

#include "camera/camera.h"

namespace nimbrelle {

namespace {
inline float Store(double v) { return static_cast<float>(v); }
}  // namespace

void Subtract(Vector3& v, const Vector3& w)
{
    v.x = Store(static_cast<double>(v.x) - w.x);
    v.y = Store(static_cast<double>(v.y) - w.y);
    v.z = Store(static_cast<double>(v.z) - w.z);
}

double Dot(const Vector3& a, const Vector3& b)
{
    const double zz = static_cast<double>(a.z) * b.z;
    const double yy = static_cast<double>(a.y) * b.y;
    const double xx = static_cast<double>(a.x) * b.x;
    return (zz + yy) + xx;
}

void Cross(Vector3& out, const Vector3& a, const Vector3& b)
{
    out.x = Store(static_cast<double>(a.y) * b.z - static_cast<double>(a.z) * b.y);
    out.y = Store(static_cast<double>(a.z) * b.x - static_cast<double>(a.x) * b.z);
    out.z = Store(static_cast<double>(a.x) * b.y - static_cast<double>(a.y) * b.x);
}

void Normalize(Vector3& v)
{
    const double x = v.x, y = v.y, z = v.z;
    const double len = std::sqrt(x * x + y * y + z * z);
    v.x = Store(x / len);
    v.y = Store(y / len);
    v.z = Store(z / len);
}

void BuildBasis(const Vector3& forward, const Vector3& up, Matrix3x4& out)
{
    Vector3 f = forward;
    Normalize(f);
    Vector3 u = up;
    const double d = Dot(u, f);
    u.x = Store(u.x - d * f.x);
    u.y = Store(u.y - d * f.y);
    u.z = Store(u.z - d * f.z);
    Normalize(u);
    Vector3 s;
    Cross(s, f, u);
    const Vector3 rows[3] = {s, u, f};
    for (int r = 0; r < 3; ++r) {
        out.m[r][0] = rows[r].x;
        out.m[r][1] = rows[r].y;
        out.m[r][2] = rows[r].z;
    }
}

void TransformPoint(const Matrix3x4& m, const Vector3& v, Vector3& out)
{
    const double x = v.x, y = v.y, z = v.z;
    out.x = Store(m.m[0][0] * x + m.m[0][1] * y + m.m[0][2] * z);
    out.y = Store(m.m[1][0] * x + m.m[1][1] * y + m.m[1][2] * z);
    out.z = Store(m.m[2][0] * x + m.m[2][1] * y + m.m[2][2] * z);
}

}  // namespace nimbrelle
