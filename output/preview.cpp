#include "output/preview.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

#include "model/parallel.h"
#include "output/pngfile.h"
#include "output/previewraster.h"
#include "output/writer.h"

namespace
{

using preview_raster::Band;
using preview_raster::Batch;
using preview_raster::kAmbient;
using preview_raster::kDiffuse;
using preview_raster::Vertex;

// Part of the picture left empty on each side of the model.
constexpr double kMargin = 0.05;
// Most bytes of finished rows held at a time.
constexpr std::size_t kBlockBytes = std::size_t(32) << 20;

// A placement in view coordinates: row-major 3x4, applied to column vectors.
struct Affine
{
    double m[12];
};

Affine Multiply(const Affine& a, const Affine& b)
{
    Affine product;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
        {
            double sum = c == 3 ? a.m[4 * r + 3] : 0.0;
            for (int k = 0; k < 3; ++k)
                sum += a.m[4 * r + k] * b.m[4 * k + c];
            product.m[4 * r + c] = sum;
        }
    return product;
}

Affine FromMatrix(const Matrix4x4& matrix)
{
    Affine affine;
    std::copy(matrix.m, matrix.m + 12, affine.m);
    return affine;
}

// LDraw coordinates to view coordinates: x to the right of the picture, y
// down it, z away from the viewer, who looks down 30 degrees from 45 degrees
// to the front (-z) left (-x).
Affine ViewRotation()
{
    const double pi = 3.14159265358979323846;
    const double elevation = 30.0 * pi / 180.0;
    const double azimuth = 45.0 * pi / 180.0;
    const double forward[3] = {std::cos(elevation) * std::sin(azimuth), std::sin(elevation),
                               std::cos(elevation) * std::cos(azimuth)};
    // right = forward x up, with up = (0, -1, 0); down = forward x right.
    const double right[3] = {std::cos(azimuth), 0.0, -std::sin(azimuth)};
    const double down[3] = {forward[1] * right[2] - forward[2] * right[1],
                            forward[2] * right[0] - forward[0] * right[2],
                            forward[0] * right[1] - forward[1] * right[0]};
    Affine view;
    for (int c = 0; c < 3; ++c)
    {
        view.m[c] = right[c];
        view.m[4 + c] = down[c];
        view.m[8 + c] = forward[c];
    }
    view.m[3] = view.m[7] = view.m[11] = 0.0;
    return view;
}

// The direction towards the light in view coordinates: from the upper left,
// somewhat from the front, so that tops, left faces and front faces of a
// brick are told apart.
void LightDirection(const Affine& view, double light[3])
{
    double world[3] = {-0.6, -1.0, -0.4};
    const double length =
        std::sqrt(world[0] * world[0] + world[1] * world[1] + world[2] * world[2]);
    for (double& c : world)
        c /= length;
    for (int r = 0; r < 3; ++r)
        light[r] =
            view.m[4 * r] * world[0] + view.m[4 * r + 1] * world[1] + view.m[4 * r + 2] * world[2];
}

// Normals go through the cofactors of the placement's linear part, turned
// round for a mirroring placement: right for scaled and sheared placements.
void NormalMatrix(const Affine& a, double n[9])
{
    const double* m = a.m;
    n[0] = m[5] * m[10] - m[6] * m[9];
    n[1] = m[6] * m[8] - m[4] * m[10];
    n[2] = m[4] * m[9] - m[5] * m[8];
    n[3] = m[2] * m[9] - m[1] * m[10];
    n[4] = m[0] * m[10] - m[2] * m[8];
    n[5] = m[1] * m[8] - m[0] * m[9];
    n[6] = m[1] * m[6] - m[2] * m[5];
    n[7] = m[2] * m[4] - m[0] * m[6];
    n[8] = m[0] * m[5] - m[1] * m[4];
    const double determinant = m[0] * n[0] + m[1] * n[1] + m[2] * n[2];
    if (determinant < 0.0)
        for (int i = 0; i < 9; ++i)
            n[i] = -n[i];
}

struct Placement
{
    const SceneMesh* mesh;
    Affine toView;
    std::size_t firstVertex = 0;
    // Extent of its finite vertices in view coordinates.
    double low[3] = {std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::infinity()};
    double high[3] = {-std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity()};
};

// Every node with a mesh, in depth-first order of the tree from node 0, with
// its placement in view coordinates. A node that leads back to itself is not
// followed again.
std::vector<Placement> PlaceParts(const InstancedScene& scene)
{
    std::vector<Placement> placements;
    if (scene.nodes.empty())
        return placements;
    struct Frame
    {
        std::size_t node;
        std::size_t nextChild;
        Affine toView;
    };
    std::vector<char> onPath(scene.nodes.size(), 0);
    std::vector<Frame> stack;
    auto enter = [&](std::size_t node, const Affine& parent)
    {
        const SceneNode& sceneNode = scene.nodes[node];
        const Affine toView = Multiply(parent, FromMatrix(sceneNode.transform));
        onPath[node] = 1;
        stack.push_back({node, 0, toView});
        if (sceneNode.mesh >= 0 && static_cast<std::size_t>(sceneNode.mesh) < scene.meshes.size())
            placements.push_back({&scene.meshes[static_cast<std::size_t>(sceneNode.mesh)], toView});
    };
    enter(0, ViewRotation());
    while (!stack.empty())
    {
        Frame& top = stack.back();
        const std::vector<int>& children = scene.nodes[top.node].children;
        if (top.nextChild == children.size())
        {
            onPath[top.node] = 0;
            stack.pop_back();
            continue;
        }
        const int child = children[top.nextChild++];
        if (child >= 0 && static_cast<std::size_t>(child) < scene.nodes.size() && !onPath[child])
        {
            const Affine parent = top.toView;
            enter(static_cast<std::size_t>(child), parent);
        }
    }
    return placements;
}

// Transforms the vertices of placements [begin, end) into view coordinates
// with their shading, and notes each placement's extent.
void TransformPlacements(std::vector<Placement>& placements, std::size_t begin, std::size_t end,
                         const double light[3], std::vector<Vertex>& vertices)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t p = begin; p < end; ++p)
    {
        Placement& placement = placements[p];
        const SceneMesh& mesh = *placement.mesh;
        const double* m = placement.toView.m;
        double n[9];
        NormalMatrix(placement.toView, n);
        const std::size_t count = mesh.positions.size() / 3;
        const bool hasNormals = mesh.normals.size() == mesh.positions.size();
        for (std::size_t v = 0; v < count; ++v)
        {
            const double x = mesh.positions[3 * v];
            const double y = mesh.positions[3 * v + 1];
            const double z = mesh.positions[3 * v + 2];
            const double view[3] = {m[0] * x + m[1] * y + m[2] * z + m[3],
                                    m[4] * x + m[5] * y + m[6] * z + m[7],
                                    m[8] * x + m[9] * y + m[10] * z + m[11]};
            Vertex& out = vertices[placement.firstVertex + v];
            const bool finite = std::isfinite(view[0]) && std::isfinite(view[1]) &&
                                std::isfinite(view[2]) && std::fabs(view[0]) < 1e30 &&
                                std::fabs(view[1]) < 1e30;
            out.x = finite ? static_cast<float>(view[0]) : nan;
            out.y = static_cast<float>(view[1]);
            out.z = static_cast<float>(view[2]);
            if (finite)
                for (int c = 0; c < 3; ++c)
                {
                    placement.low[c] = std::min(placement.low[c], view[c]);
                    placement.high[c] = std::max(placement.high[c], view[c]);
                }
            double normal[3] = {0.0, 0.0, 0.0};
            if (hasNormals)
            {
                const double a = mesh.normals[3 * v];
                const double b = mesh.normals[3 * v + 1];
                const double c = mesh.normals[3 * v + 2];
                for (int r = 0; r < 3; ++r)
                    normal[r] = n[3 * r] * a + n[3 * r + 1] * b + n[3 * r + 2] * c;
            }
            const double length =
                std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
            double lit = 0.0;
            double facing = 0.0;
            if (length > 0.0 && std::isfinite(length))
            {
                lit = (normal[0] * light[0] + normal[1] * light[1] + normal[2] * light[2]) / length;
                facing = -normal[2] / length;
            }
            out.front = static_cast<float>(kAmbient + kDiffuse * std::max(0.0, lit));
            out.back = static_cast<float>(kAmbient + kDiffuse * std::max(0.0, -lit));
            out.facing = static_cast<float>(facing);
        }
    }
}

