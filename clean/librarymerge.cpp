#include "clean/librarymerge.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "clean/treeops.h"
#include "model/parallel.h"

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
        finishedAt[done] = finishedCount++;
        noted.push_back(done);
        state[done] = kDone;
    }
}

bool LibraryMerger::IsMergedInto(int child, unsigned node) const
{
    return NamesNode(child, part.GetNodeCount()) &&
           finishedAt[static_cast<unsigned>(child)] < finishedAt[node];
}

void LibraryMerger::MergeNoted()
{
    // A node's height: 0 without children merged into it, else one more
    // than its highest such child. The nodes of one height read only lower
    // ones.
    std::vector<std::vector<unsigned>> byHeight;
    {
        std::vector<unsigned> height(part.GetNodeCount(), 0);
        for (const unsigned n : noted)
        {
            unsigned h = 0;
            for (const _LegoInstance& instance : part.GetNode(n)->children)
                if (IsMergedInto(instance.node, n))
                    h = std::max(h, height[static_cast<unsigned>(instance.node)] + 1);
            height[n] = h;
            if (byHeight.size() <= h)
                byHeight.resize(h + 1);
            byHeight[h].push_back(n);
        }
    }
    for (const std::vector<unsigned>& nodes : byHeight)
    {
        // The largest merges first, so that the jobs end together.
        std::vector<std::uint64_t> size(nodes.size(), 0);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            for (const _LegoInstance& instance : part.GetNode(nodes[i])->children)
                if (IsMergedInto(instance.node, nodes[i]))
                    size[i] += merged[static_cast<unsigned>(instance.node)]->GetPolygonCount();
        std::vector<std::size_t> order(nodes.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return size[a] > size[b]; });
        Parallel::ForEach(order.size(), [&](std::size_t i) { Build(nodes[order[i]]); });
    }
    for (const unsigned n : noted)
        if (droppedAt[n] != 0)
            dropped[part.GetNode(n)->name] += droppedAt[n];
    noted.clear();
}

void LibraryMerger::Build(unsigned n)
{
    const _LegoNode& node = *part.GetNode(n);
    // A reference to a node finished after this one would close a cycle:
    // left out.
    auto isMerged = [&](const _LegoInstance& instance)
    {
        return IsMergedInto(instance.node, n) &&
               merged[static_cast<unsigned>(instance.node)]->GetPolygonCount() != 0;
    };
    if (node.kind == NodeKind::Deleted ||
        std::none_of(node.children.begin(), node.children.end(), isMerged))
    {
        merged[n] = &node.mesh;
        return;
    }
    auto mesh = std::make_unique<LEGOPolyMesh>(node.mesh);
    for (const _LegoInstance& instance : node.children)
        if (isMerged(instance))
            droppedAt[n] += Place(*mesh, *merged[static_cast<unsigned>(instance.node)], instance);
    mesh->ReleaseLookups();
    owned[n] = std::move(mesh);
    merged[n] = owned[n].get();
}

unsigned long long LibraryMerger::Place(LEGOPolyMesh& target, const LEGOPolyMesh& source,
                                        const _LegoInstance& instance)
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
    return droppedCount;
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
        fits[v] =
            std::fabs(p.x) <= limit && std::fabs(p.y) <= limit && std::fabs(p.z) <= limit ? 1 : 0;
    }
    // Split vertices of one mesh vertex are chained from first[v].
    std::vector<std::uint32_t> first(vertexCount, kNone);
    std::vector<std::uint32_t> next;
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

Matrix4x4 Multiply(const Matrix4x4& a, const Matrix4x4& b)
{
    Matrix4x4 product;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
        {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += a.m[4 * r + k] * b.m[4 * k + c];
            product.m[4 * r + c] = sum;
        }
    return product;
}

namespace
{

Vector3 Column(const Matrix4x4& M, int c)
{
    return Vector3(M.m[c], M.m[4 + c], M.m[8 + c]);
}

}  // namespace

