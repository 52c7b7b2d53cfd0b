// Drawing the preview picture of real models at 1024x768, the scene already
// built: the carriage house and the Death Star II.

#include <benchmark/benchmark.h>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "clean/instancing.h"
#include "model/legopart.h"
#include "output/preview.h"
#include "reader/ldrawreader.h"

namespace
{

void RenderSharedModel(benchmark::State& state, const std::string& model)
{
    const std::string shared = PLINTHEX_SHARED_DIR;
    if (!std::filesystem::is_regular_file(shared + "/models/" + model))
    {
        state.SkipWithError("no shared model");
        return;
    }
    const std::ostringstream sink;
    std::streambuf* oldOut = std::cout.rdbuf(sink.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(sink.rdbuf());
    LDrawReader reader;
    LegoPart part;
    const bool isRead = reader.Read(shared + "/ldraw", shared + "/models/" + model, part);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    if (!isRead)
    {
        state.SkipWithError("the model cannot be read");
        return;
    }
    const InstancedScene scene = BuildInstancedScene(part, part.Colours());
    const PreviewPalette palette = [&part](int code)
    {
        double red = 0.75, green = 0.75, blue = 0.75, alpha = 1.0;
        part.Colours().LEGOColorRGBA(code, red, green, blue, alpha);
        return PreviewColour{float(red), float(green), float(blue), float(alpha)};
    };
    const PreviewSettings settings;  // 1024x768
    for (auto _ : state)
        benchmark::DoNotOptimize(RenderPreviewImage(scene, palette, settings));
}

void BM_PreviewCarriageHouse(benchmark::State& state)
{
    RenderSharedModel(state, "ldr_carriage_house_new.ldr");
}
BENCHMARK(BM_PreviewCarriageHouse)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PreviewDeathStarII(benchmark::State& state)
{
    RenderSharedModel(state, "sets/10143-1 - Death Star II.mpd");
}
BENCHMARK(BM_PreviewDeathStarII)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
