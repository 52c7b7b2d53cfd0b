#include <cmath>
#include <gtest/gtest.h>
#include <tuple>

#include "clean/treeops.h"
#include "model/parallel.h"
#include "tests/clean_reference.h"
#include "tests/clean_support.h"

namespace
{

std::vector<int> FaceColors(const LEGOPolyMesh& mesh)
{
    std::vector<int> colors;
    for (unsigned f = 0; f < mesh.GetPolygonCount(); ++f)
        colors.push_back(mesh.FaceColor(f));
    return colors;
}

TEST(MergeGeometry, ResolvesInheritedColoursThroughTheReference)
{
    // Faces 16, 24, 7 merged through references of colour 4, 16, 24 and 36.
    const int referenceColors[] = {4, 16, 24, 36};
    TestPart part;
    const unsigned parent = part.AddNode("parent");
    const unsigned child = part.AddNode("child");
    part.AddUnitTriangle(child, 16);
    part.AddUnitTriangle(child, 24, Vector3(5, 0, 0));
    part.AddUnitTriangle(child, 7, Vector3(10, 0, 0));
    for (const int q : referenceColors)
        part.Place(parent, static_cast<int>(child), q);
    for (unsigned r = 0; r < 4; ++r)
        part.MergeGeometry(parent, r, false);

    const std::vector<int> expected = {4,  part.ComplementaryColor(4),
                                       7,  // 24 through 4: its edge colour
                                       16, 24,
                                       7,  // 24 through 16 stays open
                                       24, 16,
                                       7,  // 24 through 24 gives 16
                                       36, part.ComplementaryColor(36),
                                       7};
    EXPECT_EQ(FaceColors(part.nodes[parent].mesh), expected);
    EXPECT_EQ(part.ComplementaryColor(4), 12);
    // The child and the references are left as they were.
    EXPECT_EQ(part.nodes[child].mesh.GetPolygonCount(), 3u);
    EXPECT_EQ(part.nodes[parent].children[2].node, static_cast<int>(child));
}

TEST(MergeGeometry, PlacesCornersInOrderAndCarriesNormalsOnlyWhenAsked)
{
    TestPart part;
    const unsigned parent = part.AddNode("parent");
    const unsigned child = part.AddNode("child");
    part.AddUnitTriangle(parent, 1);  // the parent's own face stays first
    part.AddUnitTriangle(child, 16);
    const Vector3 n[3] = {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1)};
    part.nodes[child].mesh.SetFaceNormals(0, 3, n);
    Matrix4x4 placement = QuarterTurnAboutY();
    placement.m[3] = 10;
    part.Place(parent, static_cast<int>(child), 4, placement);
    part.MergeGeometry(parent, 0, true);
    part.MergeGeometry(parent, 0, false);

    const LEGOPolyMesh& mesh = part.nodes[parent].mesh;
    ASSERT_EQ(mesh.GetPolygonCount(), 3u);
    // (x, y, z) goes to (z + 10, y, -x), corner order kept, winding not corrected.
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 0), Vector3(10, 0, 0)));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 1), Vector3(10, 0, -1)));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 2), Vector3(10, 1, 0)));
    EXPECT_TRUE(SameVector(mesh.FaceNormal(1, 0), Vector3(0, 0, -1)));
    EXPECT_TRUE(SameVector(mesh.FaceNormal(1, 1), Vector3(0, 1, 0)));
    EXPECT_TRUE(SameVector(mesh.FaceNormal(1, 2), Vector3(1, 0, 0)));
    // Without the flag the new face keeps the initial normal, (0, 0, 1).
    EXPECT_TRUE(SameVector(mesh.FaceNormal(2, 0), Vector3(0, 0, 1)));
    EXPECT_TRUE(SameVector(mesh.FaceNormal(2, 1), Vector3(0, 0, 1)));
}

