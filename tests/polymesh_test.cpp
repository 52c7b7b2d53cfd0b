#include "model/polymesh.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>

#include "model/buckets.h"
#include "model/inlinearray.h"
#include "model/legopolymesh.h"
#include "model/parallel.h"
#include "model/polygonsides.h"
#include "tests/mesh_compare.h"
#include "tests/reference_mesh.h"

namespace
{

const double kCell = 1.0 / 65536.0;  // the grid's cell width, 2^-16
// Cell borders lie half a cell off the multiples of the cell width.
const double kBorder = 3.0 + 0.5 * kCell;

unsigned AddTriangle(PolyMesh& mesh, const Vector3& a, const Vector3& b, const Vector3& c)
{
    const Vector3 corners[3] = {a, b, c};
    return mesh.AddPolygon(3, corners);
}

unsigned AddTriangle(ReferenceMesh& mesh, const Vector3& a, const Vector3& b, const Vector3& c)
{
    const Vector3 corners[3] = {a, b, c};
    return mesh.AddPolygon(3, corners);
}

// Adds the same triangle to both meshes.
void AddBoth(ReferenceMesh& reference, LEGOPolyMesh& mesh, const Vector3& a, const Vector3& b,
             const Vector3& c)
{
    AddTriangle(reference, a, b, c);
    AddTriangle(mesh, a, b, c);
}

// The twelve triangles of an axis-aligned box; every other one reversed.
void AddBox(ReferenceMesh& reference, LEGOPolyMesh& mesh, const Vector3& lo, const Vector3& hi,
            std::mt19937& random)
{
    const Vector3 c[8] = {{lo.x, lo.y, lo.z}, {hi.x, lo.y, lo.z}, {hi.x, hi.y, lo.z},
                          {lo.x, hi.y, lo.z}, {lo.x, lo.y, hi.z}, {hi.x, lo.y, hi.z},
                          {hi.x, hi.y, hi.z}, {lo.x, hi.y, hi.z}};
    const int quads[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                             {2, 3, 7, 6}, {1, 2, 6, 5}, {0, 4, 7, 3}};
    for (const auto& q : quads)
    {
        if (random() % 2)
            AddBoth(reference, mesh, c[q[0]], c[q[1]], c[q[2]]);
        else
            AddBoth(reference, mesh, c[q[2]], c[q[1]], c[q[0]]);
        if (random() % 2)
            AddBoth(reference, mesh, c[q[2]], c[q[3]], c[q[0]]);
        else
            AddBoth(reference, mesh, c[q[0]], c[q[3]], c[q[2]]);
    }
}

// Copies of `mesh` that `step` changed on one job and on three.
template <class Step>
std::vector<LEGOPolyMesh> OnOneAndThreeJobs(const LEGOPolyMesh& mesh, Step step)
{
    std::vector<LEGOPolyMesh> copies;
    for (const unsigned jobs : {1u, 3u})
    {
        Parallel::SetJobs(jobs);
        copies.push_back(mesh);
        step(copies.back());
    }
    Parallel::SetJobs(0);
    return copies;
}

// How many corners of the two copies `differ(a, b, polygon, corner)` tells apart.
template <class Differ>
unsigned CornersThatDiffer(const std::vector<LEGOPolyMesh>& copies, Differ differ)
{
    unsigned count = 0;
    for (unsigned p = 0; p < copies[0].GetPolygonCount(); ++p)
        for (unsigned k = 0; k < 3; ++k)
            count += differ(copies[0], copies[1], p, k) ? 1 : 0;
    return count;
}

// A tessellated sphere with random windings: a connected group whose
// orientation must spread across hundreds of shared edges.
void AddSphere(ReferenceMesh& reference, LEGOPolyMesh& mesh, const Vector3& centre, double radius,
               int rings, int segments, std::mt19937& random)
{
    const double pi = 3.14159265358979323846;
    auto point = [&](int ring, int segment)
    {
        const double theta = pi * ring / rings;
        const double phi = 2.0 * pi * (segment % segments) / segments;
        if (ring == 0)
            return Vector3(centre.x, centre.y, centre.z + radius);
        if (ring == rings)
            return Vector3(centre.x, centre.y, centre.z - radius);
        return Vector3(centre.x + radius * std::sin(theta) * std::cos(phi),
                       centre.y + radius * std::sin(theta) * std::sin(phi),
                       centre.z + radius * std::cos(theta));
    };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s)
        {
            const Vector3 a = point(r, s), b = point(r + 1, s), c = point(r + 1, s + 1),
                          d = point(r, s + 1);
            if (r != rings - 1)
            {
                if (random() % 2)
                    AddBoth(reference, mesh, a, b, c);
                else
                    AddBoth(reference, mesh, c, b, a);
            }
            if (r != 0)
            {
                if (random() % 2)
                    AddBoth(reference, mesh, a, c, d);
                else
                    AddBoth(reference, mesh, d, c, a);
            }
        }
}

