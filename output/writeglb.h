#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "model/colortable.h"
#include "model/instancedscene.h"
#include "output/writer.h"

// Writes an instanced scene as binary glTF 2.0: one JSON chunk and one BIN
// chunk. A root node turns LDraw units and axes into metres with +y up; every
// scene node is a node below it, every mesh a mesh whose primitives take one
// material per colour code, described by `colours`. Meshes with equal vertices share them. The file
// replaces its target only when complete.
class WriteGlb : public ModelWriter
{
public:
    ModelForm Form() const override { return ModelForm::InstancedScene; }
    // Writes `model.scene`.
    bool WriteModel(const std::string& path, const ModelToWrite& model,
                    const ColorTable& colours) override
    {
        return Write(path, *model.scene, colours);
    }
    // False, after one "Error: " line on standard error, when the file cannot
    // be created or a write or the close failed; an existing file of that
    // name is then left as it was.
    bool Write(const std::string& path, const InstancedScene& scene, const ColorTable& colours);
    // The counts of the last Write, one labelled line each; nothing when it
    // failed.
    void DumpStats(std::ostream& stream) const override;

    std::uint64_t PlacedTriangles() const { return placedTriangleCount; }

private:
    std::uint64_t triangleCount = 0;        // of all meshes
    std::uint64_t placedTriangleCount = 0;  // times the nodes that use them
    std::uint64_t vertexCount = 0;          // written, after sharing
    std::size_t meshCount = 0;
    std::size_t nodeCount = 0;
    std::size_t materialCount = 0;
    std::uint64_t byteCount = 0;
    bool isWritten = false;
};

// The linear value of an sRGB channel, 0 to 1.
double SrgbToLinear(double channel);
