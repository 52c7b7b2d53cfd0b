#include "clean/expansion.h"

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
