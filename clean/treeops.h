#pragma once

// Work on the node vector shared by the cleaning stages. The members of
// LegoPart that the stages define hand their `nodes` to these functions.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "model/buckets.h"
#include "model/legopart.h"

namespace cleaning
{

// True when a reference's `node` names one of `nodeCount` nodes (not -1, not
// past the end).
inline bool NamesNode(int reference, std::size_t nodeCount)
{
    return reference >= 0 && static_cast<std::size_t>(reference) < nodeCount;
}

// Every node index, the nodes with most polygons first (ties by index): the
// order in which to hand out per-node work.
std::vector<unsigned> NodesByPolygonCount(const std::vector<_LegoNode>& nodes);

// The colour a face of code `faceColor` gets when it is merged through a
// reference of colour `referenceColor`.
int MergedColor(const ColorTable& colours, int faceColor, int referenceColor);

// Appends the triangles of the node that nodes[parent].children[reference]
// names to nodes[parent], placed and recoloured by that reference. A reference
// that names no node, or a position that does not exist, adds nothing. A
// triangle that the placement carries beyond the range of doubles (a corner
// overflows to infinity or becomes NaN) is dropped; returns how many were.
unsigned MergeReference(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                        unsigned reference, bool copyNormals);

// The same for a placement given whole: the triangles of the node it names,
// placed and recoloured by it, appended to nodes[parent].
// `keepLookups` false tells that nothing merges into the parent afterwards,
// so its vertex lookup need not learn the new vertices.
unsigned MergeInstance(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                       const _LegoInstance& placement, bool copyNormals, bool keepLookups = true);

// A lower bound on how far apart two points at least `apart` from each other
// are once placed by M and rounded, for points within `extent` of the origin
// on each axis; 0 when M may bring them closer, as far as can be told.
double PlacedSeparation(const Matrix4x4& M, double apart, const Vector3& extent);

// Whether every corner of `source` names a vertex that an earlier corner
// names or the next one, and every vertex is named: its vertices are
// numbered in the order its triangles' corners first use them.
bool IsInFirstUseOrder(const PolyMesh& source);

// The box of the mesh's own vertices, as a node's box starts: from the
// values of the empty box, each vertex taken in order.
void VertexBox(const PolyMesh& mesh, Vector3& boxMax, Vector3& boxMin);

// The one "Error: " line for triangles that placing dropped from a node.
void ReportDroppedTriangles(const std::string& nodeName, unsigned long long count);

// Empties the node and marks it deleted; it keeps its index.
void RetireNode(_LegoNode& node);

// Erases every node whose flag is set, in one pass, with the result of erasing
// them one by one from the lowest index up: references to an erased node
// disappear, references to a kept node follow it, references past the end drop
// by the number erased, and negative ones stay.
void EraseNodes(std::vector<_LegoNode>& nodes, const std::vector<char>& isErased);

// Flattens nodes into the nodes that reference them, children first. Every
// reference to a node is found through an index built once, so a series of
// Flatten calls costs one pass over the references in all, and an explicit
// stack keeps chains of any depth off the call stack.
//
// The index stays valid while flattening runs because references only ever
// change to -1 (after a merge) or vanish (a retired node's list is cleared);
// each site is checked again before it is used. No node may be added or
// removed, and no reference set, while a Flattener is alive.
class Flattener
{
public:
    Flattener(const ColorTable& colours, std::vector<_LegoNode>& nodes);
    // Reports, one line per node, the triangles dropped while merging.
    ~Flattener();
    Flattener(const Flattener&) = delete;
    Flattener& operator=(const Flattener&) = delete;

    // Merges `node`, after its own descendants, into every node that references
    // it (in node order, then reference order), sets those references to -1 and
    // retires it. Nothing happens for an index past the end (-1 included), a
    // deleted node, or a node whose flattening is already under way (a cycle).
    void Flatten(unsigned node, bool copyNormals);

    // Makes room in the node's mesh, once, for the triangles it holds when
    // everything below it is merged in: for a node that is flattened whole.
    void ReserveWhole(unsigned node);

    // From now on Flatten only decides: it changes references and retires
    // nodes as it always does, but notes each merge (and each room to make)
    // instead of making it. Play makes them all.
    void Record() { isRecording = true; }
    // Makes the merges noted since Record, each reading its source as the
    // noted order had it. Nodes whose sources are all whole are filled at
    // once, each on a job of its own; a node that is read before it is whole
    // (a reference cycle) plays everything in the noted order.
    void Play(bool copyNormals);

private:
    struct Merge
    {
        unsigned source;
        unsigned target;
        _LegoInstance instance;
    };
    void ReserveMesh(unsigned node);
    void Retire(unsigned node);

    struct Site
    {
        unsigned parent;
        unsigned reference;
    };

    struct Frame
    {
        unsigned node;
        unsigned nextChild;
        unsigned childCount;  // taken when the node's flattening starts
    };

    bool Enter(unsigned node);
    // The triangles of every node with everything below it merged in, a
    // reference that closes a cycle counting none.
    void CountWholeTriangles();
    void MergeIntoReferrers(unsigned node, bool copyNormals);

    const ColorTable& colours;
    std::vector<_LegoNode>& nodes;
    // Sites naming node n: sites[firstSite[n]] up to sites[firstSite[n + 1]],
    // ordered by parent, then by position in the parent.
    std::vector<unsigned> firstSite;
    std::vector<Site, UnsetItemsAllocator<Site>> sites;
    std::vector<char> isFlattening;
    std::vector<std::uint64_t> wholeTriangles;
    std::vector<char> isReserved;
    bool isRecording = false;
    std::vector<Merge> merges;
    std::vector<char> wantsRoom;  // ReserveWhole while recording
    std::vector<char> isRetired;  // while recording; the mesh is kept
    std::map<unsigned, std::string> retiredNames;
    std::vector<Frame> stack;
    // Node index -> its name when the first triangle was dropped from it, and
    // how many were.
    std::map<unsigned, std::pair<std::string, unsigned long long>> dropped;
};

}  // namespace cleaning
