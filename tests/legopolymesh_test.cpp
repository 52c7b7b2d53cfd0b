#include "model/legopolymesh.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>

#include "tests/mesh_compare.h"
#include "tests/reference_mesh.h"

namespace
{

const double kPi = 3.14159265358979323846;

// Exposes the protected smoothing step.
class SmoothableMesh : public LEGOPolyMesh
{
public:
    using LEGOPolyMesh::SmoothNormals;
};

Vector3 Direction(double degreesFromZ, double degreesAroundZ = 0.0)
{
    const double t = degreesFromZ * kPi / 180.0;
    const double p = degreesAroundZ * kPi / 180.0;
    return Vector3(std::sin(t) * std::cos(p), std::sin(t) * std::sin(p), std::cos(t));
}

Vector3 Normalised(Vector3 v)
{
    v.Unit();
    return v;
}

// Equal values; a sum that starts from +0 may turn a -0 component into +0.
void ExpectEqual(const Vector3& actual, const Vector3& expected)
{
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

void ExpectSame(const Vector3& actual, const Vector3& expected)
{
    EXPECT_TRUE(SameBits(actual, expected))
        << "(" << actual.x << ", " << actual.y << ", " << actual.z << ") expected (" << expected.x
        << ", " << expected.y << ", " << expected.z << ")";
}

TEST(AngleAndTransform, AngleClampsAndIsNaNForZeroVectors)
{
    // A vector whose cosine with itself rounds above 1 still gives 0.
    Vector3 v(0.1, 0.7, 0.3);
    for (int i = 1; AngleCosine(v, v) <= 1.0; ++i)
        v = Vector3(0.1 * i, 0.7, 0.3 / i);
    EXPECT_EQ(Angle(v, v), 0.0);
    EXPECT_DOUBLE_EQ(Angle(Vector3(1, 0, 0), Vector3(-1, 0, 0)), kPi);
    EXPECT_DOUBLE_EQ(Angle(Vector3(1, 0, 0), Vector3(0, 2, 0)), kPi / 2);
    EXPECT_TRUE(std::isnan(Angle(Vector3(0, 0, 0), Vector3(1, 0, 0))));
    EXPECT_FALSE(Angle(Vector3(0, 0, 0), Vector3(1, 0, 0)) < 1.0);
}

TEST(AngleAndTransform, ThresholdTestAgreesWithTheArcCosine)
{
    // Pairs straddling 60 degrees by tiny amounts, and random pairs.
    std::mt19937 random(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 200000; ++i)
    {
        Vector3 a(unit(random), unit(random), unit(random));
        Vector3 b;
        if (i % 2)
        {
            b = Vector3(unit(random), unit(random), unit(random));
        }
        else
        {
            const double degrees = 60.0 + (unit(random) * 1e-6) * (i % 7 == 0 ? 1e-4 : 1.0);
            a = Direction(degrees * 0.5, 10.0);
            b = Direction(-degrees * 0.5, 10.0);
        }
        ASSERT_EQ(IsWithinSmoothingAngle(a, b), Angle(a, b) < kSmoothingAngle) << i;
    }
    EXPECT_FALSE(IsWithinSmoothingAngle(Vector3(0, 0, 0), Vector3(0, 0, 0)));
}

TEST(AngleAndTransform, TransformNormalIgnoresTranslationAndUniformScale)
{
    Matrix4x4 m;
    m.m[3] = 5;
    m.m[7] = -2;
    m.m[11] = 9;
    ExpectSame(TransformNormal(Vector3(0, 3, 4), m), Normalised(Vector3(0, 3, 4)));
    for (const int i : {0, 5, 10})
        m.m[i] = 2.5;
    const Vector3 n = TransformNormal(Vector3(0, 3, 4), m);
    EXPECT_NEAR(n.y, 0.6, 1e-15);
    EXPECT_NEAR(n.z, 0.8, 1e-15);
    Matrix4x4 flat;
    flat.m[10] = 0.0;
    const Vector3 zero = TransformNormal(Vector3(0, 0, 1), flat);
    EXPECT_EQ(zero.Length(), 0.0);
}

TEST(LegoFaces, ConstColourOfMissingFaceIsZeroAndWritableGrows)
{
    LEGOPolyMesh mesh;
    mesh.FaceColor(2) = 4;
    EXPECT_EQ(mesh.GetFaceCount(), 3u);
    const LEGOPolyMesh& view = mesh;
    EXPECT_EQ(view.FaceColor(5), 0);
    EXPECT_EQ(view.FaceColor(2), 4);
    mesh.FaceColor(5) = 7;
    EXPECT_EQ(mesh.GetFaceCount(), 6u);
    ExpectSame(mesh.FaceNormal(4, 3), Vector3(0, 0, 1));  // a grown record
    const Vector3 normals[2] = {{1, 0, 0}, {0, 1, 0}};
    mesh.SetFaceNormals(8, 2, normals);
    EXPECT_EQ(mesh.GetFaceCount(), 9u);
    ExpectSame(mesh.FaceNormal(8, 1), Vector3(0, 1, 0));
    ExpectSame(mesh.FaceNormal(8, 2), Vector3(0, 0, 1));
}

// A colour kept once for all faces reads as a list of it, and changing one
// face, or adding one, makes it a list again without losing the others.
TEST(LegoFaces, OneColourForAllFacesReadsAndChangesLikeAList)
{
    LEGOPolyMesh mesh;
    mesh.SetUniformFaceColors(4, 14);
    const LEGOPolyMesh& view = mesh;
    EXPECT_EQ(mesh.GetFaceCount(), 4u);
    EXPECT_EQ(view.FaceColor(3), 14);
    EXPECT_EQ(view.FaceColor(4), 0);
    mesh.FaceColor(1) = 2;
    mesh.FaceColor(4) = 14;
    EXPECT_EQ(mesh.GetFaceCount(), 5u);
    const int expected[5] = {14, 2, 14, 14, 14};
    for (unsigned f = 0; f < 5; ++f)
        EXPECT_EQ(view.FaceColor(f), expected[f]) << f;
    mesh.ShareFaceColorIfAlike();  // not alike: stays a list
    EXPECT_EQ(view.FaceColor(1), 2);
    mesh.FaceColor(1) = 14;
    mesh.ShareFaceColorIfAlike();
    EXPECT_EQ(mesh.GetFaceCount(), 5u);
    EXPECT_EQ(view.FaceColor(1), 14);
}

// Growing past a page, shrinking and growing again: the regained elements
// read as new ones, and a copy keeps its own elements.
TEST(LegoFaces, PagedArrayGrowsAndShrinksLikeAVector)
{
    PagedArray<Vector3, 2> array;
    array.resize(6);
    for (std::size_t i = 0; i < array.size(); ++i)
        array[i] = Vector3(double(i), 0, 0);
    PagedArray<Vector3, 2> copy = array;
    array.resize(3);
    array.resize(9);
    EXPECT_EQ(array.size(), 9u);
    EXPECT_EQ(array[2].x, 2.0);
    for (std::size_t i = 3; i < 9; ++i)
        ExpectSame(array[i], Vector3());
    EXPECT_EQ(copy[5].x, 5.0);
    copy.Release();
    EXPECT_EQ(copy.size(), 0u);
    // The first page grows as the array does, keeping what it holds.
    copy.resize(1);
    copy[0] = Vector3(7, 0, 0);
    copy.resize(3);
    copy.resize(5);
    EXPECT_EQ(copy[0].x, 7.0);
    ExpectSame(copy[4], Vector3());
    // Appending one at a time, across pages, after room made ahead or not.
    for (const std::size_t ahead : {0, 3, 11})
    {
        PagedArray<Vector3, 2> appended;
        appended.ReserveFirstPage(ahead);
        for (int i = 0; i < 11; ++i)
            appended.push_back(Vector3(double(i), 1, 0));
        ASSERT_EQ(appended.size(), 11u) << ahead;
        for (std::size_t i = 0; i < 11; ++i)
            ExpectSame(appended[i], Vector3(double(i), 1, 0));
    }
}

TEST(LegoFaces, ClearEmptiesFacesAndGeometry)
{
    LEGOPolyMesh mesh;
    const Vector3 corners[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.FaceColor(mesh.AddPolygon(3, corners)) = 4;
    PolyMesh& base = mesh;
    base.Clear();  // through the virtual slot
    EXPECT_EQ(mesh.GetFaceCount(), 0u);
    EXPECT_EQ(mesh.GetPolygonCount(), 0u);
    EXPECT_EQ(mesh.GetVertexCount(), 0u);
}

// Two triangles sharing the edge (0,0,0)-(0,1,0), their normals `degrees` apart.
LEGOPolyMesh Hinge(double degrees)
{
    LEGOPolyMesh mesh;
    const double t = degrees * kPi / 180.0;
    const Vector3 first[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const Vector3 second[3] = {{0, 0, 0}, {0, 1, 0}, {-std::cos(t), 0, std::sin(t)}};
    mesh.FaceColor(mesh.AddPolygon(3, first)) = 4;
    mesh.FaceColor(mesh.AddPolygon(3, second)) = 1;
    return mesh;
}

TEST(LegoNormals, SharpHingeKeepsFlatNormals)
{
    LEGOPolyMesh mesh = Hinge(90.0);
    mesh.CreateNormals(true);
    for (unsigned f = 0; f < 2; ++f)
        for (unsigned k = 0; k < 3; ++k)
            ExpectEqual(mesh.FaceNormal(f, k), mesh.GetPolygonNormal(f));
}

TEST(LegoNormals, ShallowHingeAveragesSharedCornersAcrossColours)
{
    LEGOPolyMesh mesh = Hinge(30.0);
    mesh.CreateNormals(true);
    Vector3 sum = mesh.GetPolygonNormal(0) + mesh.GetPolygonNormal(1);
    sum.Unit();
    for (unsigned f = 0; f < 2; ++f)
        for (unsigned k = 0; k < 3; ++k)
        {
            const Vector3 position = mesh.GetPolygonVertex(f, k);
            const bool shared = position.x == 0 && position.z == 0;
            ExpectEqual(mesh.FaceNormal(f, k), shared ? sum : mesh.GetPolygonNormal(f));
        }
}

TEST(LegoNormals, UnsmoothedNormalsFillEveryCornerSlotAndTrimFaceList)
{
    LEGOPolyMesh mesh = Hinge(30.0);
    mesh.FaceColor(6) = 2;  // more face records than polygons
    mesh.CreateNormals(false);
    EXPECT_EQ(mesh.GetFaceCount(), 2u);
    for (unsigned f = 0; f < 2; ++f)
    {
        for (unsigned k = 0; k < 3; ++k)
            ExpectEqual(mesh.FaceNormal(f, k), mesh.GetPolygonNormal(f));
        // Triangles only: no fourth slot is kept.
        ExpectSame(mesh.FaceNormal(f, 3), Vector3());
    }
    // A quad gives every face four slots, and keeps what was there.
    const Vector3 quad[4] = {Vector3(0, 0, 5), Vector3(1, 0, 5), Vector3(1, 1, 5),
                             Vector3(0, 1, 5)};
    const Vector3 before = mesh.FaceNormal(1, 2);
    const unsigned q = mesh.AddPolygon(4, quad);
    const Vector3 normals[4] = {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1),
                                Vector3(-1, 0, 0)};
    mesh.SetFaceNormals(q, 4, normals);
    ExpectSame(mesh.FaceNormal(1, 2), before);
    ExpectSame(mesh.FaceNormal(q, 3), Vector3(-1, 0, 0));
}

TEST(LegoNormals, ALaterCornerOverwritesAnEarlierNeighbourhood)
{
    // a-b and b-c are 50 degrees apart, a-c 100.
    const Vector3 a = Direction(-50.0), b = Direction(0.0), c = Direction(50.0);
    std::vector<Vector3> group = {a, b, c};
    SmoothableMesh().SmoothNormals(group);
    ExpectSame(group[0], Normalised(a + b + c));
    ExpectSame(group[1], Normalised(b + c));
    ExpectSame(group[2], Normalised(b + c));
}

TEST(LegoNormals, ZeroNormalContributesNothingAndGetsTheDefault)
{
    std::vector<Vector3> group = {Vector3(0, 0, 0), Vector3(1, 0, 0)};
    SmoothableMesh().SmoothNormals(group);
    ExpectSame(group[0], Vector3(0, 0, 1));
    ExpectSame(group[1], Vector3(1, 0, 0));
}

TEST(LegoNormals, LargeGroupsMatchTheLiteralLoop)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<double> angle(0.0, 360.0);
    for (int trial = 0; trial < 60; ++trial)
    {
        // Fans: repeated normals, cones, zero vectors, and -0 next to +0.
        const unsigned n = 17 + trial * 7;
        std::vector<Vector3> group;
        for (unsigned i = 0; i < n; ++i)
        {
            switch ((i * 7 + trial) % 6)
            {
                case 0:
                    group.push_back(Vector3(0, 0, 1));
                    break;
                case 1:
                    group.push_back(Vector3(-0.0, 0, 1));
                    break;
                case 2:
                    group.push_back(Vector3(0, 0, 0));
                    break;
                case 3:
                    group.push_back(Direction(40.0 + trial, angle(random)));
                    break;
                case 4:
                    group.push_back(Direction(trial % 2 ? 100.0 : 59.99, angle(random)));
                    break;
                default:
                    group.push_back(group.empty() ? Vector3(0.6, 0, 0.8)
                                                  : group[random() % group.size()]);
                    break;
            }
        }
        std::vector<Vector3> expected = group;
        ReferenceMesh::SmoothNormals(expected);
        SmoothableMesh().SmoothNormals(group);
        for (unsigned i = 0; i < n; ++i)
            ASSERT_TRUE(SameBits(group[i], expected[i])) << "trial " << trial << " corner " << i;
    }
}

TEST(LegoNormals, FansOfThousandsOfDifferentNormalsKeepTheirOwn)
{
    // Smoothing such a fan would cost the square of its size; its corners
    // keep their normals, except those a smoothing gives the default too.
    std::vector<Vector3> group;
    for (unsigned i = 0; i < 2000; ++i)
        group.push_back(Direction(10.0 + 0.08 * i, 137.5 * i));
    group.push_back(Vector3(0, 0, 0));
    group.push_back(Vector3(std::nan(""), 0, 1));
    const std::vector<Vector3> before = group;
    SmoothableMesh().SmoothNormals(group);
    for (unsigned i = 0; i < 2000; ++i)
        ASSERT_TRUE(SameBits(group[i], before[i])) << i;
    ExpectSame(group[2000], Vector3(0, 0, 1));
    ExpectSame(group[2001], Vector3(0, 0, 1));
}

}  // namespace
