#pragma once

#include <cstdint>
#include <optional>

#include "app/conversion.h"
#include "model/instancedscene.h"
#include "model/legopart.h"
#include "output/writer.h"

// Most nodes a glb may get: every placement of a part and of a sub-model,
// a sub-model placed n times counting n times. The largest real models place
// about 100,000 parts; nested sub-models multiply, so a small file could
// otherwise ask for billions of nodes.
constexpr std::uint64_t kMaxGlbNodes = 2000000;

// Writes the model as read (before cleaning) with `writer`, a writer of
// instanced scenes, to the request's output; prints the statistics. Returns
// the exit status. Refuses,
// with one "Error: " line, a model whose parts hold more than `maxTriangles`
// triangles once merged (see CountInstancedTriangles) or that places more
// than kMaxGlbNodes nodes. Writes `scene` when it holds the model's scene
// already (the preview picture's), else builds it there.
int WriteInstancedOutput(const ConversionRequest& request, const LegoPart& asRead,
                         std::uint64_t maxTriangles, ModelWriter& writer,
                         std::optional<InstancedScene>& scene);
