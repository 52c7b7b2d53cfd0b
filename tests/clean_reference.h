#pragma once

// The cleaning algorithms written out literally, calling none of the cleaning
// code: merging corner by corner, recursive flattening with a scan of every
// reference per node, removal one node at a time, the repeated bounding-box
// sweep, the colour split with a linear code search, scaling and the box
// geometry. Slow on purpose; the cleaning stages must give identical trees.
// Only the mesh, the matrices and the colour table are shared. Random trees
// to compare them on.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/clean_support.h"

class ReferencePart : public TestPart
{
public:
    // Every triangle the child had before, each corner placed and merged on
    // its own, recoloured through the reference.
    void RefMerge(unsigned parent, std::size_t reference, bool copyNormals)
    {
        const _LegoInstance instance = nodes[parent].children[reference];
        const unsigned child = static_cast<unsigned>(instance.node);
        const unsigned triangleCount = nodes[child].mesh.GetPolygonCount();
        for (unsigned f = 0; f < triangleCount; ++f)
        {
            const LEGOPolyMesh& source = nodes[child].mesh;
            Vector3 corners[3];
            Vector3 normals[3];
            bool isFinite = true;
            for (unsigned k = 0; k < 3; ++k)
            {
                corners[k] = instance.transform * source.GetPolygonVertex(f, k);
                isFinite = isFinite && std::isfinite(corners[k].x) && std::isfinite(corners[k].y) &&
                           std::isfinite(corners[k].z);
                const Vector3 normal =
                    f < source.GetFaceCount() ? source.FaceNormal(f, k) : Vector3();
                normals[k] = TransformNormal(normal, instance.transform);
            }
            if (!isFinite)
                continue;
            int color = source.FaceColor(f);
            if (color == 16)
                color = instance.color;
            else if (color == 24)
                color = instance.color == 16 ? 24 : ComplementaryColor(instance.color);
            LEGOPolyMesh& target = nodes[parent].mesh;
            const unsigned face = target.AddPolygon(3, corners);
            target.FaceColor(face) = color;
            if (copyNormals)
                target.SetFaceNormals(face, 3, normals);
        }
    }

    void RefRetire(unsigned a)
    {
        nodes[a].mesh.Clear();
        nodes[a].children.clear();
        nodes[a].name = "<Deleted by FlattenNode>";
        nodes[a].note = "<Deleted by FlattenNode>";
        nodes[a].kind = NodeKind::Deleted;
    }

    void RefFlattenNode(unsigned a, bool copyNormals)
    {
        if (a >= nodes.size() || nodes[a].kind == NodeKind::Deleted)
            return;
        if (isFlattening.size() < nodes.size())
            isFlattening.resize(nodes.size(), 0);
        if (isFlattening[a])
            return;  // a cycle back to a node under way
        isFlattening[a] = 1;
        const std::size_t childCount = nodes[a].children.size();
        for (std::size_t j = 0; j < childCount; ++j)
            if (nodes[a].children[j].node != -1)
                RefFlattenNode(static_cast<unsigned>(nodes[a].children[j].node), copyNormals);
        const std::size_t nodeCount = nodes.size();
        for (std::size_t i = 0; i < nodeCount; ++i)
            for (std::size_t j = 0; j < nodes[i].children.size(); ++j)
                if (nodes[i].children[j].node == static_cast<int>(a))
                {
                    RefMerge(static_cast<unsigned>(i), j, copyNormals);
                    nodes[i].children[j].node = -1;
                }
        RefRetire(a);
        isFlattening[a] = 0;
    }

    void RefFlattenToParts(bool copyNormals)
    {
        if (nodes.empty())
            return;
        for (std::size_t r = 0; r < nodes[0].children.size(); ++r)
        {
            const _LegoNode* part = GetNode(static_cast<unsigned>(nodes[0].children[r].node));
            if (part == nullptr)
                continue;
            const unsigned p = static_cast<unsigned>(nodes[0].children[r].node);
            for (std::size_t s = 0; s < nodes[p].children.size(); ++s)
                RefFlattenNode(static_cast<unsigned>(nodes[p].children[s].node), copyNormals);
        }
    }

