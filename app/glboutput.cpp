#include "app/glboutput.h"

#include <iostream>

#include "app/driver.h"
#include "clean/instancing.h"
#include "model/stagetimer.h"

int WriteInstancedOutput(const ConversionRequest& request, const LegoPart& asRead,
                         std::uint64_t maxTriangles, ModelWriter& writer,
                         std::optional<InstancedScene>& scene)
{
    if (CountInstancedTriangles(asRead) > maxTriangles)
    {
        std::cerr << "Error: " << request.modelPath << " expands to more than " << maxTriangles
                  << " triangles; not converted\n";
        return kExitFailure;
    }
    if (CountScenePlacements(asRead) > kMaxGlbNodes)
    {
        std::cerr << "Error: " << request.modelPath << " places more than " << kMaxGlbNodes
                  << " parts and sub-models; not converted\n";
        return kExitFailure;
    }
    std::cout << "Instancing parts\n" << std::flush;
    if (!scene)
        scene.emplace(BuildInstancedScene(asRead));
    StageTimer::Mark("instance");
    std::cout << "Writing file " << request.outputPath << '\n' << std::flush;
    ModelToWrite model;
    model.scene = &*scene;
    const bool isWritten = writer.WriteModel(request.outputPath, model, asRead.Colours());
    StageTimer::Mark("write");
    writer.DumpStats(std::cout);
    std::cout.flush();
    return isWritten ? kExitSuccess : kExitFailure;
}
