// Coordinates near the top of the double range: placing and boxing them must
// not put an infinity or a NaN into any mesh.

#include <cmath>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/clean_support.h"

namespace
{

// Standard error of one call, captured.
template <typename Call>
std::string ErrorsOf(Call call)
{
    const std::ostringstream errors;
    std::streambuf* const saved = std::cerr.rdbuf(errors.rdbuf());
    call();
    std::cerr.rdbuf(saved);
    return errors.str();
}

bool IsFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

::testing::AssertionResult EverythingIsFinite(const TestPart& part)
{
    for (const _LegoNode& node : part.nodes)
    {
        const LEGOPolyMesh& mesh = node.mesh;
        for (unsigned v = 0; v < mesh.GetVertexCount(); ++v)
            if (!IsFinite(mesh.GetVertex(v)))
                return ::testing::AssertionFailure() << node.name << " vertex " << v;
        for (unsigned f = 0; f < mesh.GetFaceCount(); ++f)
            for (unsigned k = 0; k < 3; ++k)
                if (!IsFinite(mesh.FaceNormal(f, k)))
                    return ::testing::AssertionFailure() << node.name << " face " << f;
        for (const _LegoInstance& instance : node.children)
            for (const double element : instance.transform.m)
                if (!std::isfinite(element))
                    return ::testing::AssertionFailure() << node.name << " transform";
    }
    return ::testing::AssertionSuccess();
}

Matrix4x4 Scale(double factor)
{
    Matrix4x4 m;
    m.m[0] = m.m[5] = m.m[10] = factor;
    return m;
}

TEST(PlacingBeyondTheNumberRange, DropsOnlyTheTrianglesThatOverflowWithOneLinePerNode)
{
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned brick = part.AddNode("brick.dat");
    const unsigned tile = part.AddNode("tile.dat", NodeKind::Primitive);
    part.AddUnitTriangle(tile, 16);                         // stays finite
    part.AddUnitTriangle(tile, 16, Vector3(1e300, 0, 0));   // x overflows
    part.AddUnitTriangle(tile, 16, Vector3(0, -1e300, 0));  // y overflows
    for (int i = 0; i < 3; ++i)
        part.Place(brick, static_cast<int>(tile), 16, Scale(1e10));
    part.Place(model, static_cast<int>(brick), 4);

    const std::string errors = ErrorsOf([&] { part.FlattenToParts(false); });
    EXPECT_EQ(errors, "Error: brick.dat places 6 triangles beyond the range of numbers; dropped\n");
    EXPECT_EQ(part.nodes[brick].mesh.GetPolygonCount(), 3u);
    EXPECT_TRUE(EverythingIsFinite(part));

    // A single merge reports itself; NaN from infinity times zero drops too.
    TestPart single;
    const unsigned parent = single.AddNode("parent.dat");
    const unsigned child = single.AddNode("child.dat");
    single.AddTriangle(child, Vector3(1e300, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1), 16);
    Matrix4x4 m = Scale(1e300);
    m.m[3] = -1e300;
    single.Place(parent, static_cast<int>(child), 16, m);
    EXPECT_EQ(ErrorsOf([&] { single.MergeGeometry(parent, 0, true); }),
              "Error: parent.dat places 1 triangle beyond the range of numbers; dropped\n");
    EXPECT_EQ(single.nodes[parent].mesh.GetPolygonCount(), 0u);
}

TEST(PlacingBeyondTheNumberRange, BoxesTooLargeToOrientLeaveTheirFacesOut)
{
    TestPart part;
    const unsigned model = part.AddNode("model.ldr", NodeKind::Model);
    const unsigned huge = part.AddNode("huge.dat");
    const unsigned small = part.AddNode("small.dat");
    // Finite corners whose box sides multiply to infinity.
    part.AddTriangle(huge, Vector3(1e300, 0, 0), Vector3(0, 1e300, 0), Vector3(0, 0, 1e300), 4);
    part.AddTriangle(small, Vector3(0, 0, 0), Vector3(20, 0, 0), Vector3(0, 20, 20), 4);
    part.Place(model, static_cast<int>(huge), 4);
    part.Place(model, static_cast<int>(small), 4);

    LegoPart::clean_t options;
    const std::string errors = ErrorsOf([&] { part.CleanGeometry(options); });
    EXPECT_EQ(errors,
              "Error: huge.dat_bounding_box is beyond the range of numbers; faces left out\n");
    EXPECT_TRUE(EverythingIsFinite(part));
    // The small part's box is whole: six faces of two triangles.
    const int smallBox = part.FindNode("small.dat_bounding_box");
    ASSERT_GE(smallBox, 0);
    EXPECT_EQ(part.nodes[static_cast<unsigned>(smallBox)].mesh.GetPolygonCount(), 12u);
}

}  // namespace
