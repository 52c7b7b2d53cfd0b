#include "output/preview.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>

#include "model/parallel.h"
#include "output/previewraster.h"
#include "tests/png_read.h"
#include "tests/temp_folder.h"

namespace
{

PreviewColour TestPalette(int code)
{
    switch (code)
    {
        case 1:
            return {0.0f, 0.2f, 0.7f, 1.0f};
        case 4:
            return {0.8f, 0.0f, 0.0f, 1.0f};
        case 36:
            return {0.8f, 0.0f, 0.0f, 0.5f};
        default:
            return {1.0f, 1.0f, 1.0f, 1.0f};
    }
}

// A box of the given half size, four vertices with the face's normal on
// each face; the faces wound either way, as LDraw files may be.
SceneMesh Box(double half, int colour)
{
    SceneMesh mesh;
    mesh.primitives.push_back({colour, {}});
    for (int axis = 0; axis < 3; ++axis)
        for (int side = -1; side <= 1; side += 2)
        {
            const std::uint32_t first = static_cast<std::uint32_t>(mesh.positions.size() / 3);
            const int u = (axis + 1) % 3, v = (axis + 2) % 3;
            for (int corner = 0; corner < 4; ++corner)
            {
                float point[3], normal[3] = {0, 0, 0};
                point[axis] = static_cast<float>(side * half);
                point[u] = static_cast<float>((corner & 1 ? 1 : -1) * half);
                point[v] = static_cast<float>((corner & 2 ? 1 : -1) * half);
                normal[axis] = static_cast<float>(side);
                mesh.positions.insert(mesh.positions.end(), point, point + 3);
                mesh.normals.insert(mesh.normals.end(), normal, normal + 3);
            }
            std::vector<std::uint32_t>& indices = mesh.primitives[0].indices;
            const std::uint32_t quad[6] = {0, 1, 3, 0, 3, 2};
            for (const std::uint32_t corner : quad)
                indices.push_back(first + (side > 0 ? corner : 3 - corner));
        }
    return mesh;
}

// Node 0 holds one child per box, each moved to its place.
struct Placed
{
    double x, y, z;
    SceneMesh mesh;
};

InstancedScene Scene(const std::vector<Placed>& boxes)
{
    InstancedScene scene;
    scene.nodes.emplace_back();
    for (const Placed& box : boxes)
    {
        SceneNode node;
        node.mesh = static_cast<int>(scene.meshes.size());
        node.transform.m[3] = box.x;
        node.transform.m[7] = box.y;
        node.transform.m[11] = box.z;
        scene.meshes.push_back(box.mesh);
        scene.nodes[0].children.push_back(static_cast<int>(scene.nodes.size()));
        scene.nodes.push_back(node);
    }
    return scene;
}

struct Picture
{
    PreviewSettings settings;
    std::vector<std::uint8_t> rgba;
    const std::uint8_t* At(unsigned x, unsigned y) const
    {
        return &rgba[(std::size_t(y) * settings.width + x) * 4];
    }
};

Picture Render(const InstancedScene& scene, unsigned width = 160, unsigned height = 120,
               bool transparent = false)
{
    Picture picture;
    picture.settings.width = width;
    picture.settings.height = height;
    picture.settings.transparentBackground = transparent;
    picture.rgba = RenderPreviewImage(scene, TestPalette, picture.settings);
    return picture;
}

bool IsWhite(const std::uint8_t* p)
{
    return p[0] == 255 && p[1] == 255 && p[2] == 255 && p[3] == 255;
}

// The view looks along (cos 30 sin 45, sin 30, cos 30 cos 45): a point moved
// along it stays at the same place in the picture, nearer or farther.
const double kForward[3] = {0.6123724356957945, 0.5, 0.6123724356957945};

TEST(Preview, PartsSideBySideKeepTheirColoursAndPlacesInsideAWhiteMargin)
{
    // Seen from the front left, -x is to the left of the picture.
    const InstancedScene scene = Scene({{-40, 0, 0, Box(20, 4)}, {40, 0, 0, Box(20, 1)}});
    const Picture picture = Render(scene);
    const unsigned w = picture.settings.width, h = picture.settings.height;
    unsigned redLeft = 0, redRight = 0, blueLeft = 0, blueRight = 0;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
        {
            const std::uint8_t* p = picture.At(x, y);
            const bool red = p[0] > 60 && p[1] < 20 && p[2] < 20;
            const bool blue = p[2] > 60 && p[0] < 20 && p[2] > p[1] * 2;
            (x < w / 2 ? redLeft : redRight) += red;
            (x < w / 2 ? blueLeft : blueRight) += blue;
            // The margin around the model is background.
            if (x < 3 || y < 3 || x >= w - 3 || y >= h - 3)
            {
                EXPECT_TRUE(IsWhite(p)) << x << "," << y;
            }
        }
    EXPECT_GT(redLeft, w * h / 20);
    EXPECT_GT(blueRight, w * h / 20);
    EXPECT_EQ(redRight, 0u);
    EXPECT_EQ(blueLeft, 0u);
    // The model reaches the margin on the left or at the top.
    bool leftUsed = false, topUsed = false;
    for (unsigned y = 0; y < h; ++y)
        leftUsed |= !IsWhite(picture.At(w / 20 + 1, y));
    for (unsigned x = 0; x < w; ++x)
        topUsed |= !IsWhite(picture.At(x, h / 20 + 1));
    EXPECT_TRUE(leftUsed || topUsed);
}

TEST(Preview, SamePictureForEveryJobNumberAndEveryRun)
{
    const InstancedScene scene =
        Scene({{-40, 0, 0, Box(20, 4)}, {40, 0, 0, Box(20, 1)}, {0, -40, 0, Box(15, 36)}});
    Parallel::SetJobs(1);
    const Picture one = Render(scene, 301, 203);
    Parallel::SetJobs(2);
    const Picture two = Render(scene, 301, 203);
    Parallel::SetJobs(5);
    const Picture five = Render(scene, 301, 203);
    Parallel::SetJobs(0);
    EXPECT_EQ(one.rgba, two.rgba);
    EXPECT_EQ(one.rgba, five.rgba);
    EXPECT_EQ(one.rgba, Render(scene, 301, 203).rgba);
}

TEST(Preview, TransparentPartBlendsOverTheOpaqueOneBehindIt)
{
    const double d = 80.0;
    const Placed white{0, 0, 0, Box(20, 15)};
    const Placed nearRed{-d * kForward[0], -d * kForward[1], -d * kForward[2], Box(20, 36)};
    const Placed farRed{d * kForward[0], d * kForward[1], d * kForward[2], Box(20, 36)};

    const Picture front = Render(Scene({white, nearRed}));
    const std::uint8_t* centre = front.At(80, 60);
    EXPECT_GT(centre[0], centre[1] + 40);  // red over white, through two faces
    EXPECT_GT(centre[1], 20);
    EXPECT_NEAR(centre[1], centre[2], 2);

    // Behind the opaque part it is hidden; drawn in either order.
    for (const InstancedScene& scene : {Scene({white, farRed}), Scene({farRed, white})})
    {
        const Picture picture = Render(scene);
        const std::uint8_t* hidden = picture.At(80, 60);
        EXPECT_NEAR(hidden[0], hidden[1], 2);
        EXPECT_NEAR(hidden[1], hidden[2], 2);
    }
}

TEST(Preview, TransparentBackgroundLeavesOnlyTheModel)
{
    const Picture picture = Render(Scene({{0, 0, 0, Box(20, 4)}}), 90, 60, true);
    EXPECT_EQ(picture.At(0, 0)[3], 0);
    EXPECT_EQ(picture.At(89, 59)[3], 0);
    EXPECT_EQ(picture.At(45, 30)[3], 255);
    EXPECT_GT(picture.At(45, 30)[0], 60);
}

TEST(Preview, BrokenMeshesLoseOnlyTheirBrokenTriangles)
{
    InstancedScene scene = Scene({{0, 0, 0, Box(20, 4)}, {0, 0, 0, Box(20, 1)}});
    SceneMesh& broken = scene.meshes[1];
    broken.primitives[0].indices[0] = 1000000;                     // beyond the vertices
    broken.positions[3] = std::numeric_limits<float>::infinity();  // not finite
    broken.normals.clear();                                        // no normals at all
    scene.nodes[1].children.push_back(0);                          // back to the root
    scene.nodes[0].children.push_back(99);                         // no such node
    scene.nodes.push_back(SceneNode());
    scene.nodes.back().mesh = 42;  // no such mesh
    const Picture picture = Render(scene);
    EXPECT_TRUE(IsWhite(picture.At(0, 0)));
    EXPECT_FALSE(IsWhite(picture.At(80, 60)));
    // An empty scene is all background.
    const Picture empty = Render(InstancedScene(), 90, 60, true);
    EXPECT_EQ(empty.rgba, std::vector<std::uint8_t>(90 * 60 * 4, 0));
}

TEST(Preview, PngHoldsThePictureAndFailsWithoutReplacingTheTarget)
{
    const InstancedScene scene = Scene({{-40, 0, 0, Box(20, 4)}, {40, 0, 0, Box(20, 1)}});
    const TempFolder folder;
    PreviewSettings settings;
    settings.width = 120;
    settings.height = 70;
    for (const bool transparent : {false, true})
    {
        settings.transparentBackground = transparent;
        const std::string path = folder / "a.png";
        ASSERT_TRUE(WritePreview(path, scene, TestPalette, settings));
        const std::string bytes = ReadFile(path);
        ASSERT_TRUE(WritePreview(path, scene, TestPalette, settings));
        EXPECT_EQ(ReadFile(path), bytes);
        EXPECT_EQ(bytes.find("tIME"), std::string::npos);
        EXPECT_EQ(bytes.find("tEXt"), std::string::npos);
        const PngPicture read = ReadPng(path);
        EXPECT_EQ(read.width, 120u);
        EXPECT_EQ(read.height, 70u);
        EXPECT_EQ(read.rgba, RenderPreviewImage(scene, TestPalette, settings));
    }
    EXPECT_FALSE(WritePreview(folder / "missing/a.png", scene, TestPalette, settings));
    EXPECT_FALSE(WritePreview(folder.path, scene, TestPalette, settings));
    EXPECT_EQ(folder.List(), std::vector<std::string>{"a.png"});
}

TEST(PreviewRaster, LanesDrawTheSameSamplesAsTheGeneralPath)
{
    // Triangles from a fraction of a sample to wider than the lanes take,
    // corners on sample centres and edges through them, slivers from far
    // outside the band, corners not drawn and shades beyond [0, 1].
    std::mt19937 random(7);
    const auto uniform = [&](double low, double high)
    { return std::uniform_real_distribution<double>(low, high)(random); };
    const unsigned width = 40, row = 16;  // the band's samples: x 0..79, y 32..63
    std::vector<preview_raster::Vertex> vertices;
    double centre[2] = {0, 0};
    for (int corner = 0; corner < 3 * 3000; ++corner)
    {
        const int triangle = corner / 3;
        if (corner % 3 == 0)
            centre[0] = uniform(-8, 88), centre[1] = uniform(24, 72);
        const double size = std::pow(2.0, triangle % 8 - 1);
        const double far = triangle % 23 == 0 ? 3000.0 : 0.0;
        const double x = centre[0] + uniform(-size, size) + uniform(-far, far);
        const double y = centre[1] + uniform(-size, size) + uniform(-far, far);
        // A third on sample centres, so that edges run through them.
        const auto fixed = [&](double value) {
            return float(triangle % 3 == 0 ? std::floor(value) * 256 + 128
                                           : std::round(value * 256));
        };
        preview_raster::Vertex vertex;
        vertex.x = corner % 997 == 0 ? std::numeric_limits<float>::quiet_NaN() : fixed(x);
        vertex.y = fixed(y);
        vertex.z = float(uniform(0, 100));
        vertex.front = float(uniform(-0.2, 1.3));
        vertex.back = float(uniform(-0.2, 1.3));
        vertex.facing = float(uniform(-1, 1));
        vertices.push_back(vertex);
    }
    std::vector<std::vector<std::uint32_t>> lists(6);
    for (std::uint32_t i = 0; i < vertices.size(); ++i)
        lists[i / 3 % lists.size()].push_back(i);
    std::vector<preview_raster::Batch> batches;
    for (std::size_t b = 0; b < lists.size(); ++b)
    {
        preview_raster::Batch batch;
        batch.vertices = vertices.data();
        batch.vertexCount = vertices.size();
        batch.indices = &lists[b];
        batch.colour = {float(b) / 6.0f, 0.5f, 1.0f - float(b) / 6.0f, b == 5 ? 0.5f : 1.0f};
        batch.top = -1e9;
        batch.bottom = 1e9;
        batches.push_back(batch);
    }
    for (const bool transparent : {false, true})
    {
        std::vector<std::uint8_t> pictures[2];
        for (int lanes = 0; lanes < 2; ++lanes)
        {
            preview_raster::Band band;
            band.UseLanes(lanes == 1);
            band.Reset(width, row, 16, transparent);
            band.Draw(batches, 5);
            pictures[lanes].resize(std::size_t(width) * 16 * 4);
            band.Resolve(pictures[lanes].data(), transparent);
        }
        EXPECT_EQ(pictures[0], pictures[1]);
        EXPECT_NE(pictures[1], std::vector<std::uint8_t>(pictures[1].size(), 255));
    }
}

}  // namespace
