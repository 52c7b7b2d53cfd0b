#include "clean/instancing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "clean/librarymerge.h"
#include "clean/treeops.h"
#include "model/parallel.h"

namespace
{

using cleaning::NamesNode;
using instancing::Bake;
using instancing::IsTrs;
using instancing::Multiply;
using instancing::PartGeometry;
using instancing::Resolve;

// A node's triangles: a part's with everything below it, a model's its own.
struct GeometrySource
{
    unsigned node;
    bool ownOnly;
    bool operator<(const GeometrySource& other) const
    {
        return node != other.node ? node < other.node : ownOnly < other.ownOnly;
    }
};

class SceneBuilder
{
public:
    SceneBuilder(const LegoPart& tree, const ColorTable& table) : part(tree), colours(table) {}
    InstancedScene Build();

private:
    int MeshFor(const GeometrySource& source, int color);
    // A mesh of its own for one placement whose matrix is no TRS.
    int BakedMeshFor(const GeometrySource& source, int color, const Matrix4x4& transform);
    int SourceIndex(const GeometrySource& source);
    void PlaceNodes();
    void FillMeshes();

    const LegoPart& part;
    const ColorTable& colours;
    InstancedScene scene;
    std::map<GeometrySource, int> sourceIndex;
    std::vector<GeometrySource> sources;
    struct MeshKey
    {
        int source;
        int color;
        int bake;  // index in `bakes`, -1 for none
    };
    std::map<std::pair<int, int>, int> meshIndex;  // (source, colour) -> mesh
    std::vector<MeshKey> meshKeys;
    std::vector<Matrix4x4> bakes;
};

int SceneBuilder::SourceIndex(const GeometrySource& source)
{
    auto found = sourceIndex.emplace(source, static_cast<int>(sources.size()));
    if (found.second)
        sources.push_back(source);
    return found.first->second;
}

int SceneBuilder::MeshFor(const GeometrySource& source, int color)
{
    const std::pair<int, int> key(SourceIndex(source), color);
    auto mesh = meshIndex.emplace(key, static_cast<int>(meshKeys.size()));
    if (mesh.second)
        meshKeys.push_back({key.first, color, -1});
    return mesh.first->second;
}

int SceneBuilder::BakedMeshFor(const GeometrySource& source, int color, const Matrix4x4& transform)
{
    bakes.push_back(transform);
    meshKeys.push_back({SourceIndex(source), color, static_cast<int>(bakes.size() - 1)});
    return static_cast<int>(meshKeys.size() - 1);
}

void SceneBuilder::PlaceNodes()
{
    const std::size_t count = part.GetNodeCount();
    const _LegoNode& model = *part.GetNode(0);
    SceneNode root;
    root.name = model.name;
    if (model.mesh.GetPolygonCount() != 0)
        root.mesh = MeshFor({0, true}, LDrawColor::Main);
    scene.nodes.push_back(std::move(root));
    struct Frame
    {
        unsigned node;
        int sceneNode;
        int color;
        std::size_t next;
        Matrix4x4 carried;  // a matrix no node could take, for the children
    };
    std::vector<char> isOnPath(count, 0);
    std::vector<Frame> stack{{0, 0, LDrawColor::Main, 0, Matrix4x4()}};
    isOnPath[0] = 1;
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        const std::vector<_LegoInstance>& children = part.GetNode(frame.node)->children;
        if (frame.next == children.size())
        {
            isOnPath[frame.node] = 0;
            stack.pop_back();
            continue;
        }
        const _LegoInstance& instance = children[frame.next++];
        if (!NamesNode(instance.node, count))
            continue;
        const unsigned c = static_cast<unsigned>(instance.node);
        const _LegoNode& child = *part.GetNode(c);
        const bool isModel = child.kind == NodeKind::Model;
        if (child.kind == NodeKind::Deleted || (isModel && isOnPath[c]))
            continue;
        SceneNode node;
        node.name = child.name;
        node.transform = Multiply(frame.carried, instance.transform);
        node.color = Resolve(instance.color, frame.color, colours);
        // A matrix that is no translation, rotation and scale is baked into
        // the node's mesh and carried down to the children.
        Matrix4x4 carried;
        if (!IsTrs(node.transform))
            std::swap(carried, node.transform);
        const GeometrySource source{c, isModel};
        if (!isModel || child.mesh.GetPolygonCount() != 0)
            node.mesh = IsTrs(carried) ? MeshFor(source, node.color)
                                       : BakedMeshFor(source, node.color, carried);
        const int index = static_cast<int>(scene.nodes.size());
        scene.nodes[static_cast<std::size_t>(frame.sceneNode)].children.push_back(index);
        const int color = node.color;
        scene.nodes.push_back(std::move(node));
        if (isModel)
        {
            isOnPath[c] = 1;
            stack.push_back({c, index, color, 0, carried});  // `frame` is not used again
        }
    }
}