    void RefRemoveNode(unsigned a)
    {
        if (a >= nodes.size())
            return;
        nodes.erase(nodes.begin() + a);
        const int erased = static_cast<int>(a);
        for (_LegoNode& node : nodes)
        {
            std::vector<_LegoInstance>& children = node.children;
            for (std::size_t j = 0; j < children.size();)
            {
                if (children[j].node == erased)
                {
                    children.erase(children.begin() + static_cast<std::ptrdiff_t>(j));
                    continue;
                }
                if (children[j].node > erased)
                    --children[j].node;
                ++j;
            }
        }
    }

    template <typename Test>
    void RefPrune(Test isRemovable)
    {
        for (unsigned i = 0; i < nodes.size();)
        {
            if (isRemovable(nodes[i]))
                RefRemoveNode(i);
            else
                ++i;
        }
    }

    void RefFixColorErrors()
    {
        const std::size_t nodeCount = nodes.size();
        for (std::size_t n = 0; n < nodeCount; ++n)
        {
            std::vector<std::uint32_t> codes;
            for (unsigned f = 0; f < nodes[n].mesh.GetPolygonCount(); ++f)
                codes.push_back(static_cast<std::uint32_t>(nodes[n].mesh.FaceColor(f)));
            std::sort(codes.begin(), codes.end());
            codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
            if (codes.size() < 2)
                continue;
            std::vector<unsigned> targets;
            for (const std::uint32_t code : codes)
            {
                const unsigned t = static_cast<unsigned>(NewNodeIndex());
                targets.push_back(t);
                Place(static_cast<unsigned>(n), static_cast<int>(t), static_cast<int>(code));
                nodes[t].name = nodes[n].name + "_color_" + std::to_string(static_cast<int>(code));
                nodes[t].tag = 1;
            }
            const LEGOPolyMesh& mesh = nodes[n].mesh;
            for (unsigned f = 0; f < mesh.GetPolygonCount(); ++f)
            {
                std::size_t j = 0;
                while (codes[j] != static_cast<std::uint32_t>(mesh.FaceColor(f)))
                    ++j;
                Vector3 corners[3];
                Vector3 normals[3];
                for (unsigned k = 0; k < 3; ++k)
                {
                    corners[k] = mesh.GetPolygonVertex(f, k);
                    normals[k] = mesh.FaceNormal(f, k);
                }
                const unsigned face = nodes[targets[j]].mesh.AddPolygon(3, corners);
                nodes[targets[j]].mesh.FaceColor(face) = mesh.FaceColor(f);
                nodes[targets[j]].mesh.SetFaceNormals(face, 3, normals);
            }
            nodes[n].mesh.Clear();
        }
    }

    // Sweeps from the last node down until a sweep computes nothing new; nodes
    // on or above a cycle keep their boxes.
    void RefComputeBoundingBoxes()
    {
        const std::size_t n = nodes.size();
        std::vector<char> done(n, 0);
        std::vector<char> empty(n, 0);
        auto valid = [n](int k) { return k >= 0 && static_cast<std::size_t>(k) < n; };
        for (bool progress = true; progress;)
        {
            progress = false;
            for (std::size_t i = n; i-- > 0;)
            {
                _LegoNode& node = nodes[i];
                if (done[i] || empty[i])
                    continue;
                if (node.mesh.GetVertexCount() == 0 && node.children.empty())
                {
                    empty[i] = done[i] = 1;
                    progress = true;
                    continue;
                }
                bool ready = true;
                for (const _LegoInstance& c : node.children)
                    if (valid(c.node) && !done[static_cast<unsigned>(c.node)])
                        ready = false;
                if (!ready)
                    continue;
                Vector3 hi(-1000000.0, -1000000.0, -1000000.0);
                Vector3 lo(1000000.0, 1000000.0, 1000000.0);
                const LEGOPolyMesh& mesh = node.mesh;
                for (unsigned v = 0; v < mesh.GetVertexCount(); ++v)
                {
                    hi = component_max(hi, mesh.GetVertex(v));
                    lo = component_min(lo, mesh.GetVertex(v));
                }
                for (const _LegoInstance& c : node.children)
                {
                    if (!valid(c.node) || empty[static_cast<unsigned>(c.node)])
                        continue;
                    const _LegoNode& child = nodes[static_cast<unsigned>(c.node)];
                    hi = component_max(hi, c.transform * child.boxMax);
                    lo = component_min(lo, c.transform * child.boxMin);
                }
                node.boxMax = hi;
                node.boxMin = lo;
                done[i] = 1;
                progress = true;
            }
        }
    }

