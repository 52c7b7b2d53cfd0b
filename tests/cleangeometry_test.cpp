#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

#include "output/writetriset.h"
#include "tests/clean_reference.h"
#include "tests/clean_support.h"
#include "tests/temp_folder.h"

namespace
{

std::vector<std::string> Names(const LegoPart& part)
{
    std::vector<std::string> names;
    for (unsigned n = 0; n < part.GetNodeCount(); ++n)
        names.push_back(part.GetNode(n)->name);
    return names;
}

LegoPart::clean_t DriverOptions()
{
    return LegoPart::clean_t();
}

TEST(CleanGeometry, PrunesEmptyNodesInOneScan)
{
    TestPart part;
    part.AddNode("model.ldr", NodeKind::Model);
    part.AddNode("behind");  // 1: loses its only child later, but stays
    part.AddNode("leafA");   // 2, 3: two empty leaves side by side
    part.AddNode("leafB");
    part.AddNode("ahead");  // 4: loses its only child before the scan reaches it
    part.AddNode("part");   // 5
    part.Place(0, 1, 16);
    part.Place(0, 5, 4);
    part.Place(1, 3, 16);
    part.Place(4, 2, 16);
    part.AddUnitTriangle(5, 16);

    part.CleanGeometry(DriverOptions());
    EXPECT_EQ(Names(part),
              (std::vector<std::string>{"model.ldr", "behind", "part", "behind_bounding_box",
                                        "part_bounding_box", "Bounding Boxes"}));

    // A root with nothing at all goes too, and the box node takes its place.
    TestPart empty;
    empty.AddNode("model.ldr", NodeKind::Model);
    empty.CleanGeometry(DriverOptions());
    EXPECT_EQ(Names(empty), (std::vector<std::string>{"Bounding Boxes"}));
    EXPECT_TRUE(empty.nodes[0].children.empty());
}

TEST(CleanGeometry, BuildsWholeScaledSingleColouredParts)
{
    TestPart part;
    const unsigned root = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("3001.dat");
    const unsigned stud = part.AddNode("stud.dat", NodeKind::Primitive);
    const unsigned logo = part.AddNode("logo.dat", NodeKind::Primitive);
    part.Place(root, static_cast<int>(brick), 4, Translation(0, 0, 20));
    part.Place(root, static_cast<int>(brick), 1, Translation(40, 0, 0));
    part.Place(brick, static_cast<int>(stud), 16, Translation(10, 0, 0));
    part.Place(brick, static_cast<int>(stud), 16, Translation(30, 0, 0));
    part.Place(stud, static_cast<int>(logo), 0);
    part.AddUnitTriangle(brick, 16);
    part.AddTriangle(stud, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 0, 1), 16);
    part.AddUnitTriangle(logo, 16, Vector3(0, 0, 2));

    part.CleanGeometry(DriverOptions());
    EXPECT_EQ(Names(part), (std::vector<std::string>{
                               "model.ldr", "3001.dat", "<Deleted by FlattenNode>",
                               "<Deleted by FlattenNode>", "3001.dat_color_0", "3001.dat_color_16",
                               "3001.dat_bounding_box", "Bounding Boxes"}));
    const _LegoNode& whole = part.nodes[brick];
    EXPECT_EQ(whole.mesh.GetPolygonCount(), 0u);
    ASSERT_EQ(whole.children.size(), 2u);  // the merged references are gone
    EXPECT_EQ(whole.children[0].node, 4);
    EXPECT_EQ(whole.children[1].node, 5);
    // The brick's own face and two studs in 16, two logos in 0, all scaled.
    const double s = 0.05;
    const _LegoNode& main = part.nodes[5];
    ASSERT_EQ(main.mesh.GetPolygonCount(), 3u);
    EXPECT_TRUE(SameVector(main.boxMax, Vector3(31 * s, 1 * s, 1 * s)));
    EXPECT_TRUE(SameVector(main.boxMin, Vector3(0, 0, 0)));
    EXPECT_EQ(part.nodes[4].mesh.GetPolygonCount(), 2u);
    EXPECT_TRUE(SameVector(part.nodes[4].boxMin, Vector3(10 * s, 0, 2 * s)));
    EXPECT_TRUE(SameVector(whole.boxMax, Vector3(31 * s, 1 * s, 2 * s)));
    // Normals were made after merging: the studs stand upright.
    EXPECT_EQ(std::abs(main.mesh.FaceNormal(1, 0).y), 1.0);
    EXPECT_EQ(std::abs(main.mesh.FaceNormal(2, 2).y), 1.0);
    // The root's placements are scaled; their rotations are not.
    EXPECT_EQ(part.nodes[root].children[0].transform.m[11], 20 * s);
    EXPECT_EQ(part.nodes[root].children[1].transform.m[3], 40 * s);
    EXPECT_EQ(part.nodes[root].children[1].transform.m[0], 1.0);
    EXPECT_EQ(part.nodes[7].children.size(), 2u);
}

