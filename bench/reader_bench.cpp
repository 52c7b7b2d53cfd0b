#include <benchmark/benchmark.h>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "reader/ldrawreader.h"

namespace
{

// Reads a shared model against the shared library, console output discarded.
void ReadSharedModel(benchmark::State& state, const std::string& model)
{
    const std::string shared = PLINTHEX_SHARED_DIR;
    if (!std::filesystem::is_directory(shared + "/ldraw"))
    {
        state.SkipWithError("no shared LDraw library");
        return;
    }
    const std::string modelPath = shared + "/models/" + model;
    std::ostringstream sink;
    std::streambuf* oldOut = std::cout.rdbuf(sink.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(sink.rdbuf());
    std::size_t triangleCount = 0;
    for (auto _ : state)
    {
        LDrawReader reader;
        LegoPart part;
        benchmark::DoNotOptimize(reader.Read(shared + "/ldraw", modelPath, part));
        triangleCount = 0;
        for (unsigned i = 0; i < part.GetNodeCount(); ++i)
            triangleCount += part.GetNode(i)->mesh.GetPolygonCount();
        sink.str(std::string());
    }
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * triangleCount));
    state.counters["triangles"] = static_cast<double>(triangleCount);
}

void BM_ReadCarriageHouse(benchmark::State& state)
{
    ReadSharedModel(state, "ldr_carriage_house_new.ldr");
}
BENCHMARK(BM_ReadCarriageHouse)->Unit(benchmark::kMillisecond);

void BM_ReadCarriageHouseMpd(benchmark::State& state)
{
    ReadSharedModel(state, "ldr_carriage_house_new.mpd");
}
BENCHMARK(BM_ReadCarriageHouseMpd)->Unit(benchmark::kMillisecond);

void BM_ReadHeadsGrid(benchmark::State& state)
{
    ReadSharedModel(state, "ldr_heads_grid_new.ldr");
}
BENCHMARK(BM_ReadHeadsGrid)->Unit(benchmark::kMillisecond);

void BM_ReadStressBigParts(benchmark::State& state)
{
    ReadSharedModel(state, "stress_big_parts.ldr");
}
BENCHMARK(BM_ReadStressBigParts)->Unit(benchmark::kMillisecond);

}  // namespace
