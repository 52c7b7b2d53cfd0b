#include <gtest/gtest.h>

#include "tests/clean_reference.h"
#include "tests/clean_support.h"

namespace
{

TEST(FixColorErrors, LeavesSingleColouredAndEmptyNodesAlone)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned plain = part.AddNode("plain.dat");
    const unsigned gone = part.AddNode("gone.dat");
    part.Place(root, static_cast<int>(plain), 4);
    part.AddUnitTriangle(plain, 4);
    part.AddUnitTriangle(plain, 4, Vector3(3, 0, 0));
    part.MarkNodeDeleted(gone);
    const TestPart before = part;
    part.FixColorErrors();
    EXPECT_TRUE(TreesMatch(before, part));
}

TEST(FixColorErrors, SplitsIntoOneNodePerCodeInUnsignedOrder)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("3001.dat");
    const unsigned odd = part.AddNode("odd.dat", NodeKind::Primitive);
    part.Place(root, static_cast<int>(brick), 4);
    part.nodes[brick].tag = 9;
    part.AddUnitTriangle(root, 2);  // the root is split like any node
    part.AddUnitTriangle(root, 3, Vector3(0, 0, 1));
    const int codes[] = {16, 0, 16, 4};
    for (int f = 0; f < 4; ++f)
        part.AddUnitTriangle(brick, codes[f], Vector3(2.0 * f, 0, 0));
    const Vector3 normals[3] = {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, -1)};
    part.nodes[brick].mesh.SetFaceNormals(2, 3, normals);
    part.AddUnitTriangle(odd, -1);
    part.AddUnitTriangle(odd, 7, Vector3(0, 0, 5));

    part.FixColorErrors();
    // Root: 2 and 3 (nodes 3, 4); brick: 0, 4, 16 (5, 6, 7); odd: 7, -1 (8, 9).
    ASSERT_EQ(part.GetNodeCount(), 10u);
    const _LegoNode& b = part.nodes[brick];
    EXPECT_EQ(b.mesh.GetPolygonCount(), 0u);
    EXPECT_EQ(b.mesh.GetVertexCount(), 0u);
    EXPECT_EQ(b.name, "3001.dat");
    EXPECT_EQ(b.tag, 9);
    ASSERT_EQ(b.children.size(), 3u);
    const int expectedCodes[] = {0, 4, 16};
    for (unsigned j = 0; j < 3; ++j)
    {
        const _LegoInstance& instance = b.children[j];
        EXPECT_EQ(instance.color, expectedCodes[j]);
        EXPECT_EQ(instance.node, static_cast<int>(5 + j));
        EXPECT_TRUE(SameMatrix(instance.transform, Matrix4x4()));
        const _LegoNode& colorNode = part.nodes[5 + j];
        EXPECT_EQ(colorNode.name, "3001.dat_color_" + std::to_string(expectedCodes[j]));
        EXPECT_EQ(colorNode.kind, NodeKind::Part);
        EXPECT_EQ(colorNode.tag, 1);
        EXPECT_TRUE(colorNode.children.empty());
    }
    // Faces 0 and 2, in that order, unmoved, with their normals and code.
    const LEGOPolyMesh& main = part.nodes[7].mesh;
    ASSERT_EQ(main.GetPolygonCount(), 2u);
    EXPECT_TRUE(SameVector(main.GetPolygonVertex(0, 0), Vector3(0, 0, 0)));
    EXPECT_TRUE(SameVector(main.GetPolygonVertex(1, 0), Vector3(4, 0, 0)));
    EXPECT_TRUE(SameVector(main.FaceNormal(1, 2), Vector3(0, 0, -1)));
    EXPECT_EQ(main.FaceColor(1), 16);

    // A negative code sorts last as an unsigned value.
    ASSERT_EQ(part.nodes[odd].children.size(), 2u);
    EXPECT_EQ(part.nodes[odd].children[0].color, 7);
    EXPECT_EQ(part.nodes[odd].children[1].color, -1);
    EXPECT_EQ(part.nodes[9].name, "odd.dat_color_-1");
    EXPECT_EQ(part.nodes[9].mesh.FaceColor(0), -1);
    EXPECT_EQ(part.nodes[root].children.size(), 3u);
    EXPECT_EQ(part.nodes[3].name, "model.ldr_color_2");

    // A second run finds one colour everywhere.
    const TestPart once = part;
    part.FixColorErrors();
    EXPECT_TRUE(TreesMatch(once, part));
}