// Positions that cluster within a few 1e-6 of cell borders, duplicates and
// near-duplicates included, so merges cross cells in every direction.
Vector3 ClusteredPoint(std::mt19937& random)
{
    static const double offsets[] = {0.0,     0.3e-6,  -0.3e-6,      0.5e-6,       -0.5e-6,
                                     0.9e-6,  -0.9e-6, 1e-6,         -1e-6,        1.1e-6,
                                     -1.1e-6, 2e-6,    0.49 * kCell, -0.51 * kCell};
    auto axis = [&]()
    {
        const double base = static_cast<double>(static_cast<int>(random() % 9) - 4) * 0.5 * kCell +
                            static_cast<double>(random() % 3);
        return base + offsets[random() % (sizeof offsets / sizeof offsets[0])];
    };
    const double x = axis();
    const double y = axis();
    const double z = axis();
    return Vector3(x, y, z);
}

TEST(PolyMeshWelding, MergesBelowOneMillionthOnly)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    AddTriangle(mesh, {0.5e-6, 0, 0}, {1, 1e-6, 0}, {0, 1, 0.9e-6});
    // 0.5e-6 and 0.9e-6 merge; exactly 1e-6 does not.
    EXPECT_EQ(mesh.GetVertexCount(), 4u);
    const unsigned* corners = mesh.GetPolygonVertexIndices(1);
    EXPECT_EQ(corners[0], 0u);
    EXPECT_EQ(corners[1], 3u);
    EXPECT_EQ(corners[2], 2u);
}

TEST(PolyMeshWelding, LowestMatchWinsEvenInALaterCell)
{
    // A lies in the cell below the border, B above it; they are 1.2e-6 apart
    // and stay separate. A query above the border, within 1e-6 of both, is in
    // B's cell but must merge with A, the lower index.
    const double border = kBorder;
    PolyMesh mesh;
    ReferenceMesh reference;
    const Vector3 a(border - 0.6e-6, 0.25, 0.5);
    const Vector3 b(border + 0.6e-6, 0.25, 0.5);
    const Vector3 q(border + 0.1e-6, 0.25, 0.5);
    AddTriangle(mesh, a, b, {9, 9, 9});
    AddTriangle(reference, a, b, {9, 9, 9});
    AddTriangle(mesh, q, {9, 9, 8}, {9, 8, 9});
    AddTriangle(reference, q, {9, 9, 8}, {9, 8, 9});
    EXPECT_EQ(mesh.GetPolygon(1).vertexIndices[0], 0u);
    EXPECT_TRUE(MeshesMatch(reference, mesh));
}

TEST(PolyMeshWelding, NonFiniteNeverMergesAndHugeValuesMergeOnOtherAxes)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    PolyMesh mesh;
    ReferenceMesh reference;
    const Vector3 points[] = {{inf, 0, 0},  {inf, 0, 0},          {nan, 1, 1},    {nan, 1, 1},
                              {1e15, 0, 0}, {1e15, 5e-7, 0},      {-1e300, 2, 2}, {-1e300, 2, 2},
                              {1e13, 1, 1}, {1e13, 1, 1.5e-6 + 1}};
    for (unsigned i = 0; i + 2 < 10; i += (i == 6 ? 1 : 2))
    {
        AddTriangle(mesh, points[i], points[i + 1], points[i + 2]);
        AddTriangle(reference, points[i], points[i + 1], points[i + 2]);
    }
    EXPECT_TRUE(MeshesMatch(reference, mesh));
    // The two infinite corners stay two vertices; 1e15 merges across y.
    EXPECT_NE(mesh.GetPolygon(0).vertexIndices[0], mesh.GetPolygon(0).vertexIndices[1]);
    EXPECT_EQ(mesh.GetPolygon(2).vertexIndices[0], mesh.GetPolygon(2).vertexIndices[1]);
}

TEST(PolyMeshWelding, ValuesAroundTheEndOfTheGridMergeAsTheScanMerges)
{
    // Around 2^36 axis values switch from cells to their bit patterns; the
    // doubles there are 7.6e-6 and 1.5e-5 apart.
    const double edge = 68719476736.0;
    const double below = std::nextafter(edge, 0.0);
    PolyMesh mesh;
    ReferenceMesh reference;
    const Vector3 points[] = {{below, 1, 2},
                              {edge, 1, 2},
                              {edge, 1 + 5e-7, 2},
                              {-edge, 3, 4},
                              {-below, 3, 4},
                              {below, 1, 2 + 9e-7},
                              {std::nextafter(edge, 1e300), 1, 2},
                              {edge, 5e-7, 0},
                              {edge, 0, 0}};
    for (unsigned i = 0; i + 2 < 9; ++i)
    {
        AddTriangle(mesh, points[i], points[i + 1], points[i + 2]);
        AddTriangle(reference, points[i], points[i + 1], points[i + 2]);
    }
    EXPECT_TRUE(MeshesMatch(reference, mesh));
}

