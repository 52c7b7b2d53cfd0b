#pragma once

#include <cstring>
#include <gtest/gtest.h>

#include "model/legopolymesh.h"
#include "tests/reference_mesh.h"

inline bool SameBits(const Vector3& a, const Vector3& b)
{
    return std::memcmp(&a, &b, sizeof(Vector3)) == 0;
}

// Vertices, edges, corner lists, edge lists and normals equal bit for bit;
// without `withEdges`, vertices, corner lists and normals only; without
// `withNormals` (a mesh whose corners took over its normals), no normals.
inline ::testing::AssertionResult MeshesMatch(const ReferenceMesh& expected, const PolyMesh& mesh,
                                              bool withEdges = true, bool withNormals = true)
{
    if (expected.vertices.size() != mesh.GetVertexCount())
        return ::testing::AssertionFailure() << "vertex count " << mesh.GetVertexCount()
                                             << " expected " << expected.vertices.size();
    for (unsigned i = 0; i < mesh.GetVertexCount(); ++i)
        if (!SameBits(expected.vertices[i], mesh.GetVertex(i)))
            return ::testing::AssertionFailure() << "vertex " << i << " differs";
    if (withEdges && expected.edges.size() != mesh.GetEdgeCount())
        return ::testing::AssertionFailure()
               << "edge count " << mesh.GetEdgeCount() << " expected " << expected.edges.size();
    for (unsigned e = 0; withEdges && e < mesh.GetEdgeCount(); ++e)
    {
        const _Edge& a = expected.edges[e];
        const _Edge& b = mesh.GetEdge(e);
        if (a.polygonA != b.polygonA || a.polygonB != b.polygonB || a.vertexLo != b.vertexLo ||
            a.vertexHi != b.vertexHi)
            return ::testing::AssertionFailure() << "edge " << e << " differs";
    }
    if (expected.polygons.size() != mesh.GetPolygonCount())
        return ::testing::AssertionFailure() << "polygon count differs";
    for (unsigned p = 0; p < mesh.GetPolygonCount(); ++p)
    {
        const ReferenceMesh::Polygon& a = expected.polygons[p];
        const _Polygon& b = mesh.GetPolygon(p);
        if (a.vertexIndices.size() != b.vertexIndices.size() ||
            (withEdges && a.edgeIndices.size() != mesh.GetPolygonEdgeCount(p)))
            return ::testing::AssertionFailure() << "polygon " << p << " size differs";
        for (unsigned k = 0; k < b.vertexIndices.size(); ++k)
            if (a.vertexIndices[k] != b.vertexIndices[k] ||
                (withEdges && a.edgeIndices[k] != mesh.GetPolygonEdge(p, k)))
                return ::testing::AssertionFailure() << "polygon " << p << " corner " << k;
        if (withNormals && !SameBits(a.normal, mesh.GetPolygonNormal(p)))
            return ::testing::AssertionFailure() << "polygon " << p << " normal differs";
    }
    return ::testing::AssertionSuccess();
}

// Normal slots that stand for corners of face f: its corners, at most four.
inline unsigned UsedNormalSlots(const LEGOPolyMesh& mesh, unsigned f)
{
    return f < mesh.GetPolygonCount() && mesh.GetPolygonVertexCount(f) < 4 ? 3 : 4;
}

inline ::testing::AssertionResult CornerNormalsMatch(const ReferenceMesh& expected,
                                                     const LEGOPolyMesh& mesh)
{
    if (expected.faces.size() != mesh.GetFaceCount())
        return ::testing::AssertionFailure() << "face count differs";
    // The slots of the corners a face has; the fourth slot of a triangle is
    // not a corner.
    for (unsigned f = 0; f < mesh.GetFaceCount(); ++f)
        for (unsigned k = 0; k < UsedNormalSlots(mesh, f); ++k)
            if (!SameBits(expected.faces[f].cornerNormals[k], mesh.FaceNormal(f, k)))
                return ::testing::AssertionFailure() << "face " << f << " corner " << k;
    return ::testing::AssertionSuccess();
}