// True when the matrix is a translation, a rotation and a scale (glTF's
// TRS), composed again from its parts to within 1e-5 in every element, the
// way glTF readers take a node matrix apart: no shear, nothing flattened.
bool IsTrs(const Matrix4x4& M)
{
    if (M.m[12] != 0.0 || M.m[13] != 0.0 || M.m[14] != 0.0 || M.m[15] != 1.0)
        return false;
    Vector3 axes[3] = {Column(M, 0), Column(M, 1), Column(M, 2)};
    Vector3 cross;
    const double determinant = cross.Cross(axes[0], axes[1]).Dot(axes[2]);
    if (!(std::fabs(determinant) > 0.0) || !std::isfinite(determinant))
        return false;
    double scale[3];
    for (int k = 0; k < 3; ++k)
    {
        scale[k] = axes[k].Length();
        axes[k] /= scale[k];
    }
    if (determinant < 0.0)
    {
        scale[0] = -scale[0];
        axes[0] = -axes[0];
    }
    // The rotation's quaternion from the normalised columns (largest
    // diagonal first), then its matrix again.
    const double r00 = axes[0].x, r11 = axes[1].y, r22 = axes[2].z;
    double q[4];  // x, y, z, w
    const double trace = r00 + r11 + r22;
    if (trace > 0.0)
    {
        const double t = std::sqrt(trace + 1.0) * 2.0;
        q[3] = 0.25 * t;
        q[0] = (axes[1].z - axes[2].y) / t;
        q[1] = (axes[2].x - axes[0].z) / t;
        q[2] = (axes[0].y - axes[1].x) / t;
    }
    else if (r00 > r11 && r00 > r22)
    {
        const double t = std::sqrt(1.0 + r00 - r11 - r22) * 2.0;
        q[3] = (axes[1].z - axes[2].y) / t;
        q[0] = 0.25 * t;
        q[1] = (axes[1].x + axes[0].y) / t;
        q[2] = (axes[2].x + axes[0].z) / t;
    }
    else if (r11 > r22)
    {
        const double t = std::sqrt(1.0 + r11 - r00 - r22) * 2.0;
        q[3] = (axes[2].x - axes[0].z) / t;
        q[0] = (axes[1].x + axes[0].y) / t;
        q[1] = 0.25 * t;
        q[2] = (axes[2].y + axes[1].z) / t;
    }
    else
    {
        const double t = std::sqrt(1.0 + r22 - r00 - r11) * 2.0;
        q[3] = (axes[0].y - axes[1].x) / t;
        q[0] = (axes[2].x + axes[0].z) / t;
        q[1] = (axes[2].y + axes[1].z) / t;
        q[2] = 0.25 * t;
    }
    const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    const double x = q[0] / length, y = q[1] / length, z = q[2] / length, w = q[3] / length;
    const double rotation[9] = {
        1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
        2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
        2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!(std::fabs(rotation[3 * r + c] * scale[c] - M.m[4 * r + c]) <= 1e-5))
                return false;
    return true;
}

// Places a mesh's vertices by `M`, normals by its cofactor matrix (the
// inverse transpose up to scale, also for a flattening matrix).
void Bake(const Matrix4x4& M, SceneMesh& mesh)
{
    const Vector3 c0 = Column(M, 0), c1 = Column(M, 1), c2 = Column(M, 2);
    Vector3 n0, n1, n2;
    n0.Cross(c1, c2);
    n1.Cross(c2, c0);
    n2.Cross(c0, c1);
    const double sign = n2.Dot(c2) < 0.0 ? -1.0 : 1.0;
    for (std::size_t i = 0; i + 2 < mesh.positions.size(); i += 3)
    {
        const Vector3 p =
            M * Vector3(mesh.positions[i], mesh.positions[i + 1], mesh.positions[i + 2]);
        mesh.positions[i] = static_cast<float>(p.x);
        mesh.positions[i + 1] = static_cast<float>(p.y);
        mesh.positions[i + 2] = static_cast<float>(p.z);
        const double a = sign * mesh.normals[i], b = sign * mesh.normals[i + 1],
                     c = sign * mesh.normals[i + 2];
        const Vector3 n(a * n0.x + b * n1.x + c * n2.x, a * n0.y + b * n1.y + c * n2.y,
                        a * n0.z + b * n1.z + c * n2.z);
        UnitNormal(n, &mesh.normals[i]);
    }
}

}  // namespace instancing
