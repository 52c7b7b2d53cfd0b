#include "clean/expansion.h"

#include <gtest/gtest.h>
#include <limits>

#include "tests/clean_support.h"

namespace
{

unsigned PolygonTotal(const TestPart& part)
{
    unsigned total = 0;
    for (const _LegoNode& node : part.nodes)
        total += node.mesh.GetPolygonCount();
    return total;
}

TEST(TrianglesAfterMerging, PrimitivesPlacedInAPartCountOncePerPlacement)
{
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("brick.dat");
    const unsigned stud = part.AddNode("stud.dat", NodeKind::Primitive);
    part.AddUnitTriangle(model, 4);
    part.AddUnitTriangle(brick, 16);
    part.AddUnitTriangle(stud, 16);
    part.AddUnitTriangle(stud, 16, Vector3(0, 0, 1));
    for (int i = 0; i < 4; ++i)
        part.Place(brick, static_cast<int>(stud), 16, Translation(10.0 * i, 0, 0));
    // The model places the brick twice: the brick is merged once, as a part.
    part.Place(model, static_cast<int>(brick), 4);
    part.Place(model, static_cast<int>(brick), 1);

    EXPECT_EQ(CountTrianglesAfterMerging(part), 4u + 4u * 2u);
    // Cleaning ends with all but the stud's own two, which it retires.
    part.FlattenToParts(false);
    EXPECT_EQ(PolygonTotal(part), 10u);
}

TEST(TrianglesAfterMerging, EveryIntermediateMergeOfAChainCounts)
{
    // part -> s1 -> s2 -> s3, one triangle each: s3 is copied into s2, the
    // two of s2 into s1, the three of s1 into the part.
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    unsigned previous = part.AddNode("part.dat");
    part.Place(model, static_cast<int>(previous), 4);
    part.AddUnitTriangle(previous, 16);
    for (int i = 1; i <= 3; ++i)
    {
        const unsigned next = part.AddNode("s" + std::to_string(i) + ".dat", NodeKind::Subpart);
        part.AddUnitTriangle(next, 16);
        part.Place(previous, static_cast<int>(next), 16);
        previous = next;
    }
    EXPECT_EQ(CountTrianglesAfterMerging(part), 4u + 1u + 2u + 3u);
}

TEST(TrianglesAfterMerging, ASharedFileCountsForEveryReferrer)
{
    // Two parts share a sub-part, which a model file also places directly:
    // flattening merges it into all three.
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned a = part.AddNode("a.dat");
    const unsigned b = part.AddNode("b.dat");
    const unsigned shared = part.AddNode("shared.dat", NodeKind::Subpart);
    for (int i = 0; i < 5; ++i)
        part.AddUnitTriangle(shared, 16, Vector3(i, 0, 0));
    part.Place(a, static_cast<int>(shared), 16);
    part.Place(b, static_cast<int>(shared), 16);
    part.Place(model, static_cast<int>(a), 1);
    part.Place(model, static_cast<int>(b), 2);
    part.Place(model, static_cast<int>(shared), 3);
    EXPECT_EQ(CountTrianglesAfterMerging(part), 5u + 3u * 5u);
    part.FlattenToParts(false);
    EXPECT_EQ(PolygonTotal(part), 3u * 5u);
}

TEST(TrianglesAfterMerging, NestedMultiplicationSaturatesInsteadOfWrapping)
{
    // Ten levels, each placing the next a thousand times: 10^30 triangles.
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    unsigned previous = part.AddNode("level0.dat");
    part.Place(model, static_cast<int>(previous), 4);
    for (int level = 1; level <= 10; ++level)
    {
        const unsigned next = part.AddNode("level" + std::to_string(level) + ".dat");
        for (int i = 0; i < 1000; ++i)
            part.Place(previous, static_cast<int>(next), 16);
        previous = next;
    }
    part.AddUnitTriangle(previous, 16);
    EXPECT_EQ(CountTrianglesAfterMerging(part), std::numeric_limits<std::uint64_t>::max());
}

TEST(TrianglesAfterMerging, DeepChainsCyclesAndBrokenReferencesAreSafe)
{
    TestPart part;
    EXPECT_EQ(CountTrianglesAfterMerging(part), 0u);

    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    unsigned previous = part.AddNode("part.dat");
    part.Place(model, static_cast<int>(previous), 4);
    part.Place(model, -1, 4);
    part.Place(model, 1000000, 4);
    // Deeper than any call stack would take.
    constexpr unsigned kDepth = 100000;
    for (unsigned i = 0; i < kDepth; ++i)
    {
        const unsigned next = part.AddNode("s.dat", NodeKind::Subpart);
        part.Place(previous, static_cast<int>(next), 16);
        previous = next;
    }
    part.AddUnitTriangle(previous, 16);
    // The last file's triangle is copied once per level.
    EXPECT_EQ(CountTrianglesAfterMerging(part), 1u + kDepth);

    // A cycle, which the reader never builds, ends the count all the same.
    part.Place(previous, static_cast<int>(model), 16);
    EXPECT_LE(CountTrianglesAfterMerging(part), 3u + kDepth);
}

}  // namespace