    void RefCleanGeometry(const clean_t& options)
    {
        RefPrune([](const _LegoNode& node)
                 { return node.mesh.GetPolygonCount() == 0 && node.children.empty(); });
        if (options.flattenAll)
            for (unsigned n = GetNodeCount(); n-- > 1;)
                RefFlattenNode(n, false);
        RefPrune([](const _LegoNode& node) { return node.kind == NodeKind::Deleted; });
        if (options.flattenToParts && !options.flattenAll)
            RefFlattenToParts(false);
        for (_LegoNode& node : nodes)
            if (node.mesh.GetPolygonCount() > 0)
                node.mesh.CreateNormals(options.smoothNormals);
        for (_LegoNode& node : nodes)
            for (std::size_t j = 0; j < node.children.size();)
            {
                const int k = node.children[j].node;
                if (k < 0 || static_cast<std::size_t>(k) >= nodes.size())
                    node.children.erase(node.children.begin() + static_cast<std::ptrdiff_t>(j));
                else
                    ++j;
            }
        RefFixColorErrors();
        if (options.scale || options.boxFlag)
            for (_LegoNode& node : nodes)
            {
                for (unsigned v = 0; v < node.mesh.GetVertexCount(); ++v)
                    node.mesh.GetVertex(v) *= options.scaleFactor;
                for (_LegoInstance& c : node.children)
                    for (const int k : {3, 7, 11})
                        c.transform.m[k] *= options.scaleFactor;
            }
        RefComputeBoundingBoxes();
        RefAddBoxes();
    }

    // Two triangles (a, b, c) and (c, d, a) of normal (d - a) x (b - a), made
    // unit, when that cross product is longer than 0.01 and finite once unit.
    void RefAddQuad(unsigned n, const Vector3& a, const Vector3& b, const Vector3& c,
                    const Vector3& d)
    {
        Vector3 normal;
        normal.Cross(d - a, b - a);
        if (!(normal.Length() > 0.01))
            return;
        normal.Unit();
        if (!std::isfinite(normal.x) || !std::isfinite(normal.y) || !std::isfinite(normal.z))
            return;
        const Vector3 normals[3] = {normal, normal, normal};
        const Vector3 triangles[2][3] = {{a, b, c}, {c, d, a}};
        for (const auto& corners : triangles)
        {
            const unsigned face = nodes[n].mesh.AddPolygon(3, corners);
            nodes[n].mesh.FaceColor(face) = 16;
            nodes[n].mesh.SetFaceNormals(face, 3, normals);
        }
    }

    // A box node per node the root places, searched for among the box nodes
    // made so far, then the node that places them as the root places the parts.
    void RefAddBoxes()
    {
        const std::size_t nodeCount = nodes.size();
        const std::vector<_LegoInstance> placed =
            nodes.empty() ? std::vector<_LegoInstance>() : nodes[0].children;
        std::vector<std::pair<int, int>> boxOf;  // (placed node, box node)
        for (const _LegoInstance& p : placed)
        {
            if (p.node < 0 || static_cast<std::size_t>(p.node) >= nodeCount)
                continue;
            bool made = false;
            for (const auto& entry : boxOf)
                made = made || entry.first == p.node;
            if (made)
                continue;
            const _LegoNode source = nodes[static_cast<unsigned>(p.node)];
            const Vector3 hi = source.boxMax;
            const Vector3 lo = source.boxMin;
            const unsigned h = AddNode(source.name + "_bounding_box");
            boxOf.emplace_back(p.node, static_cast<int>(h));
            nodes[h].tag = 2;
            nodes[h].boxMax = hi;
            nodes[h].boxMin = lo;
            RefAddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, hi.y, lo.z),
                       Vector3(hi.x, lo.y, lo.z), Vector3(hi.x, lo.y, hi.z));
            RefAddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, hi.y, lo.z),
                       Vector3(lo.x, hi.y, lo.z), Vector3(lo.x, hi.y, hi.z));
            RefAddQuad(h, Vector3(hi.x, hi.y, hi.z), Vector3(hi.x, lo.y, hi.z),
                       Vector3(lo.x, lo.y, hi.z), Vector3(lo.x, hi.y, hi.z));
            RefAddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, lo.y, hi.z),
                       Vector3(lo.x, hi.y, hi.z), Vector3(lo.x, hi.y, lo.z));
            RefAddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, lo.y, hi.z),
                       Vector3(hi.x, lo.y, hi.z), Vector3(hi.x, lo.y, lo.z));
            RefAddQuad(h, Vector3(lo.x, lo.y, lo.z), Vector3(lo.x, hi.y, lo.z),
                       Vector3(hi.x, hi.y, lo.z), Vector3(hi.x, lo.y, lo.z));
        }
        const unsigned boxes = AddNode("Bounding Boxes", NodeKind::Model);
        nodes[boxes].tag = 1;
        if (boxes > 0)
        {
            nodes[boxes].boxMax = nodes[0].boxMax;
            nodes[boxes].boxMin = nodes[0].boxMin;
        }
        for (const _LegoInstance& p : placed)
            for (const auto& entry : boxOf)
                if (entry.first == p.node)
                    Place(boxes, entry.second, p.color, p.transform);
    }

