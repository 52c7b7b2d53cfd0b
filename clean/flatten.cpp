#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "clean/treeops.h"
#include "model/buckets.h"
#include "model/legopart.h"

namespace
{

constexpr const char* kDeletedText = "<Deleted by FlattenNode>";

bool IsFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Corner normal k of face f; faces that never got a record read as the mesh's
// initial normal.
Vector3 CornerNormal(const LEGOPolyMesh& mesh, unsigned f, unsigned k)
{
    return f < mesh.GetFaceCount() ? mesh.FaceNormal(f, k) : Vector3();
}

}  // namespace

namespace cleaning
{

std::vector<unsigned> NodesByPolygonCount(const std::vector<_LegoNode>& nodes)
{
    std::vector<unsigned> order(nodes.size());
    for (unsigned i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&nodes](unsigned a, unsigned b)
                     { return nodes[a].mesh.GetPolygonCount() > nodes[b].mesh.GetPolygonCount(); });
    return order;
}

int MergedColor(const ColorTable& colours, int faceColor, int referenceColor)
{
    if (faceColor == LDrawColor::Main)
        return referenceColor;
    if (faceColor != LDrawColor::Edge)
        return faceColor;
    // An edge face placed with the main colour stays unresolved; a later merge
    // may still give it a concrete colour.
    if (referenceColor == LDrawColor::Main)
        return LDrawColor::Edge;
    // The edge colour of the placing colour; 24 through 24 gives 16.
    return colours.ComplementaryColor(referenceColor);
}

unsigned MergeReference(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                        unsigned reference, bool copyNormals)
{
    if (parent >= nodes.size() || reference >= nodes[parent].children.size())
        return 0;
    return MergeInstance(colours, nodes, parent, nodes[parent].children[reference], copyNormals);
}

unsigned MergeInstance(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                       const _LegoInstance& instance, bool copyNormals)
{
    if (!NamesNode(instance.node, nodes.size()))
        return 0;
    const Matrix4x4& M = instance.transform;
    // Parent and child are the same node when a node references itself: only
    // the triangles it had before the merge are copied.
    const LEGOPolyMesh& source = nodes[static_cast<unsigned>(instance.node)].mesh;
    LEGOPolyMesh& target = nodes[parent].mesh;
    const unsigned triangleCount = source.GetPolygonCount();
    // Each child vertex is placed and merged once, when a corner first uses
    // it; a position always merges into the same parent vertex.
    constexpr unsigned kUnplaced = ~0u;
    // A vertex that placing carries beyond the range of doubles.
    constexpr unsigned kOverflowed = ~0u - 1;
    std::vector<unsigned> placedVertex(source.GetVertexCount(), kUnplaced);
    target.ReservePolygons(target.GetPolygonCount() + triangleCount);
    unsigned droppedCount = 0;
    for (unsigned i = 0; i < triangleCount; ++i)
    {
        // Huge coordinates placed by huge matrices overflow; an infinite or
        // NaN corner could neither be merged, boxed nor written. Such a
        // triangle is dropped before any of its corners joins the parent.
        unsigned childVertices[3];
        Vector3 positions[3];
        bool isFinite = true;
        for (unsigned k = 0; k < 3; ++k)
        {
            childVertices[k] = source.GetPolygonVertexIndex(i, k);
            unsigned& placed = placedVertex[childVertices[k]];
            if (placed == kUnplaced)
            {
                positions[k] = M * source.GetVertex(childVertices[k]);
                if (!IsFinite(positions[k]))
                    placed = kOverflowed;
            }
            isFinite = isFinite && placed != kOverflowed;
        }
        if (!isFinite)
        {
            ++droppedCount;
            continue;
        }
        unsigned corners[3];
        Vector3 normals[3];
        for (unsigned k = 0; k < 3; ++k)
        {
            unsigned& placed = placedVertex[childVertices[k]];
            if (placed == kUnplaced)
                placed = target.MergeVertex(positions[k]);
            corners[k] = placed;
            if (copyNormals)
                normals[k] = TransformNormal(CornerNormal(source, i, k), M);
        }
        const int color = MergedColor(colours, source.FaceColor(i), instance.color);
        const unsigned face = target.AddPolygonOnVertices(3, corners);
        target.FaceColor(face) = color;
        if (copyNormals)
            target.SetFaceNormals(face, 3, normals);
    }
    return droppedCount;
}

void ReportDroppedTriangles(const std::string& nodeName, unsigned long long count)
{
    std::cerr << "Error: " << nodeName << " places " << count
              << (count == 1 ? " triangle" : " triangles")
              << " beyond the range of numbers; dropped\n"
              << std::flush;
}

void RetireNode(_LegoNode& node)
{
    node.mesh.Clear();
    std::vector<_LegoInstance>().swap(node.children);
    node.name = kDeletedText;
    node.note = kDeletedText;
    node.kind = NodeKind::Deleted;
}

