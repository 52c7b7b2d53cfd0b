#include "reader/quadorder.h"

#include <cmath>

namespace
{

// Twice a triangle's area must exceed this for the triangle to be kept.
constexpr double kMinimumDoubleArea = 1e-7;
// Lines closer to parallel than this (the cross term of their closest-point
// equations) are taken as parallel.
constexpr double kParallelLimit = 0.0001;
// How far beyond its ends a segment still counts as reaching a point.
constexpr double kSegmentMargin = 0.0001;

}  // namespace

bool SegmentsCross(const Vector3& p0, const Vector3& p1, const Vector3& q0, const Vector3& q1)
{
    // Closest points of the two infinite lines: s along p0-p1, t along q0-q1.
    const Vector3 u = p1 - p0;
    const Vector3 w = q1 - q0;
    const Vector3 r = p0 - q0;
    const double uu = u.Dot(u);
    const double uw = u.Dot(w);
    const double ww = w.Dot(w);
    const double ur = u.Dot(r);
    const double wr = w.Dot(r);
    const double den = uu * ww - uw * uw;
    if (std::fabs(den) < kParallelLimit)
        return false;
    const double s = (uw * wr - ww * ur) / den;
    const double t = (uu * wr - uw * ur) / den;
    // Either one within its segment suffices.
    return (-kSegmentMargin < s && s < 1.0 + kSegmentMargin) ||
           (-kSegmentMargin < t && t < 1.0 + kSegmentMargin);
}

void FixQuadOrder(Vector3& p1, Vector3& p2, Vector3& p3, Vector3& p4)
{
    // The diagonals of a quadrilateral in order are p1-p3 and p2-p4.
    if (SegmentsCross(p1, p3, p2, p4))
        return;
    if (SegmentsCross(p1, p2, p3, p4))
        swap(p2, p3);
    else if (SegmentsCross(p1, p4, p2, p3))
        swap(p3, p4);
}

bool TriangleHasArea(const Vector3& p1, const Vector3& p2, const Vector3& p3)
{
    Vector3 normal;
    normal.Cross(p3 - p1, p1 - p2);
    return normal.Length() > kMinimumDoubleArea;
}
