#include <gtest/gtest.h>

#include "tests/clean_reference.h"
#include "tests/clean_support.h"

namespace
{

const double kBig = 1000000.0;

void ExpectBox(const _LegoNode& node, const Vector3& max, const Vector3& min)
{
    EXPECT_TRUE(SameVector(node.boxMax, max)) << node.name << " max " << node.boxMax;
    EXPECT_TRUE(SameVector(node.boxMin, min)) << node.name << " min " << node.boxMin;
}

TEST(ComputeBoundingBoxes, CombinesVerticesWithThePlacedCornersOfChildren)
{
    TestPart part;
    // Parents before children and after them: the result must not depend on it.
    const unsigned translated = part.AddNode("translated");
    const unsigned turned = part.AddNode("turned");
    const unsigned unit = part.AddNode("unit");
    const unsigned loose = part.AddNode("loose");
    const unsigned empty = part.AddNode("empty");
    const unsigned onlyEmpty = part.AddNode("onlyEmpty");
    const unsigned top = part.AddNode("top");
    part.AddTriangle(unit, Vector3(0, 0, 0), Vector3(1, 1, 1), Vector3(1, 0, 0), 16);
    part.AddTriangle(loose, Vector3(0, 0, 0), Vector3(2, 1, 0), Vector3(1, 3, -1), 16);
    part.Place(translated, static_cast<int>(unit), 16, Translation(10, 0, 0));
    part.Place(turned, static_cast<int>(unit), 16, QuarterTurnAboutY());
    part.Place(onlyEmpty, static_cast<int>(empty), 16);
    part.Place(top, static_cast<int>(onlyEmpty), 16, QuarterTurnAboutY());
    part.Place(top, static_cast<int>(empty), 16, Translation(50, 50, 50));
    part.Place(top, static_cast<int>(unit), 16);

    part.ComputeBoundingBoxes();
    ExpectBox(part.nodes[loose], Vector3(2, 3, 0), Vector3(0, 0, -1));
    ExpectBox(part.nodes[translated], Vector3(11, 1, 1), Vector3(10, 0, 0));
    // Only the two corners are carried over, so the turn inverts z.
    ExpectBox(part.nodes[turned], Vector3(1, 1, -1), Vector3(0, 0, 0));
    // An empty node keeps the empty box, and its parents skip it.
    ExpectBox(part.nodes[empty], Vector3(-kBig, -kBig, -kBig), Vector3(kBig, kBig, kBig));
    // A node with only empty children keeps the starting values but counts as
    // computed: its parent carries its corners over.
    ExpectBox(part.nodes[onlyEmpty], Vector3(-kBig, -kBig, -kBig), Vector3(kBig, kBig, kBig));
    ExpectBox(part.nodes[top], Vector3(1, 1, kBig), Vector3(0, 0, -kBig));
}

TEST(ComputeBoundingBoxes, LeavesNodesOnAndAboveACycleAsTheyWere)
{
    TestPart part;
    const unsigned above = part.AddNode("above");
    const unsigned a = part.AddNode("a");
    const unsigned b = part.AddNode("b");
    const unsigned self = part.AddNode("self");
    const unsigned fine = part.AddNode("fine");
    part.Place(above, static_cast<int>(a), 16);
    part.Place(above, static_cast<int>(fine), 16);
    part.Place(a, static_cast<int>(b), 16);
    part.Place(b, static_cast<int>(a), 16);
    part.Place(self, static_cast<int>(self), 16);
    part.Place(self, static_cast<int>(fine), 16);
    for (const unsigned n : {above, a, b, self})
    {
        part.AddUnitTriangle(n, 16);
        part.nodes[n].boxMax = Vector3(7, 7, 7);
    }
    part.AddUnitTriangle(fine, 16);

    part.ComputeBoundingBoxes();
    for (const unsigned n : {above, a, b, self})
        ExpectBox(part.nodes[n], Vector3(7, 7, 7), Vector3(kBig, kBig, kBig));
    ExpectBox(part.nodes[fine], Vector3(1, 1, 0), Vector3(0, 0, 0));
}

TEST(ComputeBoundingBoxes, MatchesTheRepeatedSweepsOnRandomTrees)
{
    for (unsigned seed = 1; seed <= 100; ++seed)
    {
        ReferencePart expected;
        BuildRandomTree(expected, seed, 5 + seed % 40, seed % 4 == 0 ? 1 + seed % 3 : 0);
        ReferencePart actual = expected;
        expected.RefComputeBoundingBoxes();
        actual.ComputeBoundingBoxes();
        ASSERT_TRUE(TreesMatch(expected, actual)) << "seed " << seed;
    }
}

TEST(AddQuad, AddsTwoTrianglesOnlyAboveTheAreaThreshold)
{
    TestPart part;
    const unsigned n = part.AddNode("n");
    const Vector3 a(0, 0, 0);
    part.AddQuad(n, a, Vector3(0.01, 0, 0), Vector3(0.01, 1, 0), Vector3(0, 1, 0), 5);
    EXPECT_EQ(part.nodes[n].mesh.GetPolygonCount(), 0u);
    part.AddQuad(n, a, a, a, a, 5);
    EXPECT_EQ(part.nodes[n].mesh.GetPolygonCount(), 0u);

    part.AddQuad(n, a, Vector3(0.02, 0, 0), Vector3(0.02, 1, 0), Vector3(0, 1, 0), 5);
    const LEGOPolyMesh& mesh = part.nodes[n].mesh;
    ASSERT_EQ(mesh.GetPolygonCount(), 2u);
    // (a, b, c) then (c, d, a); the normal is (d - a) x (b - a), made unit.
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(0, 2), Vector3(0.02, 1, 0)));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 0), Vector3(0.02, 1, 0)));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 1), Vector3(0, 1, 0)));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 2), a));
    for (unsigned f = 0; f < 2; ++f)
    {
        EXPECT_EQ(mesh.FaceColor(f), 5);
        for (unsigned k = 0; k < 3; ++k)
            EXPECT_TRUE(SameVector(mesh.FaceNormal(f, k), Vector3(0, 0, -1)));
    }
}

