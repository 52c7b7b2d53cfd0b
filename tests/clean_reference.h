#pragma once

// The cleaning algorithms written out literally: recursive flattening with a
// scan of every reference per node, removal one node at a time, the repeated
// bounding-box sweep and the colour split with a linear code search. Slow on
// purpose; the cleaning stages must give identical trees. Random trees to
// compare them on.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/clean_support.h"

class ReferencePart : public TestPart
{
public:
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
                    MergeGeometry(static_cast<unsigned>(i), static_cast<unsigned>(j), copyNormals);
                    nodes[i].children[j].node = -1;
                }
        MarkNodeDeleted(a);
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
            for (unsigned i = 0; i < GetNodeCount(); ++i)
                ScaleNode(i, options.scaleFactor, true);
        RefComputeBoundingBoxes();
        AddBoundingBoxGeometry();
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
