#include "model/legopart.h"

#include "model/asciicase.h"

namespace
{

// A new node's box is empty: its maximum lies below its minimum.
constexpr double kEmptyBoxLimit = 1000000.0;

}  // namespace

_LegoNode::_LegoNode()
    : boxMax(-kEmptyBoxLimit, -kEmptyBoxLimit, -kEmptyBoxLimit),
      boxMin(kEmptyBoxLimit, kEmptyBoxLimit, kEmptyBoxLimit)
{
}

bool IsBoundingBoxesNode(const _LegoNode& node, unsigned index)
{
    return index != 0 && node.kind == NodeKind::Model &&
           EqualsIgnoringAsciiCase(node.name, kBoundingBoxesName);
}

int NodeColor(const _LegoNode& node)
{
    return node.mesh.GetPolygonCount() > 0 ? node.mesh.FaceColor(0u) : LDrawColor::Main;
}

int LegoPart::NewNodeIndex()
{
    nodes.emplace_back();
    return static_cast<int>(nodes.size() - 1);
}

int LegoPart::FindNode(const char* name) const
{
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (EqualsIgnoringAsciiCase(nodes[i].name, name))
            return static_cast<int>(i);
    return -1;
}

const _LegoNode* LegoPart::GetNode(unsigned i) const
{
    return i < nodes.size() ? &nodes[i] : nullptr;
}

_LegoNode* LegoPart::GetNode(unsigned i)
{
    return i < nodes.size() ? &nodes[i] : nullptr;
}

_LegoNode& LegoPart::Node(unsigned i)
{
    // Made on first use, shared by every part, kept until the program ends.
    static _LegoNode sharedDefaultNode;
    return i < nodes.size() ? nodes[i] : sharedDefaultNode;
}

void LegoPart::Clear()
{
    std::vector<_LegoNode>().swap(nodes);
}