// Equal values: the cross product may leave a negative zero.
bool SameDirection(const Vector3& a, const Vector3& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

TEST(AddBoundingBoxGeometry, MakesOneBoxPerPlacedNodeAndPlacesThemLikeTheRoot)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("3001.dat");
    const unsigned plate = part.AddNode("3024.dat");
    const unsigned unplaced = part.AddNode("unplaced.dat");
    part.nodes[brick].boxMax = Vector3(2, 3, 4);
    part.nodes[brick].boxMin = Vector3(-1, -2, -3);
    part.nodes[plate].boxMax = Vector3(1, 1, 0.5);  // flat along z
    part.nodes[plate].boxMin = Vector3(0, 0, 0.5);
    part.nodes[root].boxMax = Vector3(9, 9, 9);
    part.nodes[root].boxMin = Vector3(-9, -9, -9);
    part.Place(root, static_cast<int>(brick), 4, Translation(1, 0, 0));
    part.Place(root, static_cast<int>(plate), 1, Translation(2, 0, 0));
    part.Place(root, static_cast<int>(brick), 14, Translation(3, 0, 0));
    part.Place(root, static_cast<int>(brick), 36, QuarterTurnAboutY());
    part.Place(unplaced, static_cast<int>(brick), 16);

    part.AddBoundingBoxGeometry();
    ASSERT_EQ(part.GetNodeCount(), 7u);
    const _LegoNode& brickBox = part.nodes[4];
    EXPECT_EQ(brickBox.name, "3001.dat_bounding_box");
    EXPECT_EQ(brickBox.tag, 2);
    EXPECT_EQ(brickBox.kind, NodeKind::Part);
    EXPECT_TRUE(brickBox.children.empty());
    ExpectBox(brickBox, Vector3(2, 3, 4), Vector3(-1, -2, -3));
    // Six quads facing +x, -y, +z, +x, -y, +z, all of code 16.
    const std::vector<Vector3> axes = {Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, 1)};
    ASSERT_EQ(brickBox.mesh.GetPolygonCount(), 12u);
    for (unsigned f = 0; f < 12; ++f)
    {
        for (unsigned k = 0; k < 3; ++k)
            EXPECT_TRUE(SameDirection(brickBox.mesh.FaceNormal(f, k), axes[(f / 2) % 3]))
                << "face " << f;
        EXPECT_EQ(brickBox.mesh.FaceColor(f), 16);
    }
    EXPECT_TRUE(SameVector(brickBox.mesh.GetPolygonVertex(0, 0), Vector3(2, 3, 4)));
    EXPECT_TRUE(SameVector(brickBox.mesh.GetPolygonVertex(0, 1), Vector3(2, 3, -3)));
    EXPECT_TRUE(SameVector(brickBox.mesh.GetPolygonVertex(0, 2), Vector3(2, -2, -3)));
    EXPECT_TRUE(SameVector(brickBox.mesh.GetPolygonVertex(6, 0), Vector3(-1, -2, -3)));
    EXPECT_EQ(brickBox.mesh.GetVertexCount(), 8u);

    // The flat box keeps only its two z faces.
    const _LegoNode& plateBox = part.nodes[5];
    EXPECT_EQ(plateBox.name, "3024.dat_bounding_box");
    ASSERT_EQ(plateBox.mesh.GetPolygonCount(), 4u);
    for (unsigned f = 0; f < 4; ++f)
        EXPECT_TRUE(SameDirection(plateBox.mesh.FaceNormal(f, 1), Vector3(0, 0, 1)));

    const _LegoNode& boxes = part.nodes[6];
    EXPECT_EQ(boxes.name, "Bounding Boxes");
    EXPECT_EQ(boxes.tag, 1);
    EXPECT_EQ(boxes.kind, NodeKind::Model);
    EXPECT_EQ(boxes.mesh.GetPolygonCount(), 0u);
    ExpectBox(boxes, Vector3(9, 9, 9), Vector3(-9, -9, -9));
    ASSERT_EQ(boxes.children.size(), 4u);
    const int boxNodes[] = {4, 5, 4, 4};
    for (unsigned r = 0; r < 4; ++r)
    {
        const _LegoInstance& placed = part.nodes[root].children[r];
        EXPECT_EQ(boxes.children[r].node, boxNodes[r]);
        EXPECT_EQ(boxes.children[r].color, placed.color);
        EXPECT_TRUE(SameMatrix(boxes.children[r].transform, placed.transform));
    }
}

