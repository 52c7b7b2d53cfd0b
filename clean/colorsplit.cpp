#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "model/legopart.h"

namespace
{

// Up to this many distinct colour codes are collected without duplicates.
constexpr std::size_t kFewCodes = 16;

}  // namespace

void LegoPart::FixColorErrors()
{
    // Colour nodes are appended behind the nodes present now and never split.
    const unsigned nodeCount = GetNodeCount();
    std::vector<std::uint32_t> codes;
    std::vector<unsigned> targets;
    for (unsigned n = 0; n < nodeCount; ++n)
    {
        const unsigned faceCount = nodes[n].mesh.GetPolygonCount();
        // The distinct codes, ordered by bit pattern: a negative code comes
        // after every other one. Parts carry few codes, so they are gathered
        // with a short scan and sorted; many codes are sorted all together.
        codes.clear();
        for (unsigned f = 0; f < faceCount; ++f)
        {
            const std::uint32_t code = static_cast<std::uint32_t>(nodes[n].mesh.FaceColor(f));
            if (codes.size() > kFewCodes)
                codes.push_back(code);
            else if (std::find(codes.begin(), codes.end(), code) == codes.end())
                codes.push_back(code);
        }
        std::sort(codes.begin(), codes.end());
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
        if (codes.size() < 2)
            continue;

        targets.clear();
        for (const std::uint32_t code : codes)
        {
            const unsigned target = static_cast<unsigned>(NewNodeIndex());
            targets.push_back(target);
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

        // No node is appended from here on, so references stay valid. A
        // vertex used by faces of one colour is merged into that colour's
        // node once; a position always merges into the same vertex there.
        nodes[n].mesh.ReleaseLookups();  // emptied below; only read until then
        const LEGOPolyMesh& source = nodes[n].mesh;
        constexpr unsigned kNoTarget = ~0u;
        struct Placement
        {
            unsigned target;
            unsigned vertex;
        };
        std::vector<Placement> placed(source.GetVertexCount(), Placement{kNoTarget, 0});
        for (unsigned f = 0; f < faceCount; ++f)
        {
            const int color = source.FaceColor(f);
            const std::size_t j =
                std::lower_bound(codes.begin(), codes.end(), static_cast<std::uint32_t>(color)) -
                codes.begin();
            LEGOPolyMesh& target = nodes[targets[j]].mesh;
            unsigned corners[3];
            Vector3 normals[3];
            const bool hasRecord = f < source.GetFaceCount();
            for (unsigned k = 0; k < 3; ++k)
            {
                const unsigned vertex = source.GetPolygonVertexIndex(f, k);
                if (placed[vertex].target != j)
                    placed[vertex] = {static_cast<unsigned>(j),
                                      target.MergeVertex(source.GetVertex(vertex))};
                corners[k] = placed[vertex].vertex;
                normals[k] = hasRecord ? source.FaceNormal(f, k) : Vector3();
            }
            const unsigned face = target.AddPolygonOnVertices(3, corners);
            target.FaceColor(face) = color;
            target.SetFaceNormals(face, 3, normals);
        }
        nodes[n].mesh.Clear();
        for (const unsigned target : targets)
            nodes[target].mesh.ReleaseLookups();
    }
}
