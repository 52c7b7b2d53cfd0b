#pragma once

// The parts of an instanced scene: library geometry merged into each part and
// made ready to draw. Used by the scene builder only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clean/instancing.h"

namespace instancing
{

// The colour a face of code `face` takes through a placement of colour
// `placed`, as merging gives it: 16 the placement's, 24 its edge colour.
int Resolve(int face, int placed, const ColorTable& colours);

// Every library node's triangles with all nodes below it merged in, each
// merged once and kept for the nodes above it.
class LibraryMerger
{
public:
    LibraryMerger(const LegoPart& tree, const ColorTable& table)
        : part(tree),
          colours(table),
          merged(tree.GetNodeCount(), nullptr),
          owned(tree.GetNodeCount()),
          state(tree.GetNodeCount(), kUnvisited),
          finishedAt(tree.GetNodeCount(), kNotFinished),
          droppedAt(tree.GetNodeCount(), 0)
    {
    }
    // Reports, one line per node, the triangles that placing dropped.
    ~LibraryMerger();
    LibraryMerger(const LibraryMerger&) = delete;
    LibraryMerger& operator=(const LibraryMerger&) = delete;

    // Notes the node and every node below it (children first, by an
    // explicit stack) for merging, unless noted before. A child that is
    // still being walked when its parent is finished (a cycle) is left out
    // of the parent.
    void Merge(unsigned root);
    // Merges the nodes noted since the last call: the nodes whose children
    // are all merged go at once, on every job. Each node's triangles are
    // those of merging the nodes one by one in the order noted.
    void MergeNoted();
    // The merged triangles of a node that MergeNoted has reached, for
    // changing: a node without children hands out a copy of its own mesh.
    LEGOPolyMesh Take(unsigned node)
    {
        if (owned[node])
            return std::move(*owned[node]);
        return merged[node] != nullptr ? *merged[node] : LEGOPolyMesh();
    }

private:
    enum State : char
    {
        kUnvisited,
        kInProgress,
        kDone
    };
    static constexpr std::size_t kNotFinished = ~std::size_t(0);
    // True when `child`, a child of `node`, is merged into it: it was
    // finished before it.
    bool IsMergedInto(int child, unsigned node) const;
    void Build(unsigned node);
    // Places the triangles of `source` into `target`; returns how many were
    // dropped.
    unsigned long long Place(LEGOPolyMesh& target, const LEGOPolyMesh& source,
                             const _LegoInstance& instance);

    const LegoPart& part;
    const ColorTable& colours;
    std::vector<const LEGOPolyMesh*> merged;
    std::vector<std::unique_ptr<LEGOPolyMesh>> owned;
    std::vector<char> state;
    // The noted nodes not yet merged, children first, and each noted node's
    // place in the order of all noted nodes.
    std::vector<unsigned> noted;
    std::vector<std::size_t> finishedAt;
    std::size_t finishedCount = 0;
    std::vector<unsigned long long> droppedAt;
    std::map<std::string, unsigned long long> dropped;
};

// One part's triangles ready to draw: vertices split by normal, in float.
struct PartGeometry
{
    std::vector<float> positions;
    std::vector<float> normals;
    std::vector<std::uint32_t> corners;  // three per triangle
    std::vector<int> colors;             // per triangle, as merged
    unsigned long long dropped = 0;      // triangles beyond the range of floats
};

// `n` scaled to unit length in float; a normal that is zero or not a number
// (a triangle without area) becomes LDraw's up.
void UnitNormal(const Vector3& n, float out[3]);

// Smoothed corner normals for the merged triangles, then every vertex split
// by normal, in float. Triangles with a corner beyond the range of floats are
// left out and counted.
PartGeometry MakeGeometry(LEGOPolyMesh mesh);

// a times b.
Matrix4x4 Multiply(const Matrix4x4& a, const Matrix4x4& b);

// True when the matrix is a translation, a rotation and a scale (glTF's
// TRS) to within 1e-5 in every element: no shear, nothing flattened.
bool IsTrs(const Matrix4x4& M);

// Places a mesh's vertices by `M` and its normals by the inverse transpose.
void Bake(const Matrix4x4& M, SceneMesh& mesh);

}  // namespace instancing