void EraseNodes(std::vector<_LegoNode>& nodes, const std::vector<char>& isErased)
{
    const std::size_t nodeCount = nodes.size();
    std::vector<int> newIndex(nodeCount, -1);
    std::size_t keptCount = 0;
    for (std::size_t i = 0; i < nodeCount; ++i)
    {
        if (isErased[i])
            continue;
        newIndex[i] = static_cast<int>(keptCount);
        if (keptCount != i)
            nodes[keptCount] = std::move(nodes[i]);
        ++keptCount;
    }
    if (keptCount == nodeCount)
        return;
    nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(keptCount), nodes.end());

    // Erasing one node decrements every reference above it; a reference past
    // the end stays above every erased node, so it drops once per erasure.
    const int erasedCount = static_cast<int>(nodeCount - keptCount);
    for (_LegoNode& node : nodes)
    {
        std::vector<_LegoInstance>& children = node.children;
        auto kept = std::remove_if(children.begin(), children.end(),
                                   [&](const _LegoInstance& instance) {
                                       return NamesNode(instance.node, nodeCount) &&
                                              isErased[static_cast<unsigned>(instance.node)];
                                   });
        children.erase(kept, children.end());
        for (_LegoInstance& instance : children)
        {
            if (NamesNode(instance.node, nodeCount))
                instance.node = newIndex[static_cast<unsigned>(instance.node)];
            else if (instance.node >= 0)
                instance.node -= erasedCount;
        }
    }
}

Flattener::Flattener(const ColorTable& colourTable, std::vector<_LegoNode>& tree)
    : colours(colourTable), nodes(tree), isFlattening(tree.size(), 0)
{
    const std::size_t nodeCount = nodes.size();
    // In parent order, then position order: the order of the merges.
    Buckets<Site> bySite = BuildBuckets<Site>(
        nodeCount,
        [&](auto emit)
        {
            for (unsigned parent = 0; parent < nodeCount; ++parent)
            {
                const std::vector<_LegoInstance>& children = nodes[parent].children;
                for (unsigned position = 0; position < children.size(); ++position)
                {
                    const int child = children[position].node;
                    if (NamesNode(child, nodeCount))
                        emit(static_cast<unsigned>(child), Site{parent, position});
                }
            }
        });
    firstSite = std::move(bySite.first);
    sites = std::move(bySite.items);
    CountWholeTriangles();
}

void Flattener::CountWholeTriangles()
{
    const std::size_t nodeCount = nodes.size();
    constexpr std::uint64_t kUncounted = ~std::uint64_t(0);
    wholeTriangles.assign(nodeCount, kUncounted);
    isReserved.assign(nodeCount, 0);
    wantsRoom.assign(nodeCount, 0);
    isRetired.assign(nodeCount, 0);
    std::vector<char> isOpen(nodeCount, 0);
    std::vector<std::pair<unsigned, std::size_t>> path;
    for (unsigned start = 0; start < nodeCount; ++start)
    {
        if (wholeTriangles[start] != kUncounted)
            continue;
        path.emplace_back(start, 0);
        isOpen[start] = 1;
        while (!path.empty())
        {
            const unsigned node = path.back().first;
            const std::vector<_LegoInstance>& children = nodes[node].children;
            std::size_t& next = path.back().second;
            if (next < children.size())
            {
                const int child = children[next++].node;
                if (NamesNode(child, nodeCount) &&
                    wholeTriangles[static_cast<unsigned>(child)] == kUncounted &&
                    !isOpen[static_cast<unsigned>(child)])
                {
                    isOpen[static_cast<unsigned>(child)] = 1;
                    path.emplace_back(static_cast<unsigned>(child), 0);
                }
                continue;
            }
            // Counts saturate: a count this large is never reserved.
            std::uint64_t total = nodes[node].mesh.GetPolygonCount();
            for (const _LegoInstance& instance : children)
            {
                if (!NamesNode(instance.node, nodeCount))
                    continue;
                const std::uint64_t below = wholeTriangles[static_cast<unsigned>(instance.node)];
                if (below == kUncounted)
                    continue;  // still open: the reference closes a cycle
                total = below > kUncounted - 1 - total ? kUncounted - 1 : total + below;
            }
            wholeTriangles[node] = total;
            isOpen[node] = 0;
            path.pop_back();
        }
    }
}

void Flattener::ReserveWhole(unsigned node)
{
    if (node >= nodes.size() || isReserved[node])
        return;
    isReserved[node] = 1;
    if (isRecording)
        wantsRoom[node] = 1;
    else
        ReserveMesh(node);
}

void Flattener::ReserveMesh(unsigned node)
{
    LEGOPolyMesh& mesh = nodes[node].mesh;
    const std::uint64_t whole = wholeTriangles[node];
    // A count past what a mesh can index is left to grow (and fail) as it
    // goes; so is a mesh that already has the room.
    if (whole <= std::numeric_limits<unsigned>::max() && whole > mesh.GetPolygonCount())
        mesh.ReservePolygonsExactly(static_cast<unsigned>(whole));
}