TEST(PolyMeshWelding, MovedVerticesAreFoundWhereTheyNowAre)
{
    PolyMesh mesh;
    ReferenceMesh reference;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    AddTriangle(reference, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    // Move vertex 2 onto vertex 1 and vertex 0 far away, as scaling does.
    mesh.GetVertex(2) = Vector3(1, 0, 0);
    reference.vertices[2] = Vector3(1, 0, 0);
    mesh.GetVertex(0) *= 20.0;
    reference.vertices[0] *= 20.0;
    mesh.GetVertex(0) = Vector3(5, 5, 5);
    reference.vertices[0] = Vector3(5, 5, 5);
    AddTriangle(mesh, {1, 0, 0}, {5, 5, 5}, {0, 0, 0});
    AddTriangle(reference, {1, 0, 0}, {5, 5, 5}, {0, 0, 0});
    EXPECT_EQ(mesh.GetPolygon(1).vertexIndices[0], 1u);  // the lower of two equal vertices
    EXPECT_TRUE(MeshesMatch(reference, mesh));
}

TEST(PolyMeshEdges, RepeatedTriangleSharesEveryEdge)
{
    PolyMesh mesh;
    EXPECT_EQ(AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 0u);
    EXPECT_EQ(AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}), 1u);
    EXPECT_EQ(mesh.GetVertexCount(), 3u);
    ASSERT_EQ(mesh.GetEdgeCount(), 3u);
    for (unsigned e = 0; e < 3; ++e)
    {
        EXPECT_EQ(mesh.GetEdge(e).polygonA, 0);
        EXPECT_EQ(mesh.GetEdge(e).polygonB, 1);
    }
    // A third triangle on one side replaces the second one there.
    AddTriangle(mesh, {1, 0, 0}, {0, 0, 0}, {0, 0, 1});
    const _Edge& shared = mesh.GetEdge(static_cast<unsigned>(mesh.FindEdge(0, 1)));
    EXPECT_EQ(shared.polygonA, 0);
    EXPECT_EQ(shared.polygonB, 2);
    EXPECT_EQ(shared.vertexLo, 0u);
    EXPECT_EQ(shared.vertexHi, 1u);
}

// Releasing the lookups keeps the edges: a side is still found afterwards,
// with or without polygons added since.
TEST(PolyMeshEdges, EdgesAreFoundAfterTheLookupsAreReleased)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    const int side = mesh.FindEdge(0, 1);
    ASSERT_GE(side, 0);
    mesh.ReleaseLookups();
    EXPECT_EQ(mesh.FindEdge(1, 0), side);
    mesh.ReleaseLookups();
    AddTriangle(mesh, {1, 0, 0}, {0, 0, 0}, {0, 0, 1});
    EXPECT_EQ(mesh.FindEdge(0, 1), side);
    EXPECT_EQ(mesh.GetEdge(static_cast<unsigned>(side)).polygonB, 1);
}

TEST(PolyMeshEdges, RepeatedCornerGivesSelfEdgeAndZeroNormal)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {0, 0, 0}, {1, 0, 0});
    EXPECT_GE(mesh.FindEdge(0, 0), 0);
    const Vector3 n = mesh.GetPolygonNormal(0);
    EXPECT_EQ(n.x, 0.0);
    EXPECT_EQ(n.y, 0.0);
    EXPECT_EQ(n.z, 0.0);
}

TEST(PolyMeshNormals, FollowCornerOrderAndStoredVertices)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    AddTriangle(mesh, {0, 0, 0}, {0, 1, 0}, {1, 0, 0});
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {2, 0, 0});
    // Corners 0.5e-6 apart merge, so this sliver's normal is zero.
    AddTriangle(mesh, {5, 5, 5}, {5, 5, 5.5e-6 + 5}, {5, 5.5e-6 + 5, 5});
    AddTriangle(mesh, {5, 5, 5}, {5 + 0.5e-6, 5, 5}, {6, 5, 5});
    const Vector3 quad[4] = {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {7, 7, 7}};
    mesh.AddPolygon(4, quad);
    auto expect = [&](unsigned p, double x, double y, double z)
    {
        const Vector3 n = mesh.GetPolygonNormal(p);
        EXPECT_EQ(n.x, x) << p;
        EXPECT_EQ(n.y, y) << p;
        EXPECT_EQ(n.z, z) << p;
    };
    expect(0, 0, 0, 1);
    expect(1, 0, 0, -1);
    expect(2, 0, 0, 0);
    expect(4, 0, 0, 0);
    expect(5, -1, 0, 0);  // a quad's normal comes from its first three corners
    EXPECT_EQ(mesh.GetPolygonVertexCount(5), 4u);
}

