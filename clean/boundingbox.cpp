#include <cmath>
#include <iostream>
#include <vector>

#include "clean/treeops.h"
#include "model/buckets.h"
#include "model/legopart.h"

namespace
{

using cleaning::NamesNode;

// Starting values of every accumulation: max below min, the empty box.
constexpr double kBoxStart = 1000000.0;

// Quads thinner than this add no triangles.
constexpr double kMinimumQuadArea = 0.01;

// False when the normal of a face spanned by two of the box's sides cannot
// be computed: the product of the two lengths overflows.
bool IsDrawable(const Vector3& hi, const Vector3& lo)
{
    const Vector3 size = hi - lo;
    return std::isfinite(size.x * size.y) && std::isfinite(size.y * size.z) &&
           std::isfinite(size.z * size.x);
}

}  // namespace

void cleaning::VertexBox(const PolyMesh& mesh, Vector3& boxMax, Vector3& boxMin)
{
    boxMax = Vector3(-kBoxStart, -kBoxStart, -kBoxStart);
    boxMin = Vector3(kBoxStart, kBoxStart, kBoxStart);
    for (unsigned v = 0; v < mesh.GetVertexCount(); ++v)
    {
        const Vector3 position = mesh.GetVertex(v);
        boxMax = component_max(boxMax, position);
        boxMin = component_min(boxMin, position);
    }
}

// A node's box needs the final boxes of the nodes it references, so the nodes
// are computed children first, each once: a node becomes ready when its last
// pending child is computed. Nodes with neither vertices nor children are
// empty: they keep their box and their parents ignore them. A node that
// references itself, directly or through others, never becomes ready, and
// neither does any node above it; those keep the boxes they had. References
// that name no node neither wait nor add to the box.
void LegoPart::ComputeBoundingBoxes()
{
    ComputeBoundingBoxes(std::vector<char>(nodes.size(), 0));
}

void LegoPart::ComputeBoundingBoxes(const std::vector<char>& isBoxKept)
{
    const std::size_t nodeCount = nodes.size();
    const auto isKept = [&](std::size_t i) { return i < isBoxKept.size() && isBoxKept[i] != 0; };
    std::vector<char> isEmpty(nodeCount, 0);
    for (std::size_t i = 0; i < nodeCount; ++i)
        isEmpty[i] =
            !isKept(i) && nodes[i].mesh.GetVertexCount() == 0 && nodes[i].children.empty() ? 1 : 0;

    // pendingCount[i]: references of i to non-empty nodes not yet computed.
    // Parents of node n: parents[firstParent[n]] up to parents[firstParent[n + 1]],
    // once per reference.
    const Buckets<unsigned> byChild = BuildBuckets<unsigned>(
        nodeCount,
        [&](auto emit)
        {
            for (unsigned i = 0; i < nodeCount; ++i)
                for (const _LegoInstance& instance : nodes[i].children)
                    if (NamesNode(instance.node, nodeCount) && !isEmpty[instance.node])
                        emit(static_cast<unsigned>(instance.node), i);
        });
    const std::vector<unsigned>& firstParent = byChild.first;
    const auto& parents = byChild.items;
    std::vector<unsigned> pendingCount(nodeCount, 0);
    for (const unsigned parent : parents)
        ++pendingCount[parent];
    std::vector<unsigned> ready;
    for (unsigned i = 0; i < nodeCount; ++i)
        if (!isEmpty[i] && pendingCount[i] == 0)
            ready.push_back(i);

    while (!ready.empty())
    {
        const unsigned i = ready.back();
        ready.pop_back();
        _LegoNode& node = nodes[i];
        Vector3 boxMax = node.boxMax;
        Vector3 boxMin = node.boxMin;
        if (!isKept(i))
            cleaning::VertexBox(node.mesh, boxMax, boxMin);
        // Only the two stored corners of a child's box are carried over.
        for (const _LegoInstance& instance : node.children)
        {
            if (!NamesNode(instance.node, nodeCount) || isEmpty[instance.node])
                continue;
            const _LegoNode& child = nodes[static_cast<unsigned>(instance.node)];
            boxMax = component_max(boxMax, instance.transform * child.boxMax);
            boxMin = component_min(boxMin, instance.transform * child.boxMin);
        }
        node.boxMax = boxMax;
        node.boxMin = boxMin;
        for (unsigned p = firstParent[i]; p < firstParent[i + 1]; ++p)
            if (--pendingCount[parents[p]] == 0)
                ready.push_back(parents[p]);
    }
}

