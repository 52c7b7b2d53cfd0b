#pragma once

#include <cstdint>

#include "model/instancedscene.h"
#include "model/legopart.h"

// The model as instanced parts, from the part tree as the reader built it
// (before any cleaning; the tree is not changed).
//
// Nodes of kind Model (the model, the sections of a multi-part file, model
// files it places) become scene nodes with a child per placement; their own
// triangles, if any, are a mesh on their node. Every other node placed by a
// model is a part: all library geometry below it is merged into it as
// cleaning merges it, with the smoothed corner normals, and it becomes one
// mesh per placement colour, shared by every placement in that colour. The
// placement colour is resolved through the nested placements: 16 takes the
// colour of the placement above, 24 its edge colour. A vertex is split where
// its corners' normals differ. Node 0 is the model. A placement matrix that
// is no translation, rotation and scale (a shear, a flattening), which glTF
// nodes cannot hold, is baked into a mesh of that placement's own, or for a
// sub-model carried down to its children.
//
// A sub-model placed n times is n subtrees of nodes; callers bound the size
// with CountScenePlacements first. A reference that would close a cycle is
// left out. Edge colours come from `colours`.
InstancedScene BuildInstancedScene(const LegoPart& asRead, const ColorTable& colours);
// The same with the tree's own colour table.
InstancedScene BuildInstancedScene(const LegoPart& asRead);

// The number of nodes BuildInstancedScene makes for the tree, counting
// every sub-model with its multiplicity; saturates at the largest value.
std::uint64_t CountScenePlacements(const LegoPart& asRead);

// The triangles BuildInstancedScene merges: for every part the model places,
// once however often it is placed, the triangles of all files below it,
// each counted with its multiplicity within the part. Saturates.
std::uint64_t CountInstancedTriangles(const LegoPart& asRead);

// The triangles the scene places: every mesh's triangles times the nodes
// that use it.
std::uint64_t CountPlacedTriangles(const InstancedScene& scene);
