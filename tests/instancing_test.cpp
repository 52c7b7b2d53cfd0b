#include "clean/instancing.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

#include "model/parallel.h"
#include "tests/clean_support.h"

namespace
{

// The model places part P directly and sub-model S twice in red (4); S
// places P through 16 and in blue (1). P has a face of 16 and places a
// primitive Q (through 16) with a face of 24 and one of green (2).
struct ExampleTree
{
    TestPart tree;
    unsigned model, sub, part, primitive;
    ExampleTree()
    {
        model = tree.AddNode("model.ldr", NodeKind::Model);
        sub = tree.AddNode("sub.ldr", NodeKind::Model);
        part = tree.AddNode("p.dat", NodeKind::Part);
        primitive = tree.AddNode("q.dat", NodeKind::Primitive);
        tree.AddUnitTriangle(part, LDrawColor::Main);
        tree.Place(part, static_cast<int>(primitive), LDrawColor::Main, Translation(0, 0, 5));
        tree.AddUnitTriangle(primitive, LDrawColor::Edge);
        tree.AddUnitTriangle(primitive, 2, Vector3(3, 0, 0));
        tree.Place(model, static_cast<int>(part), LDrawColor::Main);
        tree.Place(model, static_cast<int>(sub), 4, Translation(10, 0, 0));
        tree.Place(model, static_cast<int>(sub), 4, Translation(20, 0, 0));
        tree.Place(sub, static_cast<int>(part), LDrawColor::Main);
        tree.Place(sub, static_cast<int>(part), 1, QuarterTurnAboutY());
    }
};

std::vector<int> PrimitiveColors(const SceneMesh& mesh)
{
    std::vector<int> colors;
    colors.reserve(mesh.primitives.size());
    for (const SceneMesh::Primitive& primitive : mesh.primitives)
        colors.push_back(primitive.color);
    return colors;
}

TEST(InstancedSceneTest, SubModelsStayNodesAndPartsShareOneMeshPerColour)
{
    const ExampleTree example;
    const TestPart before = example.tree;
    const InstancedScene scene = BuildInstancedScene(example.tree);
    EXPECT_TRUE(TreesMatch(before, example.tree));

    // Model, P, two S, two P under each S.
    ASSERT_EQ(scene.nodes.size(), 8u);
    EXPECT_EQ(CountScenePlacements(example.tree), 8u);
    const SceneNode& root = scene.nodes[0];
    EXPECT_EQ(root.name, "model.ldr");
    EXPECT_EQ(root.mesh, -1);
    ASSERT_EQ(root.children.size(), 3u);
    const SceneNode& directPart = scene.nodes[static_cast<std::size_t>(root.children[0])];
    const SceneNode& firstSub = scene.nodes[static_cast<std::size_t>(root.children[1])];
    const SceneNode& secondSub = scene.nodes[static_cast<std::size_t>(root.children[2])];
    EXPECT_EQ(firstSub.name, "sub.ldr");
    EXPECT_EQ(firstSub.mesh, -1);
    EXPECT_EQ(firstSub.transform.m[3], 10.0);
    ASSERT_EQ(firstSub.children.size(), 2u);
    ASSERT_EQ(secondSub.children.size(), 2u);

    // P at the top in 16, in each S in red (inherited) and in blue: three
    // meshes, the two S sharing theirs.
    ASSERT_EQ(scene.meshes.size(), 3u);
    for (std::size_t k = 0; k < 2; ++k)
        EXPECT_EQ(scene.nodes[static_cast<std::size_t>(firstSub.children[k])].mesh,
                  scene.nodes[static_cast<std::size_t>(secondSub.children[k])].mesh);
    const SceneNode& redPart = scene.nodes[static_cast<std::size_t>(firstSub.children[0])];
    const SceneNode& bluePart = scene.nodes[static_cast<std::size_t>(firstSub.children[1])];
    EXPECT_EQ(redPart.color, 4);
    EXPECT_EQ(bluePart.color, 1);
    EXPECT_TRUE(SameMatrix(bluePart.transform, QuarterTurnAboutY()));

    // 16 takes the placement colour, 24 its edge colour, others stay.
    const SceneMesh& red = scene.meshes[static_cast<std::size_t>(redPart.mesh)];
    EXPECT_EQ(red.name, "p.dat");
    EXPECT_EQ(PrimitiveColors(red), (std::vector<int>{2, 4, 12}));
    EXPECT_EQ(PrimitiveColors(scene.meshes[static_cast<std::size_t>(bluePart.mesh)]),
              (std::vector<int>{1, 2, 9}));
    EXPECT_EQ(PrimitiveColors(scene.meshes[static_cast<std::size_t>(directPart.mesh)]),
              (std::vector<int>{2, 16, 24}));
    EXPECT_EQ(CountPlacedTriangles(scene), 5u * 3u);

    // The primitive is placed into P's coordinates.
    float maxZ = 0.0f;
    for (std::size_t i = 2; i < red.positions.size(); i += 3)
        maxZ = std::max(maxZ, red.positions[i]);
    EXPECT_EQ(maxZ, 5.0f);
}

TEST(InstancedSceneTest, VerticesSplitWhereNormalsDifferAndNormalsAreUnit)
{
    TestPart tree;
    const unsigned model = tree.AddNode("m.ldr", NodeKind::Model);
    const unsigned part = tree.AddNode("fold.dat");
    // A flat square of two triangles, and one triangle folded up by 90
    // degrees along the square's far edge: the edge's two vertices split.
    tree.AddTriangle(part, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(1, 1, 0), 4);
    tree.AddTriangle(part, Vector3(0, 0, 0), Vector3(1, 1, 0), Vector3(0, 1, 0), 4);
    tree.AddTriangle(part, Vector3(0, 1, 0), Vector3(1, 1, 0), Vector3(0.5, 1, 1), 4);
    tree.Place(model, static_cast<int>(part), 16);
    const InstancedScene scene = BuildInstancedScene(tree);
    ASSERT_EQ(scene.meshes.size(), 1u);
    const SceneMesh& mesh = scene.meshes[0];
    EXPECT_EQ(mesh.positions.size(), 3u * 7u);
    ASSERT_EQ(mesh.normals.size(), mesh.positions.size());
    for (std::size_t i = 0; i < mesh.normals.size(); i += 3)
    {
        const double length = std::sqrt(mesh.normals[i] * mesh.normals[i] +
                                        mesh.normals[i + 1] * mesh.normals[i + 1] +
                                        mesh.normals[i + 2] * mesh.normals[i + 2]);
        EXPECT_NEAR(length, 1.0, 1e-6);
    }
}

TEST(InstancedSceneTest, CyclesAndEmptyPartsLeaveNoNodesOrMeshesBehind)
{
    TestPart tree;
    const unsigned model = tree.AddNode("m.mpd", NodeKind::Model);
    const unsigned section = tree.AddNode("a.ldr", NodeKind::Model);
    const unsigned empty = tree.AddNode("empty.dat");
    const unsigned loop = tree.AddNode("loop.dat");
    tree.AddUnitTriangle(loop, 7);
    tree.AddUnitTriangle(section, 16);  // a sub-model's own triangle
    tree.Place(loop, static_cast<int>(loop), 16);
    tree.Place(model, static_cast<int>(section), 3);
    tree.Place(section, static_cast<int>(model), 16);
    tree.Place(section, static_cast<int>(empty), 16);
    tree.Place(section, static_cast<int>(loop), 16);
    const InstancedScene scene = BuildInstancedScene(tree);
    // Model, section (with its own mesh), the empty part, the loop part.
    ASSERT_EQ(scene.nodes.size(), 4u);
    EXPECT_EQ(scene.nodes[1].mesh, 0);
    EXPECT_EQ(PrimitiveColors(scene.meshes[0]), (std::vector<int>{3}));
    EXPECT_EQ(scene.nodes[2].mesh, -1);
    EXPECT_EQ(scene.meshes.size(), 2u);
    EXPECT_EQ(CountPlacedTriangles(scene), 2u);
}

// Parts are merged a height at a time on every job. Two parts that place
// each other: the one reached first takes the other in, the other is left
// without it, as when they are merged one by one. A chain P -> Q -> R with
// R placed by P too gives three heights, the parts of one height side by side.
TEST(InstancedSceneTest, LibraryPartsMergeTheSameOnEveryJobCountAndCyclesStayOpen)
{
    TestPart tree;
    const unsigned model = tree.AddNode("m.ldr", NodeKind::Model);
    const unsigned x = tree.AddNode("x.dat");
    const unsigned y = tree.AddNode("y.dat");
    const unsigned p = tree.AddNode("p.dat");
    const unsigned q = tree.AddNode("q.dat");
    const unsigned r = tree.AddNode("r.dat", NodeKind::Primitive);
    tree.AddUnitTriangle(x, 1);
    tree.AddUnitTriangle(y, 2);
    tree.Place(x, static_cast<int>(y), 16, Translation(0, 0, 1));
    tree.Place(y, static_cast<int>(x), 16, Translation(0, 0, 2));
    tree.AddUnitTriangle(p, 3);
    tree.AddUnitTriangle(q, 4, Vector3(5, 0, 0));
    tree.AddUnitTriangle(r, 16, Vector3(0, 5, 0));
    tree.Place(p, static_cast<int>(q), 16, Translation(0, 0, 3));
    tree.Place(q, static_cast<int>(r), 6, Translation(0, 0, 4));
    tree.Place(p, static_cast<int>(r), 16, Translation(0, 0, 5));
    for (const unsigned part : {x, y, p})
        tree.Place(model, static_cast<int>(part), 7);

    std::vector<std::vector<float>> positions;
    for (const unsigned jobs : {1u, 2u, 4u})
    {
        Parallel::SetJobs(jobs);
        const InstancedScene scene = BuildInstancedScene(tree);
        ASSERT_EQ(scene.meshes.size(), 3u);
        // x with y in it; y alone; p with q (and r in it) and r.
        EXPECT_EQ(PrimitiveColors(scene.meshes[0]), (std::vector<int>{1, 2}));
        EXPECT_EQ(PrimitiveColors(scene.meshes[1]), (std::vector<int>{2}));
        EXPECT_EQ(PrimitiveColors(scene.meshes[2]), (std::vector<int>{3, 4, 6, 7}));
        EXPECT_EQ(CountPlacedTriangles(scene), 7u);
        std::vector<float> all;
        for (const SceneMesh& mesh : scene.meshes)
            all.insert(all.end(), mesh.positions.begin(), mesh.positions.end());
        positions.push_back(all);
    }
    Parallel::SetJobs(0);
    EXPECT_EQ(positions[1], positions[0]);
    EXPECT_EQ(positions[2], positions[0]);
}

}  // namespace