void SceneBuilder::FillMeshes()
{
    std::vector<PartGeometry> geometry(sources.size());
    {
        instancing::LibraryMerger merger(part, colours);
        std::vector<LEGOPolyMesh> meshes(sources.size());
        for (std::size_t s = 0; s < sources.size(); ++s)
        {
            if (sources[s].ownOnly)
            {
                meshes[s] = part.GetNode(sources[s].node)->mesh;
                continue;
            }
            merger.Merge(sources[s].node);
        }
        merger.MergeNoted();
        // Merging is over before any mesh is taken: a part may lie below another.
        for (std::size_t s = 0; s < sources.size(); ++s)
            if (!sources[s].ownOnly)
                meshes[s] = merger.Take(sources[s].node);
        Parallel::For(sources.size(), 1,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t s = begin; s < end; ++s)
                              geometry[s] = instancing::MakeGeometry(std::move(meshes[s]));
                      });
    }
    for (std::size_t s = 0; s < sources.size(); ++s)
        if (geometry[s].dropped != 0)
            cleaning::ReportDroppedTriangles(part.GetNode(sources[s].node)->name,
                                             geometry[s].dropped);

    scene.meshes.resize(meshKeys.size());
    Parallel::For(meshKeys.size(), 1,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t m = begin; m < end; ++m)
                      {
                          const int s = meshKeys[m].source;
                          const int color = meshKeys[m].color;
                          const PartGeometry& g = geometry[static_cast<std::size_t>(s)];
                          SceneMesh& mesh = scene.meshes[m];
                          mesh.name = part.GetNode(sources[static_cast<std::size_t>(s)].node)->name;
                          mesh.positions = g.positions;
                          mesh.normals = g.normals;
                          if (meshKeys[m].bake >= 0)
                              Bake(bakes[static_cast<std::size_t>(meshKeys[m].bake)], mesh);
                          std::map<int, std::vector<std::uint32_t>> byColor;
                          for (std::size_t f = 0; f < g.colors.size(); ++f)
                          {
                              std::vector<std::uint32_t>& indices =
                                  byColor[Resolve(g.colors[f], color, colours)];
                              indices.insert(indices.end(), &g.corners[3 * f],
                                             &g.corners[3 * f] + 3);
                          }
                          for (auto& entry : byColor)
                              mesh.primitives.push_back({entry.first, std::move(entry.second)});
                      }
                  });
}

InstancedScene SceneBuilder::Build()
{
    if (part.GetNodeCount() == 0)
        return scene;
    PlaceNodes();
    FillMeshes();
    // Meshes without triangles (parts whose files hold none) are left out.
    std::vector<int> newIndex(scene.meshes.size(), -1);
    std::size_t kept = 0;
    for (std::size_t m = 0; m < scene.meshes.size(); ++m)
    {
        if (scene.meshes[m].primitives.empty())
            continue;
        newIndex[m] = static_cast<int>(kept);
        if (kept != m)
            scene.meshes[kept] = std::move(scene.meshes[m]);
        ++kept;
    }
    scene.meshes.resize(kept);
    for (SceneNode& node : scene.nodes)
        if (node.mesh >= 0)
            node.mesh = newIndex[static_cast<std::size_t>(node.mesh)];
    return std::move(scene);
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

constexpr char kInProgress = 1;
constexpr char kDone = 2;

bool IsModel(const LegoPart& part, unsigned node)
{
    return part.GetNode(node)->kind == NodeKind::Model;
}

// Calls visit(n) for `root` and every node below it that follow(n) accepts,
// each after the nodes below it and once, by an explicit stack; `state`
// (one entry per node, 0 when not yet seen) becomes kDone for each. A
// reference to a node in progress (a cycle) is not followed.
template <typename Follow, typename Visit>
void VisitChildrenFirst(const LegoPart& part, unsigned root, std::vector<char>& state,
                        Follow follow, Visit visit)
{
    if (state[root] != 0)
        return;
    const std::size_t count = part.GetNodeCount();
    struct Frame
    {
        unsigned node;
        std::size_t next;
    };
    std::vector<Frame> stack{{root, 0}};
    state[root] = kInProgress;
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        const std::vector<_LegoInstance>& children = part.GetNode(frame.node)->children;
        if (frame.next < children.size())
        {
            const int child = children[frame.next++].node;
            if (NamesNode(child, count) && state[static_cast<unsigned>(child)] == 0 &&
                follow(static_cast<unsigned>(child)))
            {
                state[static_cast<unsigned>(child)] = kInProgress;
                stack.push_back({static_cast<unsigned>(child), 0});
            }
            continue;
        }
        const unsigned done = frame.node;
        stack.pop_back();
        visit(done);
        state[done] = kDone;
    }
}

}  // namespace