TEST(CleanGeometry, OptionsSelectFlatteningAndScaling)
{
    auto build = [](TestPart& part)
    {
        part.AddNode("model.ldr", NodeKind::Model);
        part.AddNode("a.dat");
        part.AddNode("b.dat");
        part.Place(0, 1, 4, Translation(20, 0, 0));
        part.Place(1, 2, 16);
        part.AddUnitTriangle(0, 7);
        part.AddUnitTriangle(2, 16, Vector3(0, 0, 4));
    };
    LegoPart::clean_t options;
    options.flattenAll = true;
    TestPart all;
    build(all);
    all.CleanGeometry(options);
    // Everything sits in the root, which splits into its two colours.
    EXPECT_EQ(Names(all),
              (std::vector<std::string>{"model.ldr", "model.ldr_color_4", "model.ldr_color_7",
                                        "model.ldr_color_4_bounding_box",
                                        "model.ldr_color_7_bounding_box", "Bounding Boxes"}));
    EXPECT_TRUE(SameVector(all.nodes[1].boxMin, Vector3(20 * 0.05, 0, 4 * 0.05)));

    options = LegoPart::clean_t();
    options.scale = false;
    TestPart unscaled;
    build(unscaled);
    unscaled.CleanGeometry(options);
    EXPECT_TRUE(SameVector(unscaled.nodes[0].mesh.GetVertex(1), Vector3(1, 0, 0)));
    EXPECT_EQ(unscaled.nodes[0].children[0].transform.m[3], 20.0);

    options.boxFlag = true;
    options.scaleFactor = 0.5;
    TestPart boxFlag;
    build(boxFlag);
    boxFlag.CleanGeometry(options);
    EXPECT_TRUE(SameVector(boxFlag.nodes[0].mesh.GetVertex(1), Vector3(0.5, 0, 0)));
    EXPECT_EQ(boxFlag.nodes[0].children[0].transform.m[3], 10.0);
}

TEST(CleanGeometry, MatchesTheLiteralPipelineOnRandomTrees)
{
    for (unsigned seed = 1; seed <= 120; ++seed)
    {
        ReferencePart expected;
        BuildRandomTree(expected, seed, 4 + seed % 35, seed % 6 == 0 ? 1 + seed % 2 : 0);
        ReferencePart actual = expected;
        LegoPart::clean_t options;
        options.flattenAll = seed % 5 == 1;
        options.flattenToParts = seed % 7 != 3;
        options.smoothNormals = seed % 4 != 2;
        options.scale = seed % 9 != 4;
        expected.RefCleanGeometry(options);
        actual.CleanGeometry(options);
        ASSERT_TRUE(TreesMatch(expected, actual)) << "seed " << seed;

        // What the writer relies on: live references only, one colour a node.
        for (const _LegoNode& node : actual.nodes)
        {
            for (const _LegoInstance& instance : node.children)
                ASSERT_TRUE(instance.node >= 0 &&
                            static_cast<unsigned>(instance.node) < actual.GetNodeCount());
            std::set<int> colors;
            for (unsigned f = 0; f < node.mesh.GetPolygonCount(); ++f)
                colors.insert(node.mesh.FaceColor(f));
            ASSERT_LE(colors.size(), 1u) << "seed " << seed << " " << node.name;
        }
    }
}

