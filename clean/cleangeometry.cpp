#include <algorithm>
#include <cstdint>
#include <future>
#include <system_error>
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

// Normals of nodes [0, count) (the largest first), each mesh on its own,
// and the end of their lookups.
void CreateNormalsOf(std::vector<_LegoNode>& nodes, unsigned count, bool smooth)
{
    Parallel::ForEach(nodes.size(),
                      [&, order = cleaning::NodesByPolygonCount(nodes)](std::size_t i)
                      {
                          const unsigned n = order[i];
                          if (n >= count)
                              return;
                          LEGOPolyMesh& mesh = nodes[n].mesh;
                          if (mesh.GetPolygonCount() > 0)
                              mesh.CreateNormals(smooth);
                          mesh.ReleaseLookups();
                      });
}

// Scales nodes [0, count) and their references (the largest first).
void ScaleNodes(LegoPart& part, const std::vector<_LegoNode>& nodes, unsigned count, double factor)
{
    Parallel::ForEach(nodes.size(),
                      [&, order = cleaning::NodesByPolygonCount(nodes)](std::size_t i)
                      {
                          if (order[i] < count)
                              part.ScaleNode(order[i], factor, true);
                      });
}

}  // namespace

void LegoPart::MergeForCleaning(const clean_t& options)
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
}

void LegoPart::DropDanglingReferences()
{
    // References disconnected by flattening (-1), and any other that names no
    // node, which nothing after this point could follow.
    const std::size_t nodeCount = nodes.size();
    for (_LegoNode& node : nodes)
    {
        std::vector<_LegoInstance>& children = node.children;
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [&](const _LegoInstance& instance)
                                      { return !NamesNode(instance.node, nodeCount); }),
                       children.end());
    }
}

void LegoPart::CleanGeometry(const clean_t& options)
{
    // 1 to 4.
    MergeForCleaning(options);
    CleanMerged(options);
}

void LegoPart::CleanMerged(const clean_t& options)
{
    // 5. Normals, after all merging, each mesh on its own (the largest
    // first). Nothing is merged into these meshes any more: their lookups go.
    CreateNormalsOf(nodes, GetNodeCount(), options.smoothNormals);

    StageTimer::Mark("normals");

    // 6. References that name no node.
    DropDanglingReferences();

    StageTimer::Mark("drop references");

    // 7. One colour per node.
    FixColorErrors();

    StageTimer::Mark("split colours");

    // 8. The whole scene about the origin.
    if (options.scale || options.boxFlag)
        ScaleNodes(*this, nodes, GetNodeCount(), options.scaleFactor);

    StageTimer::Mark("scale");

    // 9. Boxes in the scaled coordinates.
    ComputeBoundingBoxes();
    AddBoundingBoxGeometry();
    StageTimer::Mark("bounding boxes");
}