TEST(FixColorErrors, MatchesTheLinearSearchOnRandomTrees)
{
    for (unsigned seed = 1; seed <= 60; ++seed)
    {
        ReferencePart expected;
        BuildRandomTree(expected, seed, 5 + seed % 20);
        for (unsigned n = 0; n < expected.GetNodeCount(); ++n)
            if (expected.nodes[n].mesh.GetPolygonCount() > 0)
                expected.nodes[n].mesh.CreateNormals(true);
        ReferencePart actual = expected;
        expected.RefFixColorErrors();
        actual.FixColorErrors();
        ASSERT_TRUE(TreesMatch(expected, actual)) << "seed " << seed;
    }
}

}  // namespace

TEST(FixColorErrors, AVertexLeftForAnotherColourAndComingBackIsStillOneVertex)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("3001.dat");
    part.Place(root, static_cast<int>(brick), 16);
    for (const int code : {4, 2, 4})
        part.AddUnitTriangle(brick, code);
    part.AddUnitTriangle(brick, 4, Vector3(5, 0, 0));
    // Moved onto another vertex: now within the merge distance of it.
    TestPart moved = part;
    moved.nodes[brick].mesh.GetVertex(3) = moved.nodes[brick].mesh.GetVertex(0);

    part.FixColorErrors();
    moved.FixColorErrors();
    // Codes 2 and 4 make nodes 2 and 3.
    EXPECT_EQ(part.nodes[2].mesh.GetVertexCount(), 3u);
    EXPECT_EQ(part.nodes[3].mesh.GetPolygonCount(), 3u);
    EXPECT_EQ(part.nodes[3].mesh.GetVertexCount(), 6u);
    EXPECT_EQ(moved.nodes[3].mesh.GetVertexCount(), 5u);
}

// Also past a page of corner normals, which the in-place path frees as it
// reads and makes again as it moves.
TEST(FixColorErrors, TakingTheLargestColourOutInPlaceGivesTheCopiedMesh)
{
    // The last mesh has more colours than a byte tells apart.
    for (const int faceCount : {8, 30000, 3000})
    {
        const bool isManyColoured = faceCount == 3000;
        TestPart part;
        const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
        const unsigned brick = part.AddNode("3001.dat");
        part.Place(root, static_cast<int>(brick), 16);
        // Colour 4 holds most faces; they share vertices with faces of 2 and 14.
        // Its first faces go round vertices made before, backwards, so that
        // its vertices move around cycles when they are renumbered in place.
        const Vector3 a(0, 0, -1), b(1, 0, -1), c(0, 1, -1), d(1, 1, -1);
        part.AddTriangle(brick, a, b, c, 2);
        part.AddTriangle(brick, b, d, c, 14);
        part.AddTriangle(brick, d, c, b, 4);
        part.AddTriangle(brick, c, a, b, 4);
        const int codes[] = {2, 4, 4, 14, 4, 2, 4, 4};
        for (int f = 0; f < faceCount; ++f)
            part.AddUnitTriangle(
                brick, isManyColoured ? (f % 2 == 0 ? 4 : 1000 + f / 2 % 299) : codes[f % 8],
                Vector3(0.5 * (f % 3), 0.25 * (f / 3), 0.1 * f));
        part.nodes[brick].mesh.CreateNormals(true);
        // A vertex handed out for writing (unchanged) rules the in-place path out.
        TestPart copied = part;
        const Vector3 same = copied.nodes[brick].mesh.GetVertex(0);
        copied.nodes[brick].mesh.GetVertex(0) = same;

        part.FixColorErrors();
        copied.FixColorErrors();
        // Codes 2, 4, 14: nodes 2, 3, 4.
        if (!isManyColoured)
            EXPECT_EQ(part.nodes[3].mesh.GetPolygonCount(), unsigned(faceCount / 8 * 5 + 2));
        else
            EXPECT_EQ(part.nodes.size(), 2u + 302u);
        EXPECT_TRUE(TreesMatch(copied, part)) << faceCount << " faces";
    }
}
