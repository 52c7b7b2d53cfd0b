#include "clean/expansion.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "clean/treeops.h"

namespace
{

using cleaning::NamesNode;

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::uint64_t AddSaturating(std::uint64_t a, std::uint64_t b)
{
    return a > kSaturated - b ? kSaturated : a + b;
}

std::uint64_t MultiplySaturating(std::uint64_t a, std::uint64_t b)
{
    if (a == 0 || b == 0)
        return 0;
    return a > kSaturated / b ? kSaturated : a * b;
}

// Triangles of each node once everything below it has been merged into it.
// Children first, with an explicit stack: chains may be as deep as there are
// files. A reference back into the nodes being counted (a cycle, which the
// reader never builds) adds nothing, as flattening would not follow it.
std::vector<std::uint64_t> CountExpandedTriangles(const LegoPart& part)
{
    const unsigned nodeCount = part.GetNodeCount();
    std::vector<std::uint64_t> expanded(nodeCount, 0);
    enum : char
    {
        kNew,
        kOpen,
        kDone
    };
    std::vector<char> state(nodeCount, kNew);
    struct Frame
    {
        unsigned node;
        std::size_t nextChild;
    };
    std::vector<Frame> stack;
    for (unsigned start = 0; start < nodeCount; ++start)
    {
        if (state[start] != kNew)
            continue;
        state[start] = kOpen;
        stack.push_back({start, 0});
        while (!stack.empty())
        {
            Frame& frame = stack.back();
            const std::vector<_LegoInstance>& children = part.GetNode(frame.node)->children;
            if (frame.nextChild < children.size())
            {
                const int child = children[frame.nextChild++].node;
                if (NamesNode(child, nodeCount) && state[static_cast<unsigned>(child)] == kNew)
                {
                    state[static_cast<unsigned>(child)] = kOpen;
                    stack.push_back({static_cast<unsigned>(child), 0});
                }
                continue;
            }
            std::uint64_t total = part.GetNode(frame.node)->mesh.GetPolygonCount();
            for (const _LegoInstance& instance : children)
                if (NamesNode(instance.node, nodeCount) &&
                    state[static_cast<unsigned>(instance.node)] == kDone)
                    total = AddSaturating(total, expanded[static_cast<unsigned>(instance.node)]);
            expanded[frame.node] = total;
            state[frame.node] = kDone;
            stack.pop_back();
        }
    }
    return expanded;
}

}  // namespace

std::uint64_t CountTrianglesAfterMerging(const LegoPart& part)
{
    const unsigned nodeCount = part.GetNodeCount();
    if (nodeCount == 0)
        return 0;
    const std::vector<std::uint64_t> expanded = CountExpandedTriangles(part);

    std::uint64_t total = 0;
    std::vector<std::uint64_t> referenceCount(nodeCount, 0);
    for (unsigned n = 0; n < nodeCount; ++n)
    {
        const _LegoNode* node = part.GetNode(n);
        total = AddSaturating(total, node->mesh.GetPolygonCount());
        for (const _LegoInstance& instance : node->children)
            if (NamesNode(instance.node, nodeCount))
                ++referenceCount[static_cast<unsigned>(instance.node)];
    }

    // The nodes that get flattened: everything below the root's direct
    // children. Each is merged, fully expanded, into every node that
    // references it.
    std::vector<char> isFlattened(nodeCount, 0);
    std::vector<unsigned> pending;
    for (const _LegoInstance& placed : part.GetNode(0)->children)
    {
        if (!NamesNode(placed.node, nodeCount))
            continue;
        for (const _LegoInstance& instance :
             part.GetNode(static_cast<unsigned>(placed.node))->children)
            if (NamesNode(instance.node, nodeCount) &&
                !isFlattened[static_cast<unsigned>(instance.node)])
            {
                isFlattened[static_cast<unsigned>(instance.node)] = 1;
                pending.push_back(static_cast<unsigned>(instance.node));
            }
    }
    while (!pending.empty())
    {
        const unsigned n = pending.back();
        pending.pop_back();
        total = AddSaturating(total, MultiplySaturating(expanded[n], referenceCount[n]));
        for (const _LegoInstance& instance : part.GetNode(n)->children)
            if (NamesNode(instance.node, nodeCount) &&
                !isFlattened[static_cast<unsigned>(instance.node)])
            {
                isFlattened[static_cast<unsigned>(instance.node)] = 1;
                pending.push_back(static_cast<unsigned>(instance.node));
            }
    }
    return total;
}