TEST(MergeGeometry, CopiesOnlyTheOriginalTrianglesOfANodeThatPlacesItself)
{
    TestPart part;
    const unsigned n = part.AddNode("loop.dat");
    part.AddUnitTriangle(n, 16);
    part.AddUnitTriangle(n, 2, Vector3(0, 0, 1));
    part.Place(n, static_cast<int>(n), 5, Translation(0, 0, 10));
    part.MergeGeometry(n, 0, false);
    const LEGOPolyMesh& mesh = part.nodes[n].mesh;
    EXPECT_EQ(FaceColors(mesh), (std::vector<int>{16, 2, 5, 2}));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(3, 0), Vector3(0, 0, 11)));
    part.MergeGeometry(n, 1, false);  // no such reference
    part.MergeGeometry(9, 0, false);  // no such node
    EXPECT_EQ(mesh.GetPolygonCount(), 4u);
}

TEST(FlattenToParts, InheritsTheColourThroughTwoLevels)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("3001.dat");
    const unsigned sub = part.AddNode("s/3001s01.dat", NodeKind::Subpart);
    const unsigned prim = part.AddNode("box.dat", NodeKind::Primitive);
    part.Place(root, static_cast<int>(brick), 1);
    part.Place(brick, static_cast<int>(sub), 4, Translation(0, 5, 0));
    part.Place(sub, static_cast<int>(prim), 16, Translation(1, 0, 0));
    part.AddUnitTriangle(prim, 16);
    part.AddUnitTriangle(prim, 24, Vector3(0, 0, 3));
    part.AddUnitTriangle(sub, 0);

    part.FlattenToParts(false);
    const LEGOPolyMesh& mesh = part.nodes[brick].mesh;
    EXPECT_EQ(FaceColors(mesh), (std::vector<int>{0, 4, 12}));
    EXPECT_TRUE(SameVector(mesh.GetPolygonVertex(1, 0), Vector3(1, 5, 0)));
    EXPECT_EQ(part.nodes[brick].children[0].node, -1);
    // The root's placement is not merged: the part stays a part.
    EXPECT_EQ(part.nodes[root].children[0].node, static_cast<int>(brick));
    EXPECT_EQ(part.nodes[root].mesh.GetPolygonCount(), 0u);
    for (const unsigned gone : {sub, prim})
    {
        EXPECT_EQ(part.nodes[gone].kind, NodeKind::Deleted);
        EXPECT_EQ(part.nodes[gone].name, "<Deleted by FlattenNode>");
        EXPECT_EQ(part.nodes[gone].note, "<Deleted by FlattenNode>");
        EXPECT_EQ(part.nodes[gone].mesh.GetPolygonCount(), 0u);
        EXPECT_TRUE(part.nodes[gone].children.empty());
    }
}

TEST(FlattenToParts, MergesASharedPrimitiveIntoEveryPartOnTheFirstPass)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned a = part.AddNode("a.dat");
    const unsigned b = part.AddNode("b.dat");
    const unsigned stud = part.AddNode("stud.dat", NodeKind::Primitive);
    part.AddUnitTriangle(stud, 16);
    part.Place(root, static_cast<int>(a), 1);
    part.Place(root, static_cast<int>(b), 2);
    part.Place(root, static_cast<int>(stud), 3);  // the root uses it too
    part.Place(b, static_cast<int>(stud), 5, Translation(0, 0, 2));
    part.Place(a, static_cast<int>(stud), 4);
    part.Place(a, static_cast<int>(stud), 16, Translation(0, 0, 1));  // placed twice

    part.FlattenToParts(false);
    // Merges run in node order: root, then a, then b.
    EXPECT_EQ(FaceColors(part.nodes[root].mesh), (std::vector<int>{3}));
    EXPECT_EQ(FaceColors(part.nodes[a].mesh), (std::vector<int>{4, 16}));
    EXPECT_TRUE(SameVector(part.nodes[a].mesh.GetPolygonVertex(1, 0), Vector3(0, 0, 1)));
    EXPECT_EQ(FaceColors(part.nodes[b].mesh), (std::vector<int>{5}));
    EXPECT_TRUE(SameVector(part.nodes[b].mesh.GetPolygonVertex(0, 0), Vector3(0, 0, 2)));
    EXPECT_EQ(part.nodes[root].children[2].node, -1);
    EXPECT_EQ(part.nodes[root].children[0].node, static_cast<int>(a));
    EXPECT_EQ(part.nodes[stud].kind, NodeKind::Deleted);
}

