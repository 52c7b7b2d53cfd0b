#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "clean/treeops.h"
#include "model/buckets.h"
#include "model/legopart.h"
#include "model/parallel.h"

namespace
{

// Up to this many distinct colour codes are collected without duplicates.
constexpr std::size_t kFewCodes = 16;

// The distinct codes of a mesh's faces, ordered by bit pattern: a negative
// code comes after every other one. Parts carry few codes, so they are
// gathered with a short scan and sorted; many codes are sorted all together.
std::vector<std::uint32_t> DistinctCodes(const LEGOPolyMesh& mesh)
{
    std::vector<std::uint32_t> codes;
    const unsigned faceCount = mesh.GetPolygonCount();
    for (unsigned f = 0; f < faceCount; ++f)
    {
        const std::uint32_t code = static_cast<std::uint32_t>(mesh.FaceColor(f));
        // Few codes: kept unique as found; many: all kept, made unique below.
        if (codes.size() > kFewCodes || std::find(codes.begin(), codes.end(), code) == codes.end())
            codes.push_back(code);
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
}

// Copies every face of `source` into the target of its colour, `targets[j]`
// taking the faces of codes[j], and empties the source. A vertex used by
// faces of one colour is merged into that colour's node once; a position
// always merges into the same vertex there.
void SplitMesh(LEGOPolyMesh& source, const std::vector<std::uint32_t>& codes,
               const std::vector<LEGOPolyMesh*>& targets)
{
    source.ReleaseLookups();  // emptied below; only read until then
    const unsigned faceCount = source.GetPolygonCount();
    // The faces of each target in face order; one target is filled at a time.
    const Buckets<unsigned> byTarget = BuildBuckets<unsigned>(
        codes.size(),
        [&](auto emit)
        {
            for (unsigned f = 0; f < faceCount; ++f)
            {
                const std::uint32_t code = static_cast<std::uint32_t>(source.FaceColor(f));
                emit(static_cast<std::size_t>(std::lower_bound(codes.begin(), codes.end(), code) -
                                              codes.begin()),
                     f);
            }
        });

    constexpr unsigned kNoTarget = ~0u;
    constexpr unsigned kCounted = 1u << 31;
    struct Placement
    {
        unsigned target;
        unsigned vertex;
    };
    std::vector<Placement> placed(source.GetVertexCount(), Placement{kNoTarget, 0});
    // Vertices that were merged as they came are all farther apart than the
    // merge distance, so no target vertex would merge with another: each is
    // added when first used.
    const bool isApart = source.AreVerticesApart();
    // The largest colour is taken out of the source in place, after the
    // others are copied: the source and a copy of it are never held at once.
    unsigned inPlace = kNoTarget;
    if (source.CanKeepFacesInPlace())
    {
        inPlace = 0;
        for (unsigned j = 1; j < targets.size(); ++j)
            if (byTarget.first[j + 1] - byTarget.first[j] >
                byTarget.first[inPlace + 1] - byTarget.first[inPlace])
                inPlace = j;
    }
    // The source's colours are read no more: the faces that stay in it have
    // that colour, which it keeps once for them all from here on.
    if (inPlace != kNoTarget)
        source.SetUniformFaceColors(faceCount, static_cast<int>(codes[inPlace]));
    // Every face of a target has the target's colour: its face records are
    // made first, with that colour kept once for them all, so that the
    // normals can be dealt out to them while the copying goes on.
    for (unsigned j = 0; j < targets.size(); ++j)
    {
        if (j == inPlace)
            continue;
        const unsigned count = byTarget.first[j + 1] - byTarget.first[j];
        targets[j]->SetUniformFaceColors(count, static_cast<int>(codes[j]));
        targets[j]->ReservePolygons(count);
    }
    const auto copyFaces = [&]()
    {
        for (unsigned j = 0; j < targets.size(); ++j)
        {
            if (j == inPlace)
                continue;
            LEGOPolyMesh& target = *targets[j];
            // Room for the distinct vertices of the target's faces, as many as
            // it gets when they are apart; they are marked counted for this
            // target, which still reads as not placed in it.
            const unsigned counted = j | kCounted;
            unsigned used = 0;
            for (unsigned i = byTarget.first[j]; i < byTarget.first[j + 1]; ++i)
                for (unsigned k = 0; k < 3; ++k)
                {
                    unsigned& mark =
                        placed[source.GetPolygonVertexIndex(byTarget.items[i], k)].target;
                    if (mark != counted)
                    {
                        mark = counted;
                        ++used;
                    }
                }
            target.ReserveVertices(used);
            for (unsigned i = byTarget.first[j]; i < byTarget.first[j + 1]; ++i)
            {
                const unsigned f = byTarget.items[i];
                unsigned corners[3];
                for (unsigned k = 0; k < 3; ++k)
                {
                    const unsigned vertex = source.GetPolygonVertexIndex(f, k);
                    if (placed[vertex].target != j)
                    {
                        const Vector3 position = source.GetVertex(vertex);
                        placed[vertex] = {j, isApart ? target.AddVertexApart(position)
                                                     : target.MergeVertex(position)};
                    }
                    corners[k] = placed[vertex].vertex;
                }
                const unsigned face = target.AddPolygonOnVertices(3, corners);
                // Moved over below instead, when the largest colour stays in place.
                if (inPlace == kNoTarget)
                    target.CopyFaceNormals(face, source, f);
            }
            target.ReleaseLookups();
            // Its corners carry the normals, as the source's did.
            target.ReleasePolygonNormals();
        }
    };
    if (inPlace == kNoTarget)
        copyFaces();
    else
    {
        // The normals are dealt out in one pass that frees what it has read,
        // so the source's and the copies' are never all held at once. It
        // reads and writes normals alone, which the copying leaves alone:
        // for a large mesh the two go on at once.
        const auto dealNormals = [&]()
        {
            // Each face's target, in a byte where there are few enough.
            const auto deal = [&](auto target)
            {
                std::vector<decltype(target)> targetOf(faceCount);
                for (unsigned j = 0; j < targets.size(); ++j)
                    for (unsigned i = byTarget.first[j]; i < byTarget.first[j + 1]; ++i)
                        targetOf[byTarget.items[i]] = static_cast<decltype(target)>(j);
                source.MoveNormalsOut(targetOf, inPlace, targets);
            };
            if (targets.size() <= 256)
                deal(std::uint8_t());
            else
                deal(0u);
        };
        constexpr unsigned kManyFaces = 65536;
        if (faceCount < kManyFaces)
        {
            copyFaces();
            dealNormals();
        }
        else
        {
            Parallel::ForEach(2,
                              [&](std::size_t task) { task == 0 ? copyFaces() : dealNormals(); });
        }
        std::vector<Placement>().swap(placed);
        // The vertex list keeps the room of the vertices that went: memory
        // already in use, where a list of the kept size would be a new block.
        source.KeepFaces(byTarget.items.data() + byTarget.first[inPlace],
                         byTarget.first[inPlace + 1] - byTarget.first[inPlace]);
        // The target is empty: the source is left so, and cleared below.
        std::swap(*targets[inPlace], source);
    }
    source.Clear();
}

}  // namespace

LegoPart::ColorSplitPlan LegoPart::PlanColorSplit()
{
    // Colour nodes are appended behind the nodes present now and never split.
    const unsigned nodeCount = GetNodeCount();
    ColorSplitPlan plan;
    plan.codes.resize(nodeCount);
    Parallel::ForEach(nodeCount, [&, order = cleaning::NodesByPolygonCount(nodes)](std::size_t i)
                      { plan.codes[order[i]] = DistinctCodes(nodes[order[i]].mesh); });

    // Every colour node first, in node order, then code order; no node is
    // appended after this, so the references below stay valid.
    plan.firstTarget.assign(nodeCount, 0);
    for (unsigned n = 0; n < nodeCount; ++n)
    {
        if (plan.codes[n].size() < 2)
            continue;
        plan.split.push_back(n);
        plan.firstTarget[n] = GetNodeCount();
        for (const std::uint32_t code : plan.codes[n])
        {
            const unsigned target = static_cast<unsigned>(NewNodeIndex());
            const int color = static_cast<int>(code);
            _LegoInstance instance;
            instance.color = color;
            instance.node = static_cast<int>(target);
            nodes[n].children.push_back(instance);
            _LegoNode& colorNode = nodes[target];
            colorNode.name = nodes[n].name + "_color_" + std::to_string(color);
            colorNode.kind = NodeKind::Part;
            colorNode.tag = 1;
        }
    }
    return plan;
}

void LegoPart::SplitNode(const ColorSplitPlan& plan, unsigned node, LEGOPolyMesh& faces)
{
    std::vector<LEGOPolyMesh*> targets;
    for (std::size_t j = 0; j < plan.codes[node].size(); ++j)
        targets.push_back(&nodes[plan.firstTarget[node] + j].mesh);
    SplitMesh(faces, plan.codes[node], targets);
}

void LegoPart::KeepSingleColorsOnce(const ColorSplitPlan& plan)
{
    Parallel::ForEach(plan.codes.size(),
                      [&](std::size_t n)
                      {
                          if (plan.codes[n].size() == 1)
                              nodes[n].mesh.ShareFaceColorIfAlike();
                      });
}

void LegoPart::FixColorErrors()
{
    const ColorSplitPlan plan = PlanColorSplit();
    KeepSingleColorsOnce(plan);
    // The largest nodes first; each writes only its own colour nodes.
    std::vector<unsigned> split = plan.split;
    std::stable_sort(split.begin(), split.end(),
                     [this](unsigned a, unsigned b)
                     { return nodes[a].mesh.GetPolygonCount() > nodes[b].mesh.GetPolygonCount(); });
    Parallel::ForEach(split.size(),
                      [&](std::size_t i) { SplitNode(plan, split[i], nodes[split[i]].mesh); });
}