void LegoPart::CleanGeometry(const clean_t& options, CleanedNodes& taker,
                             std::uint64_t batchTriangles)
{
    MergeForCleaning(options);
    // A tree of less than two batches would be made in one and gains
    // nothing: it is cleaned whole, then handed over. So is a tree with
    // nothing left, whose Bounding Boxes node becomes the root.
    std::uint64_t triangles = 0;
    for (const _LegoNode& node : nodes)
        triangles += node.mesh.GetPolygonCount();
    if (triangles <= 2 * batchTriangles)
    {
        CleanMerged(options);
        taker.Begin(*this, GetNodeCount());
        taker.End(*this, GetNodeCount());
        return;
    }
    // The same steps in an order that gives the same tree: references are
    // dropped before the normals, which do not read them, and the colour
    // nodes are planned (appended, empty) before any node is split.
    DropDanglingReferences();
    StageTimer::Mark("drop references");
    const unsigned firstLater = GetNodeCount();
    const ColorSplitPlan plan = PlanColorSplit();
    const bool isScaled = options.scale || options.boxFlag;
    // The nodes to split give their faces up now, so that they read as they
    // will once split; their normals are made with their colour nodes.
    std::vector<LEGOPolyMesh> faces(plan.split.size());
    for (std::size_t k = 0; k < plan.split.size(); ++k)
        std::swap(faces[k], nodes[plan.split[k]].mesh);
    CreateNormalsOf(nodes, firstLater, options.smoothNormals);
    KeepSingleColorsOnce(plan);
    StageTimer::Mark("normals");
    if (isScaled)
        ScaleNodes(*this, nodes, firstLater, options.scaleFactor);
    StageTimer::Mark("scale");
    taker.Begin(*this, firstLater);

    // The split nodes in node order, a batch at a time, each batch's colour
    // nodes made on every job, then taken and freed; their boxes are kept.
    // With more than one job a batch is taken on a thread of its own while
    // the next one is made.
    std::vector<char> isBoxKept(GetNodeCount(), 0);
    unsigned takenFirst = 0;
    unsigned takenEnd = 0;
    const auto freeTaken = [&]
    {
        for (unsigned t = takenFirst; t < takenEnd; ++t)
        {
            isBoxKept[t] = nodes[t].mesh.GetVertexCount() > 0 ? 1 : 0;
            nodes[t].mesh.Clear();
        }
        takenFirst = takenEnd = 0;
    };
    std::future<void> taking;  // waited for before anything above goes
    for (std::size_t begin = 0; begin < plan.split.size();)
    {
        std::size_t end = begin;
        std::uint64_t polygons = 0;
        while (end < plan.split.size() && polygons < batchTriangles)
            polygons += faces[end++].GetPolygonCount();
        std::vector<std::size_t> order(end - begin);
        for (std::size_t k = 0; k < order.size(); ++k)
            order[k] = begin + k;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b)
                         { return faces[a].GetPolygonCount() > faces[b].GetPolygonCount(); });
        Parallel::ForEach(order.size(),
                          [&](std::size_t i)
                          {
                              const std::size_t k = order[i];
                              const unsigned n = plan.split[k];
                              faces[k].CreateNormals(options.smoothNormals);
                              faces[k].ReleaseLookups();
                              SplitNode(plan, n, faces[k]);
                          });
        const unsigned batchFirst = plan.firstTarget[plan.split[begin]];
        const unsigned batchEnd = plan.firstTarget[plan.split[end - 1]] +
                                  static_cast<unsigned>(plan.codes[plan.split[end - 1]].size());
        // Then each colour node on its own: one huge node's are many.
        Parallel::ForEach(batchEnd - batchFirst,
                          [&](std::size_t i)
                          {
                              const unsigned t = batchFirst + static_cast<unsigned>(i);
                              if (isScaled)
                                  ScaleNode(t, options.scaleFactor, true);
                              cleaning::VertexBox(nodes[t].mesh, nodes[t].boxMax, nodes[t].boxMin);
                          });
        if (taking.valid())
            taking.get();
        freeTaken();
        takenFirst = batchFirst;
        takenEnd = batchEnd;
        // The last batch has nothing to go on with beside it.
        if (Parallel::Jobs() > 1 && end < plan.split.size())
        {
            // The interruptions stay with the threads that expect them.
            Parallel::StartWithoutInterruptions(
                [&, first = takenFirst, last = takenEnd]
                {
                    try
                    {
                        taking = std::async(std::launch::async, [&taker, this, first, last]
                                            { taker.Take(*this, first, last); });
                    }
                    catch (const std::system_error&)
                    {
                        // No thread to be had: taken below, on this one.
                    }
                });
        }
        if (!taking.valid())
            taker.Take(*this, takenFirst, takenEnd);
        begin = end;
    }
    if (taking.valid())
        taking.get();
    freeTaken();
    StageTimer::Mark("colour nodes");

    ComputeBoundingBoxes(isBoxKept);
    const unsigned firstBox = GetNodeCount();
    AddBoundingBoxGeometry();
    StageTimer::Mark("bounding boxes");
    taker.End(*this, firstBox);
}