TEST(FlattenNode, IgnoresDeletedNodesMinusOneAndCycles)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned a = part.AddNode("a.dat");
    const unsigned b = part.AddNode("b.dat");
    part.AddUnitTriangle(a, 1);
    part.AddUnitTriangle(b, 2);
    part.Place(root, static_cast<int>(a), 16);
    part.Place(a, static_cast<int>(b), 16);
    part.Place(b, static_cast<int>(a), 16);  // a cycle
    part.Place(b, static_cast<int>(b), 16);  // and a self-reference
    TestPart before = part;
    part.FlattenNode(0xFFFFFFFFu, false);
    part.FlattenNode(99, false);
    EXPECT_TRUE(TreesMatch(before, part));

    // b merges into a, then into itself, and retires before a's turn, so a's
    // merge back into b finds nothing.
    part.FlattenNode(a, false);
    EXPECT_EQ(FaceColors(part.nodes[root].mesh), (std::vector<int>{1, 2}));
    EXPECT_EQ(part.nodes[a].kind, NodeKind::Deleted);
    EXPECT_EQ(part.nodes[b].kind, NodeKind::Deleted);
    before = part;
    part.FlattenNode(a, false);
    EXPECT_TRUE(TreesMatch(before, part));
}

TEST(FlattenToParts, ASelfReferenceAndACycleBelowAPartMergeInTheOrderOfTheScan)
{
    // Part p places a, a places b and itself, b places a and c; c is shared
    // with the part q, so it is read by several nodes at different times.
    ReferencePart expected;
    const unsigned root = expected.AddNode("model.ldr", NodeKind::Model);
    const unsigned p = expected.AddNode("p.dat", NodeKind::Part);
    const unsigned q = expected.AddNode("q.dat", NodeKind::Part);
    const unsigned a = expected.AddNode("a.dat");
    const unsigned b = expected.AddNode("b.dat");
    const unsigned c = expected.AddNode("c.dat");
    const unsigned nodes[] = {p, q, a, b, c};
    for (int k = 0; k < 5; ++k)
        expected.AddUnitTriangle(nodes[k], k + 1, Vector3(k, 0, 0));
    expected.Place(root, static_cast<int>(p), 16);
    expected.Place(root, static_cast<int>(q), 4);
    expected.Place(p, static_cast<int>(a), 16);
    expected.Place(a, static_cast<int>(b), 2, QuarterTurnAboutY());
    expected.Place(a, static_cast<int>(a), 16);
    expected.Place(b, static_cast<int>(a), 16);
    expected.Place(b, static_cast<int>(c), 24);
    expected.Place(q, static_cast<int>(c), 16);
    ReferencePart actual = expected;
    expected.RefFlattenToParts(false);
    actual.FlattenToParts(false);
    EXPECT_TRUE(TreesMatch(expected, actual));
}

TEST(RemoveNode, ErasesEveryReferenceAndRenumbersTheRest)
{
    TestPart part;
    for (int i = 0; i < 5; ++i)
        part.AddNode("n" + std::to_string(i));
    part.Place(0, 2, 1);
    part.Place(0, 3, 2);
    part.Place(0, 2, 3);
    part.Place(0, -1, 4);
    part.Place(4, 2, 5);
    part.Place(4, 1, 6);
    part.Place(4, 4, 7);
    part.Place(3, 7, 8);  // past the end: drops like any higher index

    const TestPart same = part;
    part.RemoveNode(5);
    part.RemoveNode(0xFFFFFFFFu);
    EXPECT_TRUE(TreesMatch(same, part));

    part.RemoveNode(2);
    ASSERT_EQ(part.GetNodeCount(), 4u);
    EXPECT_EQ(part.nodes[2].name, "n3");
    auto targets = [&](unsigned n)
    {
        std::vector<std::pair<int, int>> list;
        for (const _LegoInstance& c : part.nodes[n].children)
            list.emplace_back(c.node, c.color);
        return list;
    };
    EXPECT_EQ(targets(0), (std::vector<std::pair<int, int>>{{2, 2}, {-1, 4}}));
    EXPECT_EQ(targets(3), (std::vector<std::pair<int, int>>{{1, 6}, {3, 7}}));
    EXPECT_EQ(targets(2), (std::vector<std::pair<int, int>>{{6, 8}}));
}