// Normals are worked out when first read, many at a time; they still belong
// to the corners as they were when each polygon was added.
TEST(PolyMeshNormals, AreThoseOfTheCornersWhenThePolygonWasAdded)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    mesh.GetVertex(1) = Vector3(0, 0, 1);  // turns the triangle into the x = 0 plane
    AddTriangle(mesh, {0, 0, 0}, {0, 0, 1}, {0, 1, 0});
    EXPECT_EQ(mesh.GetPolygonNormal(0).z, 1.0);
    EXPECT_EQ(mesh.GetPolygonNormal(1).x, -1.0);

    // Enough pending polygons to be worked out on every job.
    PolyMesh many;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> coordinate(-50.0, 50.0);
    std::vector<Vector3> expected;
    for (unsigned i = 0; i < 40000; ++i)
    {
        Vector3 corners[3];
        for (Vector3& corner : corners)
            corner = Vector3(coordinate(random), coordinate(random), coordinate(random));
        const unsigned p = many.AddPolygon(3, corners);
        Vector3 n;
        n.Cross(many.GetPolygonVertex(p, 0) - many.GetPolygonVertex(p, 1),
                many.GetPolygonVertex(p, 1) - many.GetPolygonVertex(p, 2));
        n.Unit();
        expected.push_back(n);
    }
    for (unsigned p = 0; p < expected.size(); ++p)
    {
        const Vector3 n = many.GetPolygonNormal(p);
        ASSERT_TRUE(n.x == expected[p].x && n.y == expected[p].y && n.z == expected[p].z) << p;
    }
}
TEST(PolyMeshIndices, SharedBufferIsOverwrittenByTheNextCall)
{
    PolyMesh first;
    PolyMesh second;
    AddTriangle(first, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    AddTriangle(second, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    AddTriangle(second, {3, 0, 0}, {4, 0, 0}, {3, 1, 0});
    const unsigned* a = first.GetPolygonVertexIndices(0);
    EXPECT_EQ(a[2], 2u);
    const unsigned* b = second.GetPolygonVertexIndices(1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 3u);
}

TEST(PolyMeshClear, StartsAfreshWithoutOldEdges)
{
    PolyMesh mesh;
    AddTriangle(mesh, {0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    mesh.Clear();
    EXPECT_EQ(mesh.GetVertexCount(), 0u);
    EXPECT_EQ(mesh.GetEdgeCount(), 0u);
    EXPECT_EQ(AddTriangle(mesh, {5, 0, 0}, {6, 0, 0}, {5, 1, 0}), 0u);
    EXPECT_EQ(mesh.GetPolygon(0).vertexIndices[0], 0u);
    EXPECT_EQ(mesh.GetEdgeCount(), 3u);
    EXPECT_EQ(mesh.GetEdge(0).polygonB, -1);
}

TEST(PolyMeshFixNormals, BoxWithMixedWindingsTurnsOutwardOrInward)
{
    for (const bool outward : {true, false})
    {
        std::mt19937 random(7);
        ReferenceMesh reference;
        LEGOPolyMesh mesh;
        AddBox(reference, mesh, {0, 0, 0}, {2, 4, 6}, random);
        mesh.FixNormals(outward);
        const Vector3 centre(1, 2, 3);
        for (unsigned p = 0; p < mesh.GetPolygonCount(); ++p)
        {
            const Vector3 toFace = mesh.GetPolygonVertex(p, 0) - centre;
            const double facing = mesh.GetPolygonNormal(p).Dot(toFace);
            EXPECT_EQ(facing > 0, outward) << p;
        }
        // Every shared side is run in opposite directions by its two triangles.
        for (unsigned e = 0; e < mesh.GetEdgeCount(); ++e)
        {
            const _Edge& edge = mesh.GetEdge(e);
            ASSERT_NE(edge.polygonB, -1);
            auto runsLoToHi = [&](int p)
            {
                const _Polygon& polygon = mesh.GetPolygon(static_cast<unsigned>(p));
                for (unsigned k = 0; k < 3; ++k)
                    if (polygon.vertexIndices[k] == edge.vertexLo)
                        return polygon.vertexIndices[(k + 1) % 3] == edge.vertexHi;
                return false;
            };
            EXPECT_NE(runsLoToHi(edge.polygonA), runsLoToHi(edge.polygonB)) << e;
        }
    }
}

TEST(PolyMeshFixNormals, EachGroupIsDecidedByItsLowestPolygonAgainstTheCommonCentre)
{
    // The second box's lowest triangle lies on its face z = 10, which is
    // turned towards the centre of all vertices: that box ends up inward.
    ReferenceMesh reference;
    LEGOPolyMesh mesh;
    std::mt19937 random(3);
    AddBox(reference, mesh, {0, 0, 0}, {1, 1, 1}, random);
    AddBox(reference, mesh, {0, 0, 10}, {1, 1, 11}, random);
    mesh.FixNormals(true);
    reference.FixNormals(true);
    // Orienting records no edges: read afterwards, they follow the turned
    // corners.
    EXPECT_TRUE(MeshesMatch(reference, mesh, false));
    auto facing = [&](unsigned p, const Vector3& boxCentre)
    { return mesh.GetPolygonNormal(p).Dot(mesh.GetPolygonVertex(p, 0) - boxCentre); };
    for (unsigned p = 0; p < 12; ++p)
        EXPECT_GT(facing(p, {0.5, 0.5, 0.5}), 0.0) << p;
    for (unsigned p = 12; p < 24; ++p)
        EXPECT_LT(facing(p, {0.5, 0.5, 10.5}), 0.0) << p;
}

TEST(PolyMeshFixNormals, EmptyMeshReportsAndStaysEmpty)
{
    PolyMesh mesh;
    ::testing::internal::CaptureStderr();
    mesh.FixNormals(true);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: 0 points or 0 polygons in FixNormals\n");
    EXPECT_EQ(mesh.GetPolygonCount(), 0u);
}

TEST(PolyMeshFixNormals, DeepGroupNeedsNoDeepRecursion)
{
    // A strip of 400,000 triangles is one group spread from its first one.
    LEGOPolyMesh mesh;
    for (int i = 0; i < 200000; ++i)
    {
        const double x = i;
        const Vector3 a(x, 0, 0), b(x + 1, 0, 0), c(x, 1, 0), d(x + 1, 1, 0);
        AddTriangle(mesh, a, b, c);
        AddTriangle(mesh, d, b, c);  // reversed
    }
    mesh.FixNormals(true);
    const double first = mesh.GetPolygonNormal(0).z;
    for (unsigned p = 1; p < mesh.GetPolygonCount(); ++p)
        ASSERT_EQ(mesh.GetPolygonNormal(p).z, first) << p;
}

// Groups of a large mesh are oriented on every job as one job orients them.
// Each group is a Moebius band, whose turns depend on where the walk starts
// and on its path, with blades of three triangles on one side here and
// there; the groups' triangles take turns in polygon order.
TEST(PolyMeshFixNormals, EveryJobOrientsLikeOne)
{
    std::mt19937 random(9);
    constexpr int kBands = 9, kSections = 3500;
    const double pi = 3.14159265358979323846;
    const auto point = [&](int band, int section, double side)
    {
        const double t = 2 * pi * (section % kSections) / kSections, half = t / 2;
        const double r = 10 + side * std::cos(half);
        return Vector3(r * std::cos(t) + 30 * band, r * std::sin(t), side * std::sin(half));
    };
    LEGOPolyMesh mesh;
    for (int section = 0; section < kSections; ++section)
        for (int band = 0; band < kBands; ++band)
        {
            // Past the last section the band comes back turned over.
            const double far = section + 1 == kSections ? -1 : 1;
            const Vector3 a = point(band, section, -1), b = point(band, section, 1),
                          c = point(band, section + 1, -far), d = point(band, section + 1, far);
            const Vector3 triangles[3][3] = {
                {a, b, d}, {a, d, c}, {a, b, Vector3(a.x, a.y, a.z + 3 + band)}};
            for (int k = 0; k < (section % 7 == 0 ? 3 : 2); ++k)
            {
                const bool isTurned = random() % 2 != 0;
                AddTriangle(mesh, triangles[k][isTurned ? 2 : 0], triangles[k][1],
                            triangles[k][isTurned ? 0 : 2]);
            }
        }
    ASSERT_GT(mesh.GetPolygonCount(), 65536u);
    const std::vector<LEGOPolyMesh> oriented =
        OnOneAndThreeJobs(mesh, [](LEGOPolyMesh& copy) { copy.FixNormals(true); });
    EXPECT_EQ(CornersThatDiffer(
                  oriented, [](const LEGOPolyMesh& a, const LEGOPolyMesh& b, unsigned p, unsigned k)
                  { return a.GetPolygonVertexIndex(p, k) != b.GetPolygonVertexIndex(p, k); }),
              0u);
}

TEST(PolyMeshLookups, ReleasedLookupsAreRebuiltWithTheSameResults)
{
    std::mt19937 random(21);
    ReferenceMesh reference;
    LEGOPolyMesh mesh;
    AddSphere(reference, mesh, {0, 0, 0}, 2.0, 8, 12, random);
    mesh.GetEdgeCount();  // edges recorded, then their index dropped
    mesh.ReleaseLookups();
    for (int i = 0; i < 200; ++i)
        AddBoth(reference, mesh, ClusteredPoint(random), ClusteredPoint(random),
                ClusteredPoint(random));
    mesh.ReleaseLookups();
    AddSphere(reference, mesh, {0.25, 0, 0}, 2.0, 8, 12, random);
    EXPECT_TRUE(MeshesMatch(reference, mesh));
    mesh.FixNormals(true);
    reference.FixNormals(true);
    EXPECT_TRUE(MeshesMatch(reference, mesh));
}

// Many vertices waiting for the index, then a few lookups near them: only
// what those lookups read is indexed, and every answer, close pair and later
// lookup is the one of a fully indexed mesh.
TEST(PolyMeshLookups, LookupsNearWaitingVerticesAnswerAsAfterFullIndexing)
{
    std::mt19937 random(5);
    // A lattice 0.6 cells apart, so that lookups near it read neighbour cells.
    const double step = 0.6 * kCell;
    auto lattice = [&](int i)
    { return Vector3(kBorder + step * (i % 300), step * std::floor(i / 300.0), 0.5); };
    auto near = [&](int count)
    {
        std::vector<Vector3> positions;
        for (int n = 0; n < count; ++n)
        {
            const Vector3 at = lattice(static_cast<int>(random() % 90000));
            // Equal, merging, close but apart, or in between; every fifth
            // lattice point lies on a cell border.
            const double offsets[6] = {0.0, 0.9e-6, -0.9e-6, 1.03e-6, -1.03e-6, 0.5 * step};
            positions.push_back(at + Vector3(offsets[random() % 6], 0, 0));
        }
        return positions;
    };
    PolyMesh full;
    full.MergeVertex({kBorder, 0, 0.5});
    auto append = [&](PolyMesh& mesh, int from, int to, bool index = true)
    {
        std::vector<Vector3> added;
        std::vector<unsigned> all;
        for (int i = from; i < to; ++i)
        {
            all.push_back(static_cast<unsigned>(added.size()));
            added.push_back(lattice(i));
        }
        mesh.AppendVerticesApart(added.data(), all, 0.99 * step, {}, index);
    };
    append(full, 1, 70000);
    PolyMesh partial = full;
    for (int round = 0; round < 2; ++round)
    {
        const std::vector<Vector3> positions = near(400);
        ASSERT_TRUE(partial.IndexesOnlyNear(positions.size()));
        partial.PrepareLookupsNear(positions);
        for (const Vector3& position : positions)
            ASSERT_EQ(partial.MergeVertexNear(position), full.MergeVertex(position));
        // More vertices waiting above those just indexed.
        append(full, 70000 + 10000 * round, 80000 + 10000 * round);
        append(partial, 70000 + 10000 * round, 80000 + 10000 * round);
    }
    // Lookups gathered in the first rows of the lattice, where most waiting
    // vertices lie far from every cell read; each merges with a vertex just
    // beside it, those of the first column beyond the lookups' extent.
    std::vector<Vector3> gathered;
    for (int i = 0; i < 3000; i += 7)
        gathered.push_back(lattice(i) + Vector3(0.9e-6, 0, 0));
    ASSERT_TRUE(partial.IndexesOnlyNear(gathered.size()));
    partial.PrepareLookupsNear(gathered);
    for (const Vector3& position : gathered)
        ASSERT_EQ(partial.MergeVertexNear(position), full.MergeVertex(position));
    // Lookups that each read eight cells of their own, at cell corners.
    std::vector<Vector3> corners;
    corners.reserve(512);
    for (int n = 0; n < 512; ++n)
        corners.push_back({kBorder + 3 * n * kCell + 1e-8, kBorder - 1e-8, 0.5 + 0.5 * kCell});
    ASSERT_TRUE(partial.IndexesOnlyNear(corners.size()));
    partial.PrepareLookupsNear(corners);
    for (const Vector3& position : corners)
        ASSERT_EQ(partial.MergeVertexNear(position), full.MergeVertex(position));
    // Vertices appended unindexed leave the index stale: it starts again
    // from nothing, near the lookups only.
    append(full, 90000, 100000);
    append(partial, 90000, 100000, false);
    const std::vector<Vector3> afterStale = near(400);
    ASSERT_TRUE(partial.IndexesOnlyNear(afterStale.size()));
    partial.PrepareLookupsNear(afterStale);
    for (const Vector3& position : afterStale)
        ASSERT_EQ(partial.MergeVertexNear(position), full.MergeVertex(position));
    for (const Vector3& position : near(2000))
        ASSERT_EQ(partial.MergeVertex(position), full.MergeVertex(position));
    EXPECT_EQ(partial.GetVertexCount(), full.GetVertexCount());
    EXPECT_EQ(partial.CloseVertexPairs(), full.CloseVertexPairs());
}

// The fast mesh against the literal algorithms on random meshes.
class PolyMeshEquivalence : public ::testing::TestWithParam<unsigned>
{
};

TEST_P(PolyMeshEquivalence, BuildOrientAndSmoothMatchTheLiteralAlgorithms)
{
    std::mt19937 random(GetParam());
    ReferenceMesh reference;
    LEGOPolyMesh mesh;
    // Closed shapes with mixed windings, a random soup of clustered corners
    // (duplicates, near-duplicates, degenerate triangles) and a second shape
    // so that several groups are oriented.
    AddSphere(reference, mesh, {0.5, 0.25, 0}, 3.0, 12, 16, random);
    for (int i = 0; i < 300; ++i)
        AddBoth(reference, mesh, ClusteredPoint(random), ClusteredPoint(random),
                ClusteredPoint(random));
    AddBox(reference, mesh, {-7, -7, -7}, {-5, -4, -3}, random);
    AddSphere(reference, mesh, {20, 0, 0}, 1.0, 6, 40, random);
    // A fan of 40 triangles around one vertex, half of them coplanar.
    for (int i = 0; i < 40; ++i)
    {
        const double angle = 6.283185307179586 * i / 40;
        const double lift = i % 2 ? 0.0 : 0.2 * (i % 5);
        AddBoth(reference, mesh, {30, 30, 30},
                {30 + std::cos(angle), 30 + std::sin(angle), 30 + lift},
                {30 + std::cos(angle + 0.15), 30 + std::sin(angle + 0.15), 30 + lift});
    }
    ASSERT_TRUE(MeshesMatch(reference, mesh));

    const bool outward = GetParam() % 2 == 0;
    LEGOPolyMesh oriented = mesh;
    ReferenceMesh orientedReference = reference;
    oriented.FixNormals(outward);
    orientedReference.FixNormals(outward);
    EXPECT_TRUE(MeshesMatch(orientedReference, oriented));

    mesh.CreateNormals(true);
    reference.CreateNormals(true);
    // The mesh lets its edges go once oriented, and its polygon normals once
    // the corners hold theirs (both checked above).
    EXPECT_TRUE(MeshesMatch(reference, mesh, false, false));
    EXPECT_TRUE(CornerNormalsMatch(reference, mesh));
}

INSTANTIATE_TEST_SUITE_P(RandomMeshes, PolyMeshEquivalence, ::testing::Range(1u, 13u));

// A mesh of many vertices is smoothed in several ranges whose lists of
// normals are joined: every corner reads what one range gives it. Its face
// normals span two pages, each freed once the last corner reading it has,
// and its columns come in a scattered order, so that both pages are read by
// vertices of every range.
TEST(PolyMeshSmoothing, ManyVerticesGiveEveryJobTheSameNormals)
{
    // A ridged sheet of 200 by 200 vertices: smooth slopes and sharp creases.
    LEGOPolyMesh mesh;
    const auto height = [](int x, int y) { return (x % 7 == 0 ? 3.0 : 0.0) + 0.1 * ((x * y) % 5); };
    for (int column = 0; column < 199; ++column)
        for (int y = 0; y < 199; ++y)
        {
            const int x = column * 37 % 199;
            const Vector3 a(x, y, height(x, y)), b(x + 1, y, height(x + 1, y)),
                c(x + 1, y + 1, height(x + 1, y + 1)), d(x, y + 1, height(x, y + 1));
            AddTriangle(mesh, a, b, c);
            AddTriangle(mesh, a, c, d);
        }
    ASSERT_GT(mesh.GetPolygonCount(), 65536u);
    const std::vector<LEGOPolyMesh> smoothed =
        OnOneAndThreeJobs(mesh, [](LEGOPolyMesh& copy) { copy.CreateNormals(true); });
    EXPECT_EQ(CornersThatDiffer(
                  smoothed, [](const LEGOPolyMesh& a, const LEGOPolyMesh& b, unsigned f, unsigned k)
                  { return !SameBits(a.FaceNormal(f, k), b.FaceNormal(f, k)); }),
              0u);
}

}  // namespace

// The polygon across each side, found on any number of jobs, is the one the
// edge records name: sides joined by three or more polygons, by the same
// polygon twice, sides from a vertex to itself, polygons of two corners (one
// side), and across the runs the polygons are split into.
TEST(PolygonSidesFound, NameThePolygonTheEdgeRecordsName)
{
    PolyMesh mesh;
    std::mt19937 random(11);
    constexpr unsigned kVertices = 700;
    for (unsigned v = 0; v < kVertices; ++v)
        mesh.AddVertexApart(Vector3(v, v % 7, v % 11));
    std::uniform_int_distribution<unsigned> near(0, 9), any(0, kVertices - 1);
    for (unsigned p = 0; p < 300000; ++p)
    {
        const unsigned a = p % 50 == 0 ? any(random) : (p / 7) % (kVertices - 10);
        unsigned corners[4] = {a, a + 1 + near(random), a + near(random), a + 2 + near(random)};
        if (p % 97 == 0)
            corners[2] = a;  // a corner twice: the same pair on two sides
        for (unsigned& corner : corners)
            corner %= kVertices;
        mesh.AddPolygonOnVertices(p % 5 == 0 ? 4 : p % 11 == 0 ? 2 : 3, corners);
    }
    std::vector<_Polygon> polygons;
    for (unsigned p = 0; p < mesh.GetPolygonCount(); ++p)
        polygons.push_back(mesh.GetPolygon(p));
    for (const unsigned jobs : {1u, 2u, 3u})
    {
        Parallel::SetJobs(jobs);
        const PolygonSides sides = FindPolygonSides(polygons, kVertices);
        ASSERT_EQ(sides.start.size(), polygons.size() + 1);
        unsigned differences = 0;
        for (unsigned p = 0; p < polygons.size(); ++p)
        {
            ASSERT_EQ(sides.start[p + 1] - sides.start[p], mesh.GetPolygonEdgeCount(p));
            for (unsigned k = 0; k < mesh.GetPolygonEdgeCount(p); ++k)
            {
                const _Edge& edge = mesh.GetEdge(static_cast<unsigned>(mesh.GetPolygonEdge(p, k)));
                const int across =
                    edge.polygonA == static_cast<int>(p) ? edge.polygonB : edge.polygonA;
                differences += sides.across[sides.start[p] + k] != across;
            }
        }
        EXPECT_EQ(differences, 0u) << jobs << " jobs";
    }
    Parallel::SetJobs(0);
}

// Buckets made on every job hold what the one-pass counting sort holds, in
// one list or in pages, and reading every item once per range, they read
// them no more often for jobs beyond the cores.
TEST(BucketsOnEveryJob, HoldWhatOneJobMakes)
{
    std::mt19937 random(5);
    std::vector<std::pair<unsigned, unsigned>> items;
    for (unsigned i = 0; i < 150000; ++i)
        items.emplace_back(random() % 997, i);
    std::atomic<unsigned> visits{0};
    const auto visit = [&](auto emit)
    {
        ++visits;
        for (const auto& [key, item] : items)
            emit(key, item);
    };
    const Buckets<unsigned> expected = BuildBuckets<unsigned>(997, visit);
    for (const unsigned jobs : {2u, 3u, 64u})
    {
        Parallel::SetJobs(jobs);
        visits = 0;
        const Buckets<unsigned> made = BuildBucketsOnEveryJob<unsigned>(997, visit);
        EXPECT_EQ(made.first, expected.first) << jobs;
        EXPECT_EQ(made.items, expected.items) << jobs;
        EXPECT_LE(visits.load(), 2 * std::min(jobs, Parallel::Cores())) << jobs;
        // The same in pages, across three of them.
        const PagedBuckets<unsigned> paged =
            BuildBucketsOnEveryJob<unsigned, PagedArray<unsigned>>(997, visit);
        EXPECT_EQ(paged.first, expected.first) << jobs;
        ASSERT_EQ(paged.items.size(), expected.items.size()) << jobs;
        std::size_t differ = 0;
        for (std::size_t i = 0; i < paged.items.size(); ++i)
            differ += paged.items[i] != expected.items[i] ? 1 : 0;
        EXPECT_EQ(differ, 0u) << jobs;
    }
    Parallel::SetJobs(0);
}

TEST(InlineArray, AssignKeepsExactlyTheGivenItemsInlineOrOnTheHeap)
{
    const unsigned many[6] = {9, 8, 7, 6, 5, 4};
    InlineArray<unsigned, 3> corners;
    corners.assign(many, 3);
    EXPECT_EQ(std::vector<unsigned>(corners.begin(), corners.end()),
              std::vector<unsigned>(many, many + 3));
    corners.assign(many, 6);
    EXPECT_EQ(std::vector<unsigned>(corners.begin(), corners.end()),
              std::vector<unsigned>(many, many + 6));
    // Fewer again: the heap block stays, holding only the new corners.
    corners.assign(many + 4, 2);
    EXPECT_EQ(std::vector<unsigned>(corners.begin(), corners.end()), (std::vector<unsigned>{5, 4}));
    corners.push_back(1);
    EXPECT_EQ(corners.size(), 3u);
    EXPECT_EQ(corners[2], 1u);
}

// Three corners are kept in the record, any other count in a block of its
// own; copies and moves keep each polygon's corners and nothing of another's.
TEST(PolygonCorners, TrianglesInTheRecordOtherCountsInABlock)
{
    const auto cornersOf = [](const PolygonCorners& c)
    { return std::vector<unsigned>(c.begin(), c.end()); };
    const unsigned many[6] = {9, 8, 7, 6, 5, 4};
    const PolygonCorners none;
    EXPECT_EQ(none.size(), 0u);
    PolygonCorners triangle, hexagon;
    triangle.assign(many, 3);
    hexagon.assign(many, 6);
    EXPECT_TRUE(triangle.IsTriangle());
    EXPECT_EQ(cornersOf(triangle), std::vector<unsigned>(many, many + 3));
    EXPECT_EQ(cornersOf(hexagon), std::vector<unsigned>(many, many + 6));

    PolygonCorners copy = hexagon;
    copy[0] = 1;
    EXPECT_EQ(hexagon[0], 9u);  // a copy has a block of its own
    PolygonCorners moved = std::move(copy);
    EXPECT_EQ(cornersOf(moved), (std::vector<unsigned>{1, 8, 7, 6, 5, 4}));
    moved = triangle;  // the block goes, three corners in its room
    EXPECT_EQ(cornersOf(moved), std::vector<unsigned>(many, many + 3));
    triangle = hexagon;
    hexagon.assign(many + 2, 4);
    EXPECT_EQ(cornersOf(triangle), std::vector<unsigned>(many, many + 6));
    EXPECT_EQ(cornersOf(hexagon), (std::vector<unsigned>{7, 6, 5, 4}));
}
