#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "model/instancedscene.h"

// The surface of a colour as a material draws it.
enum class MaterialFinish
{
    Plain,
    Chrome,
    Metal,
    MatteMetallic,
    Pearlescent,
    Rubber,
};

// What a material takes from the colour table for one code.
struct MaterialColour
{
    std::string name;  // empty: the code is the name
    double red = 1.0;  // sRGB, 0 to 1 each
    double green = 0.0;
    double blue = 1.0;
    double alpha = 1.0;
    MaterialFinish finish = MaterialFinish::Plain;
    int luminance = 0;  // 0 to 255: light of its own
};
using MaterialColourOf = std::function<MaterialColour(int code)>;

// Writes an instanced scene as binary glTF 2.0: one JSON chunk and one BIN
// chunk. A root node turns LDraw units and axes into metres with +y up; every
// scene node is a node below it, every mesh a mesh whose primitives take one
// material per colour code. Meshes with equal vertices share them. The file
// replaces its target only when complete.
class WriteGlb
{
public:
    // False, after one "Error: " line on standard error, when the file cannot
    // be created or a write or the close failed; an existing file of that
    // name is then left as it was.
    bool Write(const std::string& path, const InstancedScene& scene,
               const MaterialColourOf& colours);
    // The counts of the last Write, one labelled line each.
    void DumpStats(std::ostream& stream) const;

    std::uint64_t PlacedTriangles() const { return placedTriangleCount; }

private:
    std::uint64_t triangleCount = 0;        // of all meshes
    std::uint64_t placedTriangleCount = 0;  // times the nodes that use them
    std::uint64_t vertexCount = 0;          // written, after sharing
    std::size_t meshCount = 0;
    std::size_t nodeCount = 0;
    std::size_t materialCount = 0;
    std::uint64_t byteCount = 0;
};

// The linear value of an sRGB channel, 0 to 1.
double SrgbToLinear(double channel);