void LegoPart::AddQuad(unsigned node, const Vector3& a, const Vector3& b, const Vector3& c,
                       const Vector3& d, int color)
{
    if (node >= nodes.size())
        return;
    Vector3 normal;
    normal.Cross(d - a, b - a);
    if (!(normal.Length() > kMinimumQuadArea))
        return;
    normal.Unit();
    // Sides whose product overflows give no direction (NaN): the face is left
    // out, as AddBoundingBoxGeometry reports.
    if (!std::isfinite(normal.x) || !std::isfinite(normal.y) || !std::isfinite(normal.z))
        return;
    const Vector3 normals[3] = {normal, normal, normal};
    LEGOPolyMesh& mesh = nodes[node].mesh;
    const Vector3 first[3] = {a, b, c};
    const unsigned firstFace = mesh.AddPolygon(3, first);
    mesh.FaceColor(firstFace) = color;
    mesh.SetFaceNormals(firstFace, 3, normals);
    const Vector3 second[3] = {c, d, a};
    const unsigned secondFace = mesh.AddPolygon(3, second);
    mesh.FaceColor(secondFace) = color;
    mesh.SetFaceNormals(secondFace, 3, normals);
}

void LegoPart::AddBoundingBoxGeometry()
{
    const std::size_t placedCount = nodes.empty() ? 0 : nodes[0].children.size();
    const std::size_t nodeCount = nodes.size();

    // One box node per distinct placed node, in order of first placement.
    std::vector<int> boxNodeOf(nodeCount, -1);
    for (std::size_t r = 0; r < placedCount; ++r)
    {
        const int placed = nodes[0].children[r].node;
        if (!NamesNode(placed, nodeCount) || boxNodeOf[static_cast<unsigned>(placed)] != -1)
            continue;
        const unsigned s = static_cast<unsigned>(placed);
        const unsigned h = static_cast<unsigned>(NewNodeIndex());
        // Copies: the append above may have moved every node.
        const Vector3 hi = nodes[s].boxMax;
        const Vector3 lo = nodes[s].boxMin;
        _LegoNode& box = nodes[h];
        box.name = nodes[s].name + "_bounding_box";
        box.tag = 2;
        box.kind = NodeKind::Part;
        box.boxMax = hi;
        box.boxMin = lo;
        if (!IsDrawable(hi, lo))
        {
            std::cerr << "Error: " << box.name
                      << " is beyond the range of numbers; faces left out\n"
                      << std::flush;
        }
        // The corner orders give each axis's two faces one normal direction.
        const int main = LDrawColor::Main;
        AddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, hi.y, lo.z), Vector3(hi.x, lo.y, lo.z),
                Vector3(hi.x, lo.y, hi.z), main);
        AddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, hi.y, lo.z), Vector3(lo.x, hi.y, lo.z),
                Vector3(lo.x, hi.y, hi.z), main);
        AddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, lo.y, hi.z), Vector3(lo.x, lo.y, hi.z),
                Vector3(lo.x, hi.y, hi.z), main);
        AddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, lo.y, hi.z), Vector3(lo.x, hi.y, hi.z),
                Vector3(lo.x, hi.y, lo.z), main);
        AddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, lo.y, hi.z), Vector3(hi.x, lo.y, hi.z),
                Vector3(hi.x, lo.y, lo.z), main);
        AddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, hi.y, lo.z), Vector3(hi.x, hi.y, lo.z),
                Vector3(hi.x, lo.y, lo.z), main);
        boxNodeOf[s] = static_cast<int>(h);
    }

    // On an empty tree this node becomes node 0, with the box of a new node.
    const unsigned boxes = static_cast<unsigned>(NewNodeIndex());
    _LegoNode& boundingBoxes = nodes[boxes];
    boundingBoxes.name = kBoundingBoxesName;
    boundingBoxes.tag = 1;
    boundingBoxes.kind = NodeKind::Model;
    if (boxes > 0)
    {
        boundingBoxes.boxMax = nodes[0].boxMax;
        boundingBoxes.boxMin = nodes[0].boxMin;
    }
    // The boxes are placed as the root places the parts. A root reference that
    // names no node has no box to place and is left out.
    nodes[boxes].children.reserve(placedCount);
    for (std::size_t r = 0; r < placedCount; ++r)
    {
        const _LegoInstance& placement = nodes[0].children[r];
        if (!NamesNode(placement.node, nodeCount))
            continue;
        _LegoInstance instance;
        instance.color = placement.color;
        instance.transform = placement.transform;
        instance.node = boxNodeOf[static_cast<unsigned>(placement.node)];
        nodes[boxes].children.push_back(instance);
    }
}