TEST(RemoveNode, MatchesErasingOneNodeAtATime)
{
    for (unsigned seed = 1; seed <= 40; ++seed)
    {
        ReferencePart expected;
        BuildRandomTree(expected, seed, 12 + seed % 9, seed % 3);
        expected.Place(1, 40, 16);  // past the end
        ReferencePart actual = expected;
        std::mt19937 random(seed);
        for (int step = 0; step < 4; ++step)
        {
            const unsigned victim = static_cast<unsigned>(random() % (expected.GetNodeCount() + 1));
            expected.RefRemoveNode(victim);
            actual.RemoveNode(victim);
            ASSERT_TRUE(TreesMatch(expected, actual)) << "seed " << seed << " step " << step;
        }
    }
}

TEST(ScaleNode, ScalesVerticesAndOnlyTheTranslationsOfReferences)
{
    TestPart part;
    const unsigned n = part.AddNode("n");
    part.AddUnitTriangle(n, 4, Vector3(1, 2, 3));
    Matrix4x4 placement = QuarterTurnAboutY();
    placement.m[3] = 4;
    placement.m[7] = -6;
    placement.m[11] = 8;
    part.Place(n, 0, 16, placement);
    const TestPart original = part;

    part.ScaleNode(n, 1.0, true);
    EXPECT_TRUE(TreesMatch(original, part));
    part.ScaleNode(n, 0.5, false);
    EXPECT_TRUE(SameMatrix(part.nodes[n].children[0].transform, placement));
    EXPECT_TRUE(SameVector(part.nodes[n].mesh.GetVertex(0), Vector3(0.5, 1, 1.5)));
    part.ScaleNode(n, 2.0, true);
    Matrix4x4 scaled = placement;
    scaled.m[3] = 8;
    scaled.m[7] = -12;
    scaled.m[11] = 16;
    EXPECT_TRUE(SameMatrix(part.nodes[n].children[0].transform, scaled));
    EXPECT_TRUE(SameVector(part.nodes[n].mesh.GetVertex(1), Vector3(2, 2, 3)));
    part.ScaleNode(7, 2.0, true);  // no such node: nothing happens
}

TEST(Flattening, MatchesTheRecursiveScanOnRandomTrees)
{
    for (unsigned seed = 1; seed <= 150; ++seed)
    {
        ReferencePart expected;
        BuildRandomTree(expected, seed, 6 + seed % 30, seed % 5 == 0 ? 1 + seed % 3 : 0);
        for (unsigned n = 0; n < expected.GetNodeCount(); ++n)
            if (expected.nodes[n].mesh.GetPolygonCount() > 0)
                expected.nodes[n].mesh.CreateNormals(false);
        ReferencePart actual = expected;
        const bool copyNormals = seed % 2 == 0;
        if (seed % 3 == 0)
        {
            // Single calls in a random order, each building its own index.
            std::mt19937 random(seed);
            for (int step = 0; step < 6; ++step)
            {
                const unsigned n = static_cast<unsigned>(random() % expected.GetNodeCount());
                expected.RefFlattenNode(n, copyNormals);
                actual.FlattenNode(n, copyNormals);
            }
        }
        else
        {
            expected.RefFlattenToParts(copyNormals);
            actual.FlattenToParts(copyNormals);
        }
        ASSERT_TRUE(TreesMatch(expected, actual)) << "seed " << seed;
    }
}