// Cleaning, then writing, against writing while cleaning, batch by batch.
TEST(CleanGeometry, WritingWhileCleaningWritesTheSameFile)
{
    const TempFolder folder;
    const auto compare = [&](const TestPart& tree, const LegoPart::clean_t& options,
                             std::uint64_t batch, const std::string& name)
    {
        TestPart staged = tree;
        TestPart streamed = tree;
        staged.CleanGeometry(options);
        WriteTriset after;
        const bool isWritten =
            after.Write((folder / "after").c_str(), staged, staged.Colours(), true);
        WriteTriset during;
        ASSERT_EQ(during.WriteWhileCleaned(folder / "during", streamed.Colours()), &during);
        streamed.CleanGeometry(options, during, batch);
        EXPECT_EQ(during.IsWrittenWhileCleaned(), isWritten) << name;
        EXPECT_TRUE(ReadFile(folder / "after") == ReadFile(folder / "during")) << name;
        std::ostringstream counted, countedDuring;
        after.DumpStats(counted);
        during.DumpStats(countedDuring);
        EXPECT_EQ(counted.str(), countedDuring.str()) << name;
        std::filesystem::remove(folder / "during");
    };
    for (unsigned seed = 1; seed <= 60; ++seed)
    {
        TestPart tree;
        BuildRandomTree(tree, seed, 4 + seed % 35, seed % 6 == 0 ? 1 : 0);
        // A node of the model named like the boxes' node is written after the
        // parts, whether it is split or not.
        if (seed % 4 == 1)
            tree.nodes[1 + seed % (tree.GetNodeCount() - 1)].name = "bounding BOXES";
        LegoPart::clean_t options;
        options.flattenAll = seed % 5 == 1;
        options.smoothNormals = seed % 4 != 2;
        options.scale = seed % 9 != 4;
        compare(tree, options, 1 + seed % 7, "seed " + std::to_string(seed));
    }
    // A root split by colour; nothing left at all.
    TestPart root;
    root.AddNode("model.ldr", NodeKind::Model);
    root.AddUnitTriangle(0, 4);
    root.AddUnitTriangle(0, 1, Vector3(0, 0, 1));
    compare(root, LegoPart::clean_t(), 1, "root");
    TestPart empty;
    empty.AddNode("model.ldr", NodeKind::Model);
    compare(empty, LegoPart::clean_t(), 1, "empty");
}

// Hostile shapes that the one-at-a-time algorithms handle in quadratic time or
// with recursion as deep as the tree.
constexpr unsigned kLongChain = 100000;

TEST(CleanGeometryAtScale, FlattensAChainOfNestedFilesWithoutDeepRecursion)
{
    TestPart part;
    part.AddNode("model.ldr", NodeKind::Model);
    for (unsigned i = 1; i <= kLongChain; ++i)
    {
        part.AddNode("s" + std::to_string(i) + ".dat", NodeKind::Subpart);
        part.Place(i - 1, static_cast<int>(i), i == 1 ? 4 : 16, Translation(1, 0, 0));
    }
    part.AddUnitTriangle(kLongChain, 16);

    part.CleanGeometry(DriverOptions());
    ASSERT_EQ(part.GetNodeCount(), kLongChain + 3);
    const LEGOPolyMesh& mesh = part.nodes[1].mesh;
    ASSERT_EQ(mesh.GetPolygonCount(), 1u);
    EXPECT_EQ(mesh.FaceColor(0), 16);
    EXPECT_DOUBLE_EQ(mesh.GetPolygonVertex(0, 0).x, (kLongChain - 1) * 0.05);
    EXPECT_EQ(part.nodes[kLongChain].kind, NodeKind::Deleted);
    EXPECT_EQ(part.nodes[kLongChain + 2].name, "Bounding Boxes");
}

TEST(CleanGeometryAtScale, PrunesACascadeOfEmptyNodesInOnePass)
{
    // The root places the top of a chain that runs down the indices to an
    // empty leaf at index 1: each removal empties the next node to be judged.
    TestPart part;
    part.AddNode("model.ldr", NodeKind::Model);
    for (unsigned i = 1; i <= kLongChain; ++i)
    {
        part.AddNode("c" + std::to_string(i));
        if (i > 1)
            part.Place(i, static_cast<int>(i - 1), 16);
    }
    part.Place(0, static_cast<int>(kLongChain), 16);
    const unsigned brick = part.AddNode("3001.dat");
    part.AddUnitTriangle(brick, 4);
    part.Place(0, static_cast<int>(brick), 16);

    part.CleanGeometry(DriverOptions());
    EXPECT_EQ(Names(part), (std::vector<std::string>{"model.ldr", "3001.dat",
                                                     "3001.dat_bounding_box", "Bounding Boxes"}));
    ASSERT_EQ(part.nodes[0].children.size(), 1u);
    EXPECT_EQ(part.nodes[0].children[0].node, 1);
}

TEST(CleanGeometryAtScale, BoxesAChainThatRunsDownTheIndices)
{
    TestPart part;
    part.AddNode("n0");
    part.AddUnitTriangle(0, 16);
    for (unsigned i = 1; i < kLongChain; ++i)
    {
        part.AddNode("n" + std::to_string(i));
        part.Place(i, static_cast<int>(i - 1), 16, Translation(1, 0, 0));
    }
    part.ComputeBoundingBoxes();
    const double last = kLongChain - 1;
    EXPECT_TRUE(SameVector(part.nodes[kLongChain - 1].boxMax, Vector3(last + 1, 1, 0)));
    EXPECT_TRUE(SameVector(part.nodes[kLongChain - 1].boxMin, Vector3(last, 0, 0)));
}

}  // namespace