InstancedScene BuildInstancedScene(const LegoPart& asRead, const ColorTable& colours)
{
    return SceneBuilder(asRead, colours).Build();
}

InstancedScene BuildInstancedScene(const LegoPart& asRead)
{
    return BuildInstancedScene(asRead, asRead.Colours());
}

std::uint64_t CountScenePlacements(const LegoPart& asRead)
{
    const std::size_t count = asRead.GetNodeCount();
    if (count == 0)
        return 0;
    // Nodes below and including each model node.
    std::vector<std::uint64_t> placements(count, 0);
    std::vector<char> state(count, 0);
    VisitChildrenFirst(
        asRead, 0, state, [&](unsigned child) { return IsModel(asRead, child); },
        [&](unsigned node)
        {
            std::uint64_t total = 1;
            for (const _LegoInstance& instance : asRead.GetNode(node)->children)
            {
                if (!NamesNode(instance.node, count))
                    continue;
                const unsigned c = static_cast<unsigned>(instance.node);
                if (IsModel(asRead, c))
                    total = SaturatingAdd(total, state[c] == kDone ? placements[c] : 0);
                else if (asRead.GetNode(c)->kind != NodeKind::Deleted)
                    total = SaturatingAdd(total, 1);
            }
            placements[node] = total;
        });
    return placements[0];
}

std::uint64_t CountInstancedTriangles(const LegoPart& asRead)
{
    const std::size_t count = asRead.GetNodeCount();
    if (count == 0)
        return 0;
    // Triangles of each node with everything below it merged in.
    std::vector<std::uint64_t> merged(count, 0);
    std::vector<char> state(count, 0);
    auto mergeNode = [&](unsigned node)
    {
        std::uint64_t total = asRead.GetNode(node)->mesh.GetPolygonCount();
        for (const _LegoInstance& instance : asRead.GetNode(node)->children)
            if (NamesNode(instance.node, count) &&
                state[static_cast<unsigned>(instance.node)] == kDone)
                total = SaturatingAdd(total, merged[static_cast<unsigned>(instance.node)]);
        merged[node] = total;
    };
    // The parts that model nodes place, and the models' own triangles.
    std::vector<char> modelState(count, 0);
    std::vector<char> isCounted(count, 0);
    std::uint64_t total = 0;
    VisitChildrenFirst(
        asRead, 0, modelState, [&](unsigned child) { return IsModel(asRead, child); },
        [&](unsigned node)
        {
            total = SaturatingAdd(total, asRead.GetNode(node)->mesh.GetPolygonCount());
            for (const _LegoInstance& instance : asRead.GetNode(node)->children)
            {
                if (!NamesNode(instance.node, count))
                    continue;
                const unsigned c = static_cast<unsigned>(instance.node);
                if (IsModel(asRead, c) || isCounted[c])
                    continue;
                isCounted[c] = 1;
                VisitChildrenFirst(
                    asRead, c, state, [](unsigned) { return true; }, mergeNode);
                total = SaturatingAdd(total, merged[c]);
            }
        });
    return total;
}

std::uint64_t CountPlacedTriangles(const InstancedScene& scene)
{
    std::uint64_t total = 0;
    for (const SceneNode& node : scene.nodes)
    {
        if (node.mesh < 0)
            continue;
        for (const SceneMesh::Primitive& primitive :
             scene.meshes[static_cast<std::size_t>(node.mesh)].primitives)
            total += primitive.indices.size() / 3;
    }
    return total;
}
