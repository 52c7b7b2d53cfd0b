#include <algorithm>
#include <vector>

#include "clean/treeops.h"
#include "model/legopart.h"
#include "model/parallel.h"
#include "model/stagetimer.h"

namespace
{

using cleaning::NamesNode;

// One scan from node 0 that removes every node `isRemovable` accepts, each
// judged when the scan reaches it: nodes removed earlier are gone from its
// children by then, nodes behind the scan are never judged again. The scan
// removes nodes one at a time; the erasure itself happens once at the end.
template <typename Test>
void PruneNodes(std::vector<_LegoNode>& nodes, Test isRemovable)
{
    std::vector<char> isErased(nodes.size(), 0);
    bool anyErased = false;
    for (std::size_t i = 0; i < nodes.size(); ++i)
    {
        isErased[i] = isRemovable(nodes[i], isErased);
        anyErased = anyErased || isErased[i];
    }
    if (anyErased)
        cleaning::EraseNodes(nodes, isErased);
}

}  // namespace

void LegoPart::CleanGeometry(const clean_t& options)
{
    // 1. Nodes without triangles and without children. A reference to a node
    // the scan already removed no longer counts as a child.
    PruneNodes(nodes,
               [](const _LegoNode& node, const std::vector<char>& isErased)
               {
                   if (node.mesh.GetPolygonCount() != 0)
                       return false;
                   return std::all_of(node.children.begin(), node.children.end(),
                                      [&](const _LegoInstance& instance)
                                      {
                                          return NamesNode(instance.node, isErased.size()) &&
                                                 isErased[static_cast<unsigned>(instance.node)];
                                      });
               });

    StageTimer::Mark("prune");

    // 2. Everything into the root, deepest index first; the root itself stays.
    if (options.flattenAll && nodes.size() > 1)
    {
        cleaning::Flattener flattener(colours, nodes);
        for (unsigned n = GetNodeCount() - 1; n >= 1; --n)
            flattener.Flatten(n, false);
    }

    StageTimer::Mark("flatten all");

    // 3. Nodes that step 2 retired.
    PruneNodes(nodes, [](const _LegoNode& node, const std::vector<char>&)
               { return node.kind == NodeKind::Deleted; });

    StageTimer::Mark("remove deleted");

    // 4. The library files below each part into the part. The nodes retired
    // here stay in place, empty, and are skipped from now on.
    if (options.flattenToParts && !options.flattenAll)
        FlattenToParts(false);

    StageTimer::Mark("flatten to parts");

    // 5. Normals, after all merging, each mesh on its own (the largest
    // first). Nothing is merged into these meshes any more: their lookups go.
    Parallel::ForEach(nodes.size(),
                      [&, order = cleaning::NodesByPolygonCount(nodes)](std::size_t i)
                      {
                          LEGOPolyMesh& mesh = nodes[order[i]].mesh;
                          if (mesh.GetPolygonCount() > 0)
                              mesh.CreateNormals(options.smoothNormals);
                          mesh.ReleaseLookups();
                      });

    StageTimer::Mark("normals");

    // 6. References disconnected by flattening (-1), and any other that names
    // no node, which nothing after this point could follow.
    const std::size_t nodeCount = nodes.size();
    for (_LegoNode& node : nodes)
    {
        std::vector<_LegoInstance>& children = node.children;
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [&](const _LegoInstance& instance)
                                      { return !NamesNode(instance.node, nodeCount); }),
                       children.end());
    }

    StageTimer::Mark("drop references");

    // 7. One colour per node.
    FixColorErrors();

    StageTimer::Mark("split colours");

    // 8. The whole scene about the origin.
    if (options.scale || options.boxFlag)
    {
        Parallel::ForEach(GetNodeCount(),
                          [&, order = cleaning::NodesByPolygonCount(nodes)](std::size_t i)
                          { ScaleNode(order[i], options.scaleFactor, true); });
    }

    StageTimer::Mark("scale");

    // 9. Boxes in the scaled coordinates.
    ComputeBoundingBoxes();
    AddBoundingBoxGeometry();
    StageTimer::Mark("bounding boxes");
}
