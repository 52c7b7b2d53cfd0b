#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/matrix.h"
#include "model/colortable.h"
#include "model/legopolymesh.h"

// Origin of a node (`_LegoNode::kind`). Only Deleted changes behaviour:
// deleted nodes are skipped by cleaning and by writing.
namespace NodeKind
{
constexpr int Part = 0;       // found under the library's parts folder, or made by cleaning
constexpr int Primitive = 1;  // found under p
constexpr int Subpart = 2;    // found under parts/s
constexpr int Model = 3;      // the model file (and the Bounding Boxes node)
constexpr int Deleted = 4;
}  // namespace NodeKind

// One placed reference from a parent node to a child node.
struct _LegoInstance
{
    int color = LDrawColor::Main;  // LDraw colour code as read
    Matrix4x4 transform;           // child coordinates to parent coordinates
    int node = -1;                 // index in the part's nodes; -1 for none
};

// One node of the part tree: the contents of one file, or a node that
// cleaning made.
struct _LegoNode
{
    _LegoNode();

    std::string name;  // base name of the file, as written; the key of FindNode
    std::string note;  // kept as the tree's layout fixes it; nothing reads it
    std::vector<_LegoInstance> children;
    LEGOPolyMesh mesh;  // triangles in the node's own coordinates
    int tag = 0;        // kept as the tree's layout fixes it; nothing reads it
    int kind = NodeKind::Part;
    Vector3 boxMax;  // an empty box (max below min) until computed
    Vector3 boxMin;
};

// The name cleaning gives the node that places the bounding boxes.
constexpr char kBoundingBoxesName[] = "Bounding Boxes";

// True for the node that places the bounding boxes: not the root, of kind
// Model and named Bounding Boxes in any case. The kind tells it from a library
// file of that name; writers give it a top-level place of its own.
bool IsBoundingBoxesNode(const _LegoNode& node, unsigned index);

// The colour code of a node as a whole: polygon 0's colour decides for every
// polygon; Main (no colour of its own) for a node without polygons.
int NodeColor(const _LegoNode& node);

class LegoPart;

// Takes a tree while it is cleaned, a stretch of nodes at a time, each node
// final when its stretch is handed over: first nodes 0 to firstLater - 1,
// when every later node is already in the tree but may not hold its
// triangles yet; then each later stretch [first, end), in node order; last,
// once every box is known, the nodes from `first` on (the boxes' nodes) and
// the tree as a whole. A later stretch's triangles are freed once it has
// been taken.
class CleanedNodes
{
public:
    virtual ~CleanedNodes() = default;
    virtual void Begin(const LegoPart& tree, unsigned firstLater) = 0;
    virtual void Take(const LegoPart& tree, unsigned first, unsigned end) = 0;
    virtual void End(const LegoPart& tree, unsigned first) = 0;
};

// The part tree: nodes addressed by index, node 0 the model after a read.
// Nodes refer to one another by index only; appending a node may move every
// node, so look a node up again after any append.
class LegoPart
{
public:
    // Options of CleanGeometry.
    struct clean_t
    {
        bool scale = true;
        double scaleFactor = 0.05;
        bool boxFlag = false;                            // also starts the scale pass
        Vector3 upperLimit = Vector3(0.8, 0.8, 0.8);     // carried in the record; nothing reads it
        Vector3 lowerLimit = Vector3(-0.8, -0.8, -0.8);  // carried in the record; nothing reads it
        bool smoothNormals = true;
        bool flattenAll = false;
        bool flattenToParts = true;
    };

    // Appends a default node; returns its index.
    int NewNodeIndex();
    // Lowest index whose name equals `name` without regard to ASCII case
    // (deleted nodes included), or -1.
    int FindNode(const char* name) const;
    // Node i, or null when i is out of range.
    const _LegoNode* GetNode(unsigned i) const;
    _LegoNode* GetNode(unsigned i);
    // Node i; when i is out of range, one default node shared by all parts
    // (an assertion in debug builds).
    _LegoNode& Node(unsigned i);

    unsigned GetNodeCount() const { return static_cast<unsigned>(nodes.size()); }
    // Destroys every node and releases the storage.
    void Clear();

    // Multiplies the node's vertices, and with `scaleChildren` the
    // translations of its references, by `factor`.
    void ScaleNode(unsigned node, double factor, bool scaleChildren);

    // The colours of the part's codes; the built-in table unless set.
    const ColorTable& Colours() const { return colours; }
    ColorTable& Colours() { return colours; }
    // The light or dark partner of a colour code (see ColorTable).
    int ComplementaryColor(int code) const { return colours.ComplementaryColor(code); }
    // Red, green, blue and alpha of a code, each 0 to 1 (see ColorTable).
    bool LEGOColorRGBA(int code, double& red, double& green, double& blue, double& alpha) const
    {
        return colours.LEGOColorRGBA(code, red, green, blue, alpha);
    }

    // Turns the tree as read into whole, single-coloured, scaled parts with
    // bounding boxes.
    void CleanGeometry(const clean_t& options);
    // The same tree, handed to `taker` as it is made. The colour nodes of the
    // nodes split by colour are made a batch of split nodes at a time (at
    // least `batchTriangles` triangles, but for the last), taken and freed
    // (their boxes stay): the tree never holds all of them at once.
    static constexpr std::uint64_t kColourBatchTriangles = std::uint64_t(1) << 19;
    void CleanGeometry(const clean_t& options, CleanedNodes& taker,
                       std::uint64_t batchTriangles = kColourBatchTriangles);

protected:
    // Steps of CleanGeometry: everything up to the merging of the library
    // files into the parts, and the dropping of references to no node.
    void MergeForCleaning(const clean_t& options);
    // Steps 5 to 9 on the merged tree: normals, references, colours, scale
    // and boxes.
    void CleanMerged(const clean_t& options);
    void DropDanglingReferences();
    void MergeGeometry(unsigned parent, unsigned reference, bool copyNormals);
    void MarkNodeDeleted(unsigned node);
    void FlattenNode(unsigned node, bool copyNormals);
    void RemoveNode(unsigned node);
    void FlattenToParts(bool copyNormals);
    void FixColorErrors();
    // FixColorErrors in two steps. The plan: each node's distinct codes, and
    // for every node of more than one (`split`, in node order) its colour
    // nodes, appended with their references from `firstTarget` on, still
    // empty. Then SplitNode moves one planned node's faces, `faces` (its mesh,
    // or its mesh taken out), into them and leaves `faces` empty.
    struct ColorSplitPlan
    {
        std::vector<std::vector<std::uint32_t>> codes;
        std::vector<unsigned> firstTarget;
        std::vector<unsigned> split;
    };
    ColorSplitPlan PlanColorSplit();
    // A node of one colour keeps that colour once for all its faces.
    void KeepSingleColorsOnce(const ColorSplitPlan& plan);
    void SplitNode(const ColorSplitPlan& plan, unsigned node, LEGOPolyMesh& faces);
    void ComputeBoundingBoxes();
    // The same, but a node whose `isBoxKept` flag is set already holds the box
    // of its own vertices, and has some, whatever its mesh holds now.
    void ComputeBoundingBoxes(const std::vector<char>& isBoxKept);
    void AddQuad(unsigned node, const Vector3& a, const Vector3& b, const Vector3& c,
                 const Vector3& d, int color);
    void AddBoundingBoxGeometry();

    std::vector<_LegoNode> nodes;
    ColorTable colours;
};
