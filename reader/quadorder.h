#pragma once

#include "geometry/matrix.h"

// True when the closest points of the lines through p0-p1 and q0-q1 lie
// within either segment (with a margin of 1e-4); false for lines that are
// (nearly) parallel.
bool SegmentsCross(const Vector3& p0, const Vector3& p1, const Vector3& q0, const Vector3& q1);

// Reorders the corners so that they go round the quadrilateral rather than
// across it.
void FixQuadOrder(Vector3& p1, Vector3& p2, Vector3& p3, Vector3& p4);

// True when twice the triangle's area exceeds 1e-7.
bool TriangleHasArea(const Vector3& p1, const Vector3& p2, const Vector3& p3);