Flattener::~Flattener()
{
    for (const auto& entry : dropped)
        ReportDroppedTriangles(entry.second.first, entry.second.second);
}

bool Flattener::Enter(unsigned node)
{
    if (node >= nodes.size() || nodes[node].kind == NodeKind::Deleted || isFlattening[node])
        return false;
    isFlattening[node] = 1;
    ReserveWhole(node);
    stack.push_back({node, 0, static_cast<unsigned>(nodes[node].children.size())});
    return true;
}

void Flattener::Flatten(unsigned node, bool copyNormals)
{
    if (!Enter(node))
        return;
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        if (frame.nextChild < frame.childCount)
        {
            // Read each child when its turn comes: flattening an earlier child
            // may already have merged a later one and set it to -1.
            const std::vector<_LegoInstance>& children = nodes[frame.node].children;
            const unsigned position = frame.nextChild++;
            if (position < children.size() && children[position].node != -1)
                Enter(static_cast<unsigned>(children[position].node));
            continue;
        }
        const unsigned done = frame.node;
        stack.pop_back();
        // Nothing merges into the node any more: its lookups go before the
        // nodes above it grow.
        nodes[done].mesh.ReleaseLookups();
        MergeIntoReferrers(done, copyNormals);
        Retire(done);
        isFlattening[done] = 0;
    }
}

void Flattener::MergeIntoReferrers(unsigned node, bool copyNormals)
{
    for (unsigned s = firstSite[node]; s < firstSite[node + 1]; ++s)
    {
        const Site site = sites[s];
        const std::vector<_LegoInstance>& children = nodes[site.parent].children;
        if (site.reference >= children.size() ||
            children[site.reference].node != static_cast<int>(node))
            continue;
        if (isRecording)
        {
            merges.push_back({node, site.parent, children[site.reference]});
            nodes[site.parent].children[site.reference].node = -1;
            continue;
        }
        const unsigned droppedCount =
            MergeReference(colours, nodes, site.parent, site.reference, copyNormals);
        if (droppedCount != 0)
        {
            auto& drop = dropped[site.parent];
            if (drop.second == 0)
                drop.first = nodes[site.parent].name;
            drop.second += droppedCount;
        }
        nodes[site.parent].children[site.reference].node = -1;
    }
}

}  // namespace cleaning

void LegoPart::ScaleNode(unsigned node, double factor, bool scaleChildren)
{
    _LegoNode* target = GetNode(node);
    if (target == nullptr)
        return;
    LEGOPolyMesh& mesh = target->mesh;
    for (unsigned v = 0; v < mesh.GetVertexCount(); ++v)
        mesh.GetVertex(v) *= factor;
    if (!scaleChildren)
        return;
    // Only the translation column; rotations stay as they are.
    for (_LegoInstance& instance : target->children)
    {
        instance.transform.m[3] *= factor;
        instance.transform.m[7] *= factor;
        instance.transform.m[11] *= factor;
    }
}

void LegoPart::MergeGeometry(unsigned parent, unsigned reference, bool copyNormals)
{
    const unsigned droppedCount =
        cleaning::MergeReference(colours, nodes, parent, reference, copyNormals);
    if (droppedCount != 0)
        cleaning::ReportDroppedTriangles(nodes[parent].name, droppedCount);
}

void LegoPart::MarkNodeDeleted(unsigned node)
{
    if (node < nodes.size())
        cleaning::RetireNode(nodes[node]);
}

void LegoPart::FlattenNode(unsigned node, bool copyNormals)
{
    // Cheap exits first: building the referrer index reads every reference.
    if (node >= nodes.size() || nodes[node].kind == NodeKind::Deleted)
        return;
    cleaning::Flattener(colours, nodes).Flatten(node, copyNormals);
}

void LegoPart::RemoveNode(unsigned node)
{
    if (node >= nodes.size())
        return;
    std::vector<char> isErased(nodes.size(), 0);
    isErased[node] = 1;
    cleaning::EraseNodes(nodes, isErased);
}

void LegoPart::FlattenToParts(bool copyNormals)
{
    if (nodes.empty())
        return;
    cleaning::Flattener flattener(colours, nodes);
    flattener.Record();
    // Lengths are read again at every step: flattening may retire a node and
    // clear its list (only on a reference cycle).
    for (std::size_t r = 0; r < nodes[0].children.size(); ++r)
    {
        const int part = nodes[0].children[r].node;
        if (part < 0 || static_cast<std::size_t>(part) >= nodes.size())
            continue;  // merged away through an earlier part
        const unsigned p = static_cast<unsigned>(part);
        flattener.ReserveWhole(p);
        for (std::size_t s = 0; s < nodes[p].children.size(); ++s)
            flattener.Flatten(static_cast<unsigned>(nodes[p].children[s].node), copyNormals);
    }
    flattener.Play(copyNormals);
}