// Meshes large enough to be merged many vertices at once, with vertex pairs
// just over the merge distance apart that a shrinking placement brings
// together, and a parent whose own corners lie on or near placed ones: the
// merge must still be the one corner by corner, at every level and for every
// job count.
TEST(Flattening, LargeMergesMatchTheCornerByCornerMerge)
{
    Matrix4x4 shrink;  // slightly smaller, rotated a little about z
    const double c = std::cos(0.3) * 0.999999, s = std::sin(0.3) * 0.999999;
    shrink.m[0] = c, shrink.m[1] = -s, shrink.m[4] = s, shrink.m[5] = c, shrink.m[10] = 0.999999;
    Matrix4x4 turn = treebuild::Translation(7.25, -3, 11);
    turn.m[0] = 0.6, turn.m[2] = 0.8, turn.m[8] = -0.8, turn.m[10] = 0.6;
    Matrix4x4 mirror = treebuild::QuarterTurnAboutY();
    mirror.m[3] = -40, mirror.m[7] = 2, mirror.m[11] = 0.5, mirror.m[5] = -1;

    for (const unsigned jobs : {1u, 2u})
    {
        Parallel::SetJobs(jobs);
        ReferencePart expected;
        const unsigned root = expected.AddNode("model.ldr", NodeKind::Model);
        const unsigned top = expected.AddNode("top");
        const unsigned mid = expected.AddNode("mid");
        const unsigned leaf = expected.AddNode("leaf");
        expected.Place(root, top, 4);
        // A 40 x 40 lattice of triangles, every fifth with a twin corner 1.00000001e-6 away.
        for (int i = 0; i < 40; ++i)
            for (int j = 0; j < 40; ++j)
            {
                const Vector3 a(i, j, 0), b(i + 1, j, 0.5), d(i, j + 1, 0.25);
                expected.AddTriangle(leaf, a, b, d, 16);
                expected.AddTriangle(leaf, b, Vector3(i + 1, j + 1, 0), d, 24);
                if ((i + j) % 5 == 0)
                    expected.AddTriangle(leaf, Vector3(i + 1.00000001e-6, j, 0), d,
                                         Vector3(i, j + 0.5, 3), 16);
            }
        ASSERT_FALSE(expected.nodes[leaf].mesh.CloseVertexPairs().empty());
        expected.Place(mid, leaf, 16, shrink);
        expected.AddTriangle(mid, Vector3(0, 0, 9), Vector3(1, 0, 9), Vector3(0, 1, 9), 2);
        // The top's own corners: one on a placed corner, one just beside another.
        const Vector3 onCorner = turn * (shrink * Vector3(3, 4, 0));
        const Vector3 beside = turn * (shrink * Vector3(5, 5, 0)) + Vector3(0, 1.03e-6, 0);
        expected.AddTriangle(top, onCorner, beside, Vector3(-9, -9, -9), 1);
        expected.Place(top, mid, 16, turn);
        expected.Place(top, mid, 14, mirror);
        expected.Place(top, leaf, 16, turn);

        // The shrinking placement merges each twin with its lattice corner.
        ReferencePart probe = expected;
        probe.RefMerge(mid, 0, false);
        EXPECT_LT(probe.nodes[mid].mesh.GetVertexCount(),
                  3 + expected.nodes[leaf].mesh.GetVertexCount());

        ReferencePart actual = expected;
        expected.RefFlattenToParts(false);
        actual.FlattenToParts(false);
        ASSERT_TRUE(TreesMatch(expected, actual)) << jobs << " jobs";
    }
    Parallel::SetJobs(0);
}

// The order check, on every job and across its runs of triangles, against
// the corner by corner count it stands for: a corner one past the highest
// vertex named before, in a later run than that vertex, is in order; two
// past is not, nor is a vertex no corner names.
TEST(Flattening, TellsWhetherVerticesAreNumberedInFirstUseOrder)
{
    const auto countedInOrder = [](const PolyMesh& mesh)
    {
        unsigned seen = 0;
        for (unsigned i = 0; i < mesh.GetPolygonCount(); ++i)
            for (unsigned k = 0; k < 3; ++k)
            {
                const unsigned v = mesh.GetPolygonVertexIndex(i, k);
                if (v > seen)
                    return false;
                seen += v == seen ? 1 : 0;
            }
        return seen == mesh.GetVertexCount();
    };
    // A strip: triangle i names i, i + 1 and i + 2; one corner changed.
    constexpr unsigned kTriangles = 200000;
    const auto strip = [](unsigned changed, unsigned to, unsigned extraVertices)
    {
        PolyMesh mesh;
        for (unsigned v = 0; v < kTriangles + 2 + extraVertices; ++v)
            mesh.AddVertexApart(Vector3(v, 0, 0));
        for (unsigned i = 0; i < kTriangles; ++i)
        {
            unsigned corners[3] = {i, i + 1, i + 2};
            if (i == changed)
                corners[2] = to;
            mesh.AddPolygonOnVertices(3, corners);
        }
        return mesh;
    };
    for (const unsigned jobs : {1u, 2u, 3u})
    {
        Parallel::SetJobs(jobs);
        // Triangle 65536 starts the second run.
        for (const auto& [changed, to, extra] :
             std::vector<std::tuple<unsigned, unsigned, unsigned>>{{0, 2, 0},
                                                                   {65536, 65538, 0},
                                                                   {65536, 65539, 0},
                                                                   {65535, 65538, 0},
                                                                   {131072, 5, 0},
                                                                   {199999, 200001, 1},
                                                                   {0, 2, 1}})
        {
            const PolyMesh mesh = strip(changed, to, extra);
            EXPECT_EQ(cleaning::IsInFirstUseOrder(mesh), countedInOrder(mesh))
                << jobs << " jobs, triangle " << changed << " names " << to;
        }
    }
    Parallel::SetJobs(0);
}