namespace
{

TEST(InstancedSceneTest, MatricesThatAreNoTrsAreBakedIntoTheirMeshes)
{
    TestPart tree;
    const unsigned model = tree.AddNode("m.mpd", NodeKind::Model);
    const unsigned section = tree.AddNode("s.ldr", NodeKind::Model);
    const unsigned part = tree.AddNode("p.dat");
    tree.AddUnitTriangle(part, 4);
    Matrix4x4 flat;  // y flattened to nothing
    flat.m[5] = 0.0;
    flat.m[3] = 2.0;
    tree.Place(model, static_cast<int>(section), 16, flat);
    tree.Place(section, static_cast<int>(part), 16, Translation(0, 5, 0));
    tree.Place(model, static_cast<int>(part), 16, QuarterTurnAboutY());
    const InstancedScene scene = BuildInstancedScene(tree);
    ASSERT_EQ(scene.nodes.size(), 4u);
    // The section keeps no matrix; its part takes both, in a mesh of its own.
    EXPECT_TRUE(SameMatrix(scene.nodes[1].transform, Matrix4x4()));
    const SceneNode& flattened = scene.nodes[2];
    EXPECT_TRUE(SameMatrix(flattened.transform, Matrix4x4()));
    EXPECT_TRUE(SameMatrix(scene.nodes[3].transform, QuarterTurnAboutY()));
    ASSERT_EQ(scene.meshes.size(), 2u);
    const SceneMesh& baked = scene.meshes[static_cast<std::size_t>(flattened.mesh)];
    for (std::size_t i = 0; i < baked.positions.size(); i += 3)
    {
        EXPECT_GE(baked.positions[i], 2.0f);
        EXPECT_EQ(baked.positions[i + 1], 0.0f);
    }
}

}  // namespace