private:
    std::vector<char> isFlattening;
};

// A tree shaped like a reader's: node 0 the model, references mostly to nodes
// read later, some back to nodes read earlier (shared primitives), repeated
// references, -1 references, empty nodes, faces in codes 16, 24 and others.
// With `cycleCount`, that many references close a cycle (a self-reference
// among them).
inline void BuildRandomTree(TestPart& part, unsigned seed, unsigned nodeCount,
                            unsigned cycleCount = 0)
{
    std::mt19937 random(seed);
    auto pick = [&random](unsigned count) { return static_cast<unsigned>(random() % count); };
    static const int kColors[] = {16, 16, 16, 24, 24, 4, 0, 7, 15, 36, 320, -1};
    Matrix4x4 mirror;
    mirror.m[5] = -1;
    const Matrix4x4 kTurns[] = {Matrix4x4(), Matrix4x4(), QuarterTurnAboutY(), mirror};

    // rank: position in a random order with the model first; references go
    // from a lower rank to a higher one, so the graph has no cycle.
    std::vector<unsigned> order(nodeCount);
    for (unsigned i = 0; i < nodeCount; ++i)
        order[i] = i;
    std::shuffle(order.begin() + 1, order.end(), random);
    std::vector<unsigned> rank(nodeCount);
    for (unsigned r = 0; r < nodeCount; ++r)
        rank[order[r]] = r;

    for (unsigned i = 0; i < nodeCount; ++i)
        part.AddNode("n" + std::to_string(i) + ".dat", i == 0 ? NodeKind::Model : int(pick(3)));
    for (unsigned i = 0; i < nodeCount; ++i)
    {
        const unsigned triangleCount = pick(4) == 0 ? 0 : pick(4);
        for (unsigned t = 0; t < triangleCount; ++t)
        {
            // Corners on a coarse lattice, so merged copies share vertices.
            auto corner = [&]() { return Vector3(0.5 * pick(5), 0.5 * pick(5), 0.25 * pick(3)); };
            part.AddTriangle(i, corner(), corner(), corner(), kColors[pick(12)]);
        }
        if (rank[i] + 1 >= nodeCount || pick(5) == 0)
            continue;
        const unsigned referenceCount = pick(4);
        for (unsigned c = 0; c < referenceCount; ++c)
        {
            const unsigned childRank = rank[i] + 1 + pick(nodeCount - rank[i] - 1);
            Matrix4x4 m = kTurns[pick(4)];
            m.m[3] = pick(3);
            m.m[7] = -0.5 * pick(3);
            m.m[11] = pick(2);
            const int child = pick(10) == 0 ? -1 : static_cast<int>(order[childRank]);
            part.Place(i, child, kColors[pick(12)], m);
            if (pick(6) == 0)
                part.Place(i, child, kColors[pick(12)], Translation(0, 0, 1));  // again
        }
    }
    for (unsigned c = 0; c < cycleCount; ++c)
    {
        const unsigned from = 1 + pick(nodeCount - 1);
        const unsigned to = c == 0 ? from : order[1 + pick(rank[from])];
        part.Place(from, static_cast<int>(to), 16);
    }
}