// Puts the vertices of placements [begin, end) into sample coordinates: x and
// y become whole numbers of 1/256 sample, held exactly in the floats.
void ToSamples(std::vector<Placement>& placements, std::size_t begin, std::size_t end,
               const double scale, const double offset[2], std::vector<Vertex>& vertices)
{
    const double unit = preview_raster::kSubSamples;
    for (std::size_t p = begin; p < end; ++p)
    {
        Placement& placement = placements[p];
        const std::size_t count = placement.mesh->positions.size() / 3;
        for (std::size_t v = 0; v < count; ++v)
        {
            Vertex& vertex = vertices[placement.firstVertex + v];
            if (std::isnan(vertex.x))
                continue;
            vertex.x = static_cast<float>(std::round((vertex.x * scale + offset[0]) * unit));
            vertex.y = static_cast<float>(std::round((vertex.y * scale + offset[1]) * unit));
        }
        for (int c = 0; c < 2; ++c)
        {
            placement.low[c] = std::floor((placement.low[c] * scale + offset[c]) * unit) - 1.0;
            placement.high[c] = std::ceil((placement.high[c] * scale + offset[c]) * unit) + 1.0;
        }
    }
}

}  // namespace

void RenderPreview(const InstancedScene& scene, const PreviewPalette& palette,
                   const PreviewSettings& settings, const PreviewRows& rows)
{
    const unsigned width = std::max(1u, settings.width);
    const unsigned height = std::max(1u, settings.height);
    std::vector<Placement> placements = PlaceParts(scene);
    std::size_t vertexCount = 0;
    for (Placement& placement : placements)
    {
        placement.firstVertex = vertexCount;
        vertexCount += placement.mesh->positions.size() / 3;
    }
    std::vector<Vertex> vertices(vertexCount);
    double light[3];
    LightDirection(ViewRotation(), light);
    Parallel::For(placements.size(), 16,
                  [&](std::size_t begin, std::size_t end)
                  { TransformPlacements(placements, begin, end, light, vertices); });

    // The model's outline as seen, fitted with a margin and centred.
    double low[3] = {std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::infinity(), 0.0};
    double high[3] = {-std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity(), 0.0};
    for (const Placement& placement : placements)
        for (int c = 0; c < 2; ++c)
        {
            low[c] = std::min(low[c], placement.low[c]);
            high[c] = std::max(high[c], placement.high[c]);
        }
    const double samplesWide = 2.0 * width;
    const double samplesHigh = 2.0 * height;
    double scale = 1.0;
    if (low[0] <= high[0])
    {
        const double fitX = high[0] > low[0]
                                ? samplesWide * (1.0 - 2.0 * kMargin) / (high[0] - low[0])
                                : std::numeric_limits<double>::infinity();
        const double fitY = high[1] > low[1]
                                ? samplesHigh * (1.0 - 2.0 * kMargin) / (high[1] - low[1])
                                : std::numeric_limits<double>::infinity();
        scale = std::min(fitX, fitY);
        if (!std::isfinite(scale) || scale <= 0.0)
            scale = 1.0;
    }
    else
    {
        low[0] = high[0] = low[1] = high[1] = 0.0;
    }
    const double offset[2] = {samplesWide / 2.0 - (low[0] + high[0]) / 2.0 * scale,
                              samplesHigh / 2.0 - (low[1] + high[1]) / 2.0 * scale};
    Parallel::For(placements.size(), 16,
                  [&](std::size_t begin, std::size_t end)
                  { ToSamples(placements, begin, end, scale, offset, vertices); });

    // One batch per placed primitive: the opaque ones in the order of the
    // tree, then the transparent ones from the farthest part to the nearest.
    std::map<int, PreviewColour> colours;
    std::vector<Batch> opaque;
    std::vector<std::pair<double, Batch>> transparent;
    for (const Placement& placement : placements)
        for (const SceneMesh::Primitive& primitive : placement.mesh->primitives)
        {
            auto found = colours.find(primitive.color);
            if (found == colours.end())
                found = colours.emplace(primitive.color, palette(primitive.color)).first;
            const PreviewColour& colour = found->second;
            if (!(colour.alpha > 0.0f) || primitive.indices.size() < 3 ||
                !(placement.low[1] <= placement.high[1]))
                continue;
            Batch batch;
            batch.vertices = vertices.data() + placement.firstVertex;
            batch.vertexCount = placement.mesh->positions.size() / 3;
            batch.indices = &primitive.indices;
            batch.colour = colour;
            batch.top = placement.low[1];
            batch.bottom = placement.high[1];
            if (colour.alpha >= 1.0f)
                opaque.push_back(batch);
            else
                transparent.emplace_back((placement.low[2] + placement.high[2]) / 2.0, batch);
        }
    std::stable_sort(transparent.begin(), transparent.end(),
                     [](const std::pair<double, Batch>& a, const std::pair<double, Batch>& b)
                     { return a.first > b.first; });
    std::vector<Batch> batches = opaque;
    const std::size_t opaqueCount = batches.size();
    for (const auto& entry : transparent)
        batches.push_back(entry.second);

    // Bands of rows drawn on their own, a block of them at a time.
    const unsigned bandPixelRows = preview_raster::kBandRows / 2;
    const std::size_t rowBytes = std::size_t(width) * 4;
    const std::size_t blockRows = std::max<std::size_t>(
        bandPixelRows, kBlockBytes / rowBytes / bandPixelRows * bandPixelRows);
    std::vector<std::uint8_t> block;
    for (unsigned firstRow = 0; firstRow < height;)
    {
        const unsigned rowsHere =
            static_cast<unsigned>(std::min<std::size_t>(blockRows, height - firstRow));
        block.resize(rowsHere * rowBytes);
        const std::size_t bands = (rowsHere + bandPixelRows - 1) / bandPixelRows;
        Parallel::For(bands, 1,
                      [&](std::size_t begin, std::size_t end)
                      {
                          Band band;
                          for (std::size_t b = begin; b < end; ++b)
                          {
                              const unsigned row =
                                  firstRow + static_cast<unsigned>(b) * bandPixelRows;
                              const unsigned count = std::min(bandPixelRows, height - row);
                              band.Reset(width, row, count, settings.transparentBackground);
                              band.Draw(batches, opaqueCount);
                              band.Resolve(block.data() + (row - firstRow) * rowBytes,
                                           settings.transparentBackground);
                          }
                      });
        rows(block.data(), rowsHere);
        firstRow += rowsHere;
    }
}

std::vector<std::uint8_t> RenderPreviewImage(const InstancedScene& scene,
                                             const PreviewPalette& palette,
                                             const PreviewSettings& settings)
{
    std::vector<std::uint8_t> image;
    const std::size_t rowBytes = std::size_t(std::max(1u, settings.width)) * 4;
    RenderPreview(scene, palette, settings,
                  [&](const std::uint8_t* pixels, unsigned rows)
                  { image.insert(image.end(), pixels, pixels + rows * rowBytes); });
    return image;
}

bool WritePreview(const std::string& path, const InstancedScene& scene,
                  const PreviewPalette& palette, const PreviewSettings& settings)
{
    PngFile file;
    if (!file.Open(path, std::max(1u, settings.width), std::max(1u, settings.height),
                   settings.transparentBackground))
    {
        ReportFileError("Cannot open file " + path + " for writing", path, file.ErrorNumber());
        return false;
    }
    RenderPreview(scene, palette, settings,
                  [&](const std::uint8_t* pixels, unsigned rows) { file.WriteRows(pixels, rows); });
    if (!file.Close())
    {
        ReportFileError("writing file " + path + " failed", path, file.ErrorNumber());
        return false;
    }
    return true;
}
