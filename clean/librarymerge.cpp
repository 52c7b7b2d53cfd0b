#include "clean/librarymerge.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "clean/treeops.h"

namespace
{

using cleaning::NamesNode;

constexpr std::uint32_t kNone = ~0u;

bool IsFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

void StoreFloats(std::vector<float>& out, const Vector3& v)
{
    out.push_back(static_cast<float>(v.x));
    out.push_back(static_cast<float>(v.y));
    out.push_back(static_cast<float>(v.z));
}

// A unit normal in float; a normal that is zero or not a number (a
// triangle without area) is replaced by LDraw's up.
void UnitNormal(const Vector3& n, float out[3])
{
    const double length = n.Length();
    if (!(length > 0.0) || !std::isfinite(length))
    {
        out[0] = 0.0f;
        out[1] = -1.0f;
        out[2] = 0.0f;
        return;
    }
    out[0] = static_cast<float>(n.x / length);
    out[1] = static_cast<float>(n.y / length);
    out[2] = static_cast<float>(n.z / length);
}

}  // namespace

namespace instancing
{

int Resolve(int face, int placed, const ColorTable& colours)
{
    if (face == LDrawColor::Main)
        return placed;
    if (face != LDrawColor::Edge)
        return face;
    if (placed == LDrawColor::Main)
        return LDrawColor::Edge;
    return colours.ComplementaryColor(placed);
}

LibraryMerger::~LibraryMerger()
{
    for (const auto& entry : dropped)
        cleaning::ReportDroppedTriangles(entry.first, entry.second);
}

void LibraryMerger::Merge(unsigned root)
{
    if (state[root] != kUnvisited)
        return;
    struct Frame
    {
        unsigned node;
        std::size_t next;
    };
    std::vector<Frame> stack{{root, 0}};
    state[root] = kInProgress;
    const std::size_t count = part.GetNodeCount();
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        const std::vector<_LegoInstance>& children = part.GetNode(frame.node)->children;
        if (frame.next < children.size())
        {
            const int child = children[frame.next++].node;
            if (NamesNode(child, count) && state[static_cast<unsigned>(child)] == kUnvisited)
            {
                state[static_cast<unsigned>(child)] = kInProgress;
                stack.push_back({static_cast<unsigned>(child), 0});
            }
            continue;
        }
        const unsigned done = frame.node;
        stack.pop_back();
        Build(done);
        state[done] = kDone;
    }
}

void LibraryMerger::Build(unsigned n)
{
    const _LegoNode& node = *part.GetNode(n);
    const std::size_t count = part.GetNodeCount();
    // A reference to a node still in progress would close a cycle: left out.
    auto isMerged = [&](const _LegoInstance& instance)
    {
        return NamesNode(instance.node, count) &&
               state[static_cast<unsigned>(instance.node)] == kDone &&
               merged[static_cast<unsigned>(instance.node)]->GetPolygonCount() != 0;
    };
    if (node.kind == NodeKind::Deleted ||
        std::none_of(node.children.begin(), node.children.end(), isMerged))
    {
        merged[n] = &node.mesh;
        return;
    }
    owned[n] = std::make_unique<LEGOPolyMesh>(node.mesh);
    for (const _LegoInstance& instance : node.children)
        if (isMerged(instance))
            Place(*owned[n], *merged[static_cast<unsigned>(instance.node)], instance, node.name);
    owned[n]->ReleaseLookups();
    merged[n] = owned[n].get();
}

void LibraryMerger::Place(LEGOPolyMesh& target, const LEGOPolyMesh& source,
                          const _LegoInstance& instance, const std::string& name)
{
    const Matrix4x4& M = instance.transform;
    const unsigned triangleCount = source.GetPolygonCount();
    // Each source vertex is placed and merged once, when a corner first uses
    // it; one that placing carries beyond the range of doubles drops its
    // triangles.
    constexpr unsigned kUnplaced = ~0u;
    constexpr unsigned kOverflowed = ~0u - 1;
    std::vector<unsigned> placed(source.GetVertexCount(), kUnplaced);
    target.ReservePolygons(target.GetPolygonCount() + triangleCount);
    unsigned long long droppedCount = 0;
    for (unsigned i = 0; i < triangleCount; ++i)
    {
        unsigned corners[3];
        bool isFinite = true;
        for (unsigned k = 0; k < 3; ++k)
        {
            unsigned& vertex = placed[source.GetPolygonVertexIndex(i, k)];
            if (vertex == kUnplaced)
            {
                const Vector3 position = M * source.GetVertex(source.GetPolygonVertexIndex(i, k));
                vertex = IsFinite(position) ? target.MergeVertex(position) : kOverflowed;
            }
            corners[k] = vertex;
            isFinite = isFinite && vertex != kOverflowed;
        }
        if (!isFinite)
        {
            ++droppedCount;
            continue;
        }
        const unsigned face = target.AddPolygonOnVertices(3, corners);
        target.FaceColor(face) = Resolve(source.FaceColor(i), instance.color, colours);
    }
    if (droppedCount != 0)
        dropped[name] += droppedCount;
}

PartGeometry MakeGeometry(LEGOPolyMesh mesh)
{
    PartGeometry geometry;
    const unsigned triangleCount = mesh.GetPolygonCount();
    if (triangleCount == 0)
        return geometry;
    mesh.CreateNormals(true);
    mesh.ReleaseLookups();
    const unsigned vertexCount = mesh.GetVertexCount();
    std::vector<char> fits(vertexCount);
    for (unsigned v = 0; v < vertexCount; ++v)
    {
        const Vector3 p = mesh.GetVertex(v);
        const float limit = std::numeric_limits<float>::max();
        fits[v] = std::fabs(p.x) <= limit && std::fabs(p.y) <= limit && std::fabs(p.z) <= limit;
    }
    // Split vertices of one mesh vertex are chained from first[v].
    std::vector<std::uint32_t> first(vertexCount, kNone);
    std::vector<std::uint32_t> next;
    std::vector<std::uint32_t> source;
    geometry.corners.reserve(3u * triangleCount);
    geometry.colors.reserve(triangleCount);
    for (unsigned f = 0; f < triangleCount; ++f)
    {
        const unsigned vertices[3] = {mesh.GetPolygonVertexIndex(f, 0),
                                      mesh.GetPolygonVertexIndex(f, 1),
                                      mesh.GetPolygonVertexIndex(f, 2)};
        if (!fits[vertices[0]] || !fits[vertices[1]] || !fits[vertices[2]])
        {
            ++geometry.dropped;
            continue;
        }
        for (unsigned k = 0; k < 3; ++k)
        {
            float normal[3];
            UnitNormal(f < mesh.GetFaceCount() ? mesh.FaceNormal(f, k) : Vector3(), normal);
            std::uint32_t split = first[vertices[k]];
            while (split != kNone &&
                   std::memcmp(&geometry.normals[3u * split], normal, sizeof normal) != 0)
                split = next[split];
            if (split == kNone)
            {
                split = static_cast<std::uint32_t>(next.size());
                next.push_back(first[vertices[k]]);
                first[vertices[k]] = split;
                StoreFloats(geometry.positions, mesh.GetVertex(vertices[k]));
                geometry.normals.insert(geometry.normals.end(), normal, normal + 3);
            }
            geometry.corners.push_back(split);
        }
        geometry.colors.push_back(mesh.FaceColor(f));
    }
    return geometry;
}

}  // namespace instancing
