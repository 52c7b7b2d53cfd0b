#pragma once

// Access to the cleaning stages, the tree builder as members and an exact
// comparison of two part trees.

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "model/legopart.h"
#include "tests/part_builder.h"

class TestPart : public LegoPart
{
public:
    using LegoPart::AddBoundingBoxGeometry;
    using LegoPart::AddQuad;
    using LegoPart::ComputeBoundingBoxes;
    using LegoPart::FixColorErrors;
    using LegoPart::FlattenNode;
    using LegoPart::FlattenToParts;
    using LegoPart::MarkNodeDeleted;
    using LegoPart::MergeGeometry;
    using LegoPart::nodes;
    using LegoPart::RemoveNode;

    // The shared tree builder, as members.
    unsigned AddNode(const std::string& name, int kind = NodeKind::Part)
    {
        return treebuild::AddNode(*this, name, kind);
    }

    unsigned AddTriangle(unsigned node, const Vector3& a, const Vector3& b, const Vector3& c,
                         int color)
    {
        return treebuild::AddTriangle(*this, node, a, b, c, color);
    }

    // A unit right triangle in the z = 0 plane, moved by `offset`.
    unsigned AddUnitTriangle(unsigned node, int color, const Vector3& offset = Vector3(0, 0, 0))
    {
        return AddTriangle(node, offset, offset + Vector3(1, 0, 0), offset + Vector3(0, 1, 0),
                           color);
    }

    void Place(unsigned parent, int child, int color, const Matrix4x4& transform = Matrix4x4())
    {
        treebuild::Place(*this, parent, child, color, transform);
    }
};

using treebuild::QuarterTurnAboutY;
using treebuild::Translation;

inline bool SameVector(const Vector3& a, const Vector3& b)
{
    return std::memcmp(&a, &b, sizeof(Vector3)) == 0;
}

inline bool SameMatrix(const Matrix4x4& a, const Matrix4x4& b)
{
    return std::memcmp(a.m, b.m, sizeof(a.m)) == 0;
}

// Every field of every node equal, numbers bit for bit.
inline ::testing::AssertionResult TreesMatch(const LegoPart& expected, const LegoPart& actual)
{
    if (expected.GetNodeCount() != actual.GetNodeCount())
        return ::testing::AssertionFailure()
               << "node count " << actual.GetNodeCount() << " expected " << expected.GetNodeCount();
    for (unsigned n = 0; n < expected.GetNodeCount(); ++n)
    {
        const _LegoNode& a = *expected.GetNode(n);
        const _LegoNode& b = *actual.GetNode(n);
        auto fail = [n]() { return ::testing::AssertionFailure() << "node " << n << ": "; };
        if (a.name != b.name || a.note != b.note || a.kind != b.kind || a.tag != b.tag)
            return fail() << "name, note, kind or tag (" << b.name << " vs " << a.name << ")";
        if (!SameVector(a.boxMax, b.boxMax) || !SameVector(a.boxMin, b.boxMin))
            return fail() << "box";
        if (a.children.size() != b.children.size())
            return fail() << "child count " << b.children.size() << " vs " << a.children.size();
        for (std::size_t c = 0; c < a.children.size(); ++c)
            if (a.children[c].node != b.children[c].node ||
                a.children[c].color != b.children[c].color ||
                !SameMatrix(a.children[c].transform, b.children[c].transform))
                return fail() << "child " << c;
        const LEGOPolyMesh& ma = a.mesh;
        const LEGOPolyMesh& mb = b.mesh;
        if (ma.GetVertexCount() != mb.GetVertexCount() ||
            ma.GetPolygonCount() != mb.GetPolygonCount() ||
            ma.GetFaceCount() != mb.GetFaceCount() || ma.GetEdgeCount() != mb.GetEdgeCount())
            return fail() << "mesh sizes";
        for (unsigned v = 0; v < ma.GetVertexCount(); ++v)
            if (!SameVector(ma.GetVertex(v), mb.GetVertex(v)))
                return fail() << "vertex " << v;
        for (unsigned p = 0; p < ma.GetPolygonCount(); ++p)
        {
            const _Polygon& pa = ma.GetPolygon(p);
            const _Polygon& pb = mb.GetPolygon(p);
            if (pa.vertexIndices.size() != pb.vertexIndices.size())
                return fail() << "polygon " << p;
            for (unsigned k = 0; k < pa.vertexIndices.size(); ++k)
                if (pa.vertexIndices[k] != pb.vertexIndices[k])
                    return fail() << "polygon " << p;
        }
        for (unsigned f = 0; f < ma.GetFaceCount(); ++f)
        {
            if (ma.FaceColor(f) != mb.FaceColor(f))
                return fail() << "face " << f << " colour " << mb.FaceColor(f) << " vs "
                              << ma.FaceColor(f);
            const unsigned slots =
                f < ma.GetPolygonCount() && ma.GetPolygonVertexCount(f) < 4 ? 3 : 4;
            for (unsigned k = 0; k < slots; ++k)
                if (!SameVector(ma.FaceNormal(f, k), mb.FaceNormal(f, k)))
                    return fail() << "face " << f << " normal " << k;
        }
    }
    return ::testing::AssertionSuccess();
}
