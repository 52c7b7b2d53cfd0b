#pragma once

#include <cmath>
#include <ostream>

// Points, directions and placements, all in IEEE doubles. Plain values: no
// operation allocates, throws or checks its arguments.

struct Vector3
{
    double x;
    double y;
    double z;

    // The default vector is the unit vector along z, not the zero vector:
    // corner normals that are never assigned read as (0, 0, 1).
    Vector3() : x(0.0), y(0.0), z(1.0) {}
    Vector3(double px, double py, double pz) : x(px), y(py), z(pz) {}
    Vector3(const Vector3&) = default;
    Vector3& operator=(const Vector3&) = default;

    Vector3& operator+=(const Vector3& v)
    {
        x += v.x;
        y += v.y;
        z += v.z;
        return *this;
    }

    Vector3& operator-=(const Vector3& v)
    {
        x -= v.x;
        y -= v.y;
        z -= v.z;
        return *this;
    }

    Vector3& operator*=(double s)
    {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }

    // Multiplies by the reciprocal, computed once; division by zero is not guarded.
    Vector3& operator/=(double d)
    {
        const double r = 1.0 / d;
        x *= r;
        y *= r;
        z *= r;
        return *this;
    }

    // Normalises in place; the zero vector stays zero, a NaN length stays NaN.
    void Unit()
    {
        const double length = std::sqrt(x * x + y * y + z * z);
        if (length != 0.0)
        {
            const double r = 1.0 / length;
            x *= r;
            y *= r;
            z *= r;
        }
    }

    double Dot(const Vector3& v) const { return x * v.x + y * v.y + z * v.z; }

    // Squared length.
    double Norm() const { return x * x + y * y + z * z; }

    double Length() const { return std::sqrt(Norm()); }

    // Sets the receiver to a x b; the receiver may be a or b.
    Vector3& Cross(const Vector3& a, const Vector3& b)
    {
        const double cx = a.y * b.z - a.z * b.y;
        const double cy = a.z * b.x - a.x * b.z;
        const double cz = a.x * b.y - a.y * b.x;
        x = cx;
        y = cy;
        z = cz;
        return *this;
    }
};

// Row-major 4x4 matrix applied to column vectors: element (r, c) is m[4r + c],
// the translation sits in m[3], m[7], m[11].
struct Matrix4x4
{
    double m[16];

    Matrix4x4() { Identity(); }
    Matrix4x4(const Matrix4x4&) = default;
    Matrix4x4& operator=(const Matrix4x4&) = default;

    void Identity()
    {
        for (double& element : m)
            element = 0.0;
        m[0] = m[5] = m[10] = m[15] = 1.0;
    }

    Matrix4x4 Transpose() const
    {
        Matrix4x4 t;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                t.m[4 * r + c] = m[4 * c + r];
        return t;
    }
};

inline Vector3 operator-(const Vector3& a)
{
    return Vector3(-a.x, -a.y, -a.z);
}

inline Vector3 operator+(const Vector3& a, const Vector3& b)
{
    return Vector3(a.x + b.x, a.y + b.y, a.z + b.z);
}

inline Vector3 operator-(const Vector3& a, const Vector3& b)
{
    return Vector3(a.x - b.x, a.y - b.y, a.z - b.z);
}

// Transforms the point p; there is no fourth coordinate and no division.
inline Vector3 operator*(const Matrix4x4& M, const Vector3& p)
{
    const double* m = M.m;
    return Vector3(m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
                   m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                   m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]);
}

// "| x y z |" with the stream's current number format, no line break.
inline std::ostream& operator<<(std::ostream& out, const Vector3& v)
{
    return out << "| " << v.x << ' ' << v.y << ' ' << v.z << " |";
}

inline void swap(Vector3& a, Vector3& b)
{
    const Vector3 t = a;
    a = b;
    b = t;
}

// Per component b's value where a's is greater, else a's: on ties and on a NaN
// in a the first argument wins, a NaN in b is ignored.
inline Vector3 component_min(const Vector3& a, const Vector3& b)
{
    return Vector3(a.x > b.x ? b.x : a.x, a.y > b.y ? b.y : a.y, a.z > b.z ? b.z : a.z);
}

inline Vector3 component_max(const Vector3& a, const Vector3& b)
{
    return Vector3(a.x < b.x ? b.x : a.x, a.y < b.y ? b.y : a.y, a.z < b.z ? b.z : a.z);
}