// A large merge skips the lookups of placed corners far from every vertex of
// the target, judged on a coarse map of the target; a corner just across a
// border of that map from a target vertex, within the merge distance or just
// beyond it, must still be found.
TEST(Flattening, LargeMergesFindTargetVerticesAcrossTheCoarseMap)
{
    ReferencePart expected;
    const unsigned root = expected.AddNode("model.ldr", NodeKind::Model);
    const unsigned top = expected.AddNode("top");
    const unsigned leaf = expected.AddNode("leaf");
    expected.Place(root, top, 4);
    // The target spans [0, 64] on every axis: its map's cells are 1 wide.
    expected.AddTriangle(top, Vector3(10 - 4e-7, 5.5, 5.5), Vector3(64, 0, 0), Vector3(0, 64, 64),
                         1);
    expected.AddTriangle(top, Vector3(20 - 5e-7, 7.5, 7.5), Vector3(64, 0, 0), Vector3(0, 64, 64),
                         1);
    for (int i = 0; i < 33; ++i)
        for (int j = 0; j < 33; ++j)
        {
            const Vector3 a(30 + i, j, 20), b(31 + i, j, 20), d(30 + i, j + 1, 20);
            expected.AddTriangle(leaf, a, b, d, 16);
            expected.AddTriangle(leaf, b, Vector3(31 + i, j + 1, 20), d, 16);
        }
    expected.AddTriangle(leaf, Vector3(10 + 4e-7, 5.5, 5.5), Vector3(20 + 5.3e-7, 7.5, 7.5),
                         Vector3(3, 3, 40), 16);
    expected.Place(top, leaf, 16);
    ReferencePart actual = expected;
    expected.RefFlattenToParts(false);
    actual.FlattenToParts(false);
    ASSERT_TRUE(TreesMatch(expected, actual));
}

TEST(Flattening, PlacedSeparationBoundsHowCloseAPlacementBringsPoints)
{
    const Vector3 extent(100, 100, 100);
    const double apart = 1.05e-6;
    const double turned = cleaning::PlacedSeparation(treebuild::QuarterTurnAboutY(), apart, extent);
    EXPECT_GT(turned, apart * (1 - 1e-6));
    EXPECT_LE(turned, apart);
    Matrix4x4 half;
    half.m[0] = 0.5, half.m[5] = 2, half.m[10] = 1;
    EXPECT_LE(cleaning::PlacedSeparation(half, apart, extent), apart * 0.5);
    EXPECT_GT(cleaning::PlacedSeparation(half, apart, extent), apart * 0.5 * (1 - 1e-6));
    Matrix4x4 flat;
    flat.m[10] = 0;  // squashes z away
    EXPECT_EQ(cleaning::PlacedSeparation(flat, apart, extent), 0.0);
    // Far from the origin rounding alone moves points by more than the gap.
    EXPECT_EQ(cleaning::PlacedSeparation(treebuild::Translation(1e12, 0, 0), apart, extent), 0.0);
    EXPECT_EQ(cleaning::PlacedSeparation(Matrix4x4(), apart, Vector3(1e12, 0, 0)), 0.0);
}

}  // namespace