TEST(AddBoundingBoxGeometry, HandlesEmptyBoxesRootsWithoutChildrenAndEmptyTrees)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned never = part.AddNode("never.dat");
    part.Place(root, static_cast<int>(never), 4);
    part.AddBoundingBoxGeometry();
    // The empty box is drawn from its stored corners: all six quads.
    const LEGOPolyMesh& mesh = part.nodes[2].mesh;
    EXPECT_EQ(mesh.GetPolygonCount(), 12u);
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(0, 0), Vector3(-kBig, -kBig, -kBig)));

    TestPart lonely;
    lonely.AddNode("model.ldr", NodeKind::Model);
    lonely.nodes[0].boxMax = Vector3(1, 2, 3);
    lonely.AddBoundingBoxGeometry();
    ASSERT_EQ(lonely.GetNodeCount(), 2u);
    EXPECT_TRUE(lonely.nodes[1].children.empty());
    ExpectBox(lonely.nodes[1], Vector3(1, 2, 3), Vector3(kBig, kBig, kBig));

    TestPart none;
    none.AddBoundingBoxGeometry();
    ASSERT_EQ(none.GetNodeCount(), 1u);
    EXPECT_EQ(none.nodes[0].name, "Bounding Boxes");
    EXPECT_EQ(none.nodes[0].kind, NodeKind::Model);
    EXPECT_TRUE(none.nodes[0].children.empty());
    ExpectBox(none.nodes[0], Vector3(-kBig, -kBig, -kBig), Vector3(kBig, kBig, kBig));
}

}  // namespace
