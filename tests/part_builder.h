#pragma once

// Builds part trees for the tests and the benchmarks, through LegoPart's
// public operations only.

#include <string>

#include "model/legopart.h"

namespace treebuild
{

// Appends a node; returns its index.
inline unsigned AddNode(LegoPart& part, const std::string& name, int kind = NodeKind::Part)
{
    const unsigned index = static_cast<unsigned>(part.NewNodeIndex());
    _LegoNode& node = part.Node(index);
    node.name = name;
    node.kind = kind;
    return index;
}

// Adds triangle (a, b, c) of code `color` to the node's mesh; returns its face.
inline unsigned AddTriangle(LegoPart& part, unsigned node, const Vector3& a, const Vector3& b,
                            const Vector3& c, int color)
{
    const Vector3 corners[3] = {a, b, c};
    LEGOPolyMesh& mesh = part.Node(node).mesh;
    const unsigned face = mesh.AddPolygon(3, corners);
    mesh.FaceColor(face) = color;
    return face;
}

// Gives all three corners of a triangle one normal.
inline void SetNormal(LegoPart& part, unsigned node, unsigned face, const Vector3& normal)
{
    const Vector3 normals[3] = {normal, normal, normal};
    part.Node(node).mesh.SetFaceNormals(face, 3, normals);
}

// Appends a reference from `parent` to `child` (any index, -1 included).
inline void Place(LegoPart& part, unsigned parent, int child, int color,
                  const Matrix4x4& transform = Matrix4x4())
{
    _LegoInstance instance;
    instance.color = color;
    instance.transform = transform;
    instance.node = child;
    part.Node(parent).children.push_back(instance);
}

inline void Place(LegoPart& part, unsigned parent, unsigned child, int color,
                  const Matrix4x4& transform = Matrix4x4())
{
    Place(part, parent, static_cast<int>(child), color, transform);
}

inline Matrix4x4 Translation(double x, double y, double z)
{
    Matrix4x4 m;
    m.m[3] = x;
    m.m[7] = y;
    m.m[11] = z;
    return m;
}

// Maps (x, y, z) to (z, y, -x).
inline Matrix4x4 QuarterTurnAboutY()
{
    Matrix4x4 m;
    m.m[0] = 0;
    m.m[2] = 1;
    m.m[8] = -1;
    m.m[10] = 0;
    return m;
}

}  // namespace treebuild