namespace
{

// The references of every node as flat slots, merged ones set to -1, and the
// slots that reference each node.
struct ReferenceSlots
{
    std::vector<std::size_t> first;  // per node, its first slot; one more at the end
    std::vector<int> child;          // per slot, the node it names, or -1
    std::vector<unsigned> parent;    // per slot
    std::vector<std::size_t> firstReferrer;
    std::vector<std::size_t> referrers;  // slots, by the node they name

    explicit ReferenceSlots(const LegoPart& part)
    {
        const unsigned nodeCount = part.GetNodeCount();
        first.assign(nodeCount + 1, 0);
        firstReferrer.assign(nodeCount + 1, 0);
        for (unsigned n = 0; n < nodeCount; ++n)
        {
            first[n] = child.size();
            for (const _LegoInstance& instance : part.GetNode(n)->children)
            {
                const bool isNode = NamesNode(instance.node, nodeCount);
                child.push_back(isNode ? instance.node : -1);
                parent.push_back(n);
                if (isNode)
                    ++firstReferrer[static_cast<unsigned>(instance.node) + 1];
            }
        }
        first[nodeCount] = child.size();
        for (unsigned n = 0; n < nodeCount; ++n)
            firstReferrer[n + 1] += firstReferrer[n];
        referrers.resize(firstReferrer[nodeCount]);
        std::vector<std::size_t> fill(firstReferrer.begin(), firstReferrer.end() - 1);
        for (std::size_t slot = 0; slot < child.size(); ++slot)
            if (child[slot] >= 0)
                referrers[fill[static_cast<unsigned>(child[slot])]++] = slot;
    }
};

}  // namespace

std::uint64_t PredictPeakTriangles(const LegoPart& part)
{
    const unsigned nodeCount = part.GetNodeCount();
    if (nodeCount == 0)
        return 0;
    ReferenceSlots slots(part);
    std::vector<std::uint64_t> held(nodeCount);
    std::uint64_t live = 0;
    for (unsigned n = 0; n < nodeCount; ++n)
    {
        held[n] = part.GetNode(n)->mesh.GetPolygonCount();
        live = AddSaturating(live, held[n]);
    }
    std::uint64_t peak = live;
    std::vector<char> isReleased(nodeCount, 0);
    std::vector<char> isOpen(nodeCount, 0);
    struct Frame
    {
        unsigned node;
        std::size_t nextSlot;
    };
    std::vector<Frame> stack;
    const auto enter = [&](int node)
    {
        if (node < 0 || isReleased[static_cast<unsigned>(node)] ||
            isOpen[static_cast<unsigned>(node)])
            return;
        isOpen[static_cast<unsigned>(node)] = 1;
        stack.push_back({static_cast<unsigned>(node), slots.first[static_cast<unsigned>(node)]});
    };
    // A finished node goes into every referrer still holding the reference,
    // then is released.
    const auto finish = [&](unsigned node)
    {
        for (std::size_t r = slots.firstReferrer[node]; r < slots.firstReferrer[node + 1]; ++r)
        {
            const std::size_t slot = slots.referrers[r];
            const unsigned referrer = slots.parent[slot];
            if (isReleased[referrer] || slots.child[slot] != static_cast<int>(node))
                continue;
            held[referrer] = AddSaturating(held[referrer], held[node]);
            live = AddSaturating(live, held[node]);
            slots.child[slot] = -1;
        }
        peak = std::max(peak, live);
        if (live != kSaturated)
            live -= held[node];
        held[node] = 0;
        isReleased[node] = 1;
        isOpen[node] = 0;
    };
    for (std::size_t root = slots.first[0]; root < slots.first[1]; ++root)
    {
        const int placed = slots.child[root];
        if (placed < 0)
            continue;
        const unsigned p = static_cast<unsigned>(placed);
        for (std::size_t s = slots.first[p]; s < slots.first[p + 1] && !isReleased[p]; ++s)
        {
            enter(slots.child[s]);
            while (!stack.empty())
            {
                Frame& frame = stack.back();
                if (frame.nextSlot < slots.first[frame.node + 1] && !isReleased[frame.node])
                {
                    enter(slots.child[frame.nextSlot++]);
                    continue;
                }
                const unsigned done = frame.node;
                stack.pop_back();
                finish(done);
            }
        }
    }
    return peak;
}
