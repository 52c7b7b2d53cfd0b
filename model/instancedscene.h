#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "geometry/matrix.h"

// A model as its parts placed in a tree, for formats that draw each part's
// geometry once and place it many times (glTF, the preview picture). Unlike
// the cleaned part tree, sub-models stay nodes of their own and nothing is
// scaled. Coordinates are LDraw units in LDraw axes (-y up).
struct SceneMesh
{
    std::string name;  // the part's file name, as written
    // Per vertex: x, y, z of the position and of the unit normal. A position
    // with two normals is two vertices.
    std::vector<float> positions;
    std::vector<float> normals;
    // One primitive per colour: triangles as vertex indices, three each. The
    // colour is a resolved code: never 16 or 24 unless the part is placed in
    // that code at the top.
    struct Primitive
    {
        int color = 0;
        std::vector<std::uint32_t> indices;
    };
    std::vector<Primitive> primitives;
};

struct SceneNode
{
    std::string name;
    Matrix4x4 transform;  // this node's coordinates to its parent's
    int mesh = -1;        // index in InstancedScene::meshes; -1 for none
    int color = 16;       // the placement's resolved colour code
    std::vector<int> children;
};

struct InstancedScene
{
    std::vector<SceneMesh> meshes;  // one per part and placement colour
    std::vector<SceneNode> nodes;   // node 0 the model itself
};
