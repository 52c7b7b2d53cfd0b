// Writing scene files at real sizes: numbers formatted exactly as "%.20g",
// built in large chunks, one file per run.

#include <benchmark/benchmark.h>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "output/numberformat.h"
#include "output/writetriset.h"
#include "tests/part_builder.h"

namespace
{

// What scene files hold most: coordinates scaled by 0.05 and unit normals.
std::vector<double> SceneNumbers()
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> coordinate(-400.0, 400.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> numbers;
    numbers.reserve(4096);
    for (int i = 0; i < 4096; ++i)
        numbers.push_back(i % 2 ? coordinate(random) * 0.05 : unit(random));
    return numbers;
}

void BM_FormatReal(benchmark::State& state)
{
    const std::vector<double> numbers = SceneNumbers();
    char text[kMaxRealText];
    for (auto _ : state)
        for (const double value : numbers)
            benchmark::DoNotOptimize(format_real(text, value));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(numbers.size()));
}

void BM_ToChars(benchmark::State& state)
{
    const std::vector<double> numbers = SceneNumbers();
    char text[kMaxRealText];
    for (auto _ : state)
        for (const double value : numbers)
            benchmark::DoNotOptimize(
                std::to_chars(text, text + sizeof text, value, std::chars_format::general, 20));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(numbers.size()));
}

void BM_Snprintf(benchmark::State& state)
{
    const std::vector<double> numbers = SceneNumbers();
    char text[64];
    for (auto _ : state)
        for (const double value : numbers)
            benchmark::DoNotOptimize(std::snprintf(text, sizeof text, "%.20g", value));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(numbers.size()));
}

// A root placing parts of 2000 smoothed triangles each, about
// `triangleCount` triangles in all, scaled as cleaning leaves them.
LegoPart MakeScene(int triangleCount)
{
    LegoPart part;
    const unsigned root = treebuild::AddNode(part, "scene.ldr");
    const int side = 32;  // 2 * 31 * 31 = 1922 triangles per part
    for (int made = 0; made < triangleCount; made += 2 * (side - 1) * (side - 1))
    {
        const unsigned index = part.GetNodeCount();
        treebuild::AddNode(part, "part" + std::to_string(index) + ".dat");
        auto point = [&](int i, int j)
        {
            return Vector3(0.05 * (i + index), 0.05 * std::sin(i * 0.3 + index),
                           0.05 * (j * 1.1 + std::cos(j * 0.2)));
        };
        for (int i = 0; i + 1 < side; ++i)
            for (int j = 0; j + 1 < side; ++j)
            {
                treebuild::AddTriangle(part, index, point(i, j), point(i + 1, j),
                                       point(i + 1, j + 1), 16);
                treebuild::AddTriangle(part, index, point(i + 1, j + 1), point(i, j + 1),
                                       point(i, j), 16);
            }
        part.Node(index).mesh.CreateNormals(true);
        treebuild::Place(part, root, static_cast<int>(index), static_cast<int>(index % 16),
                         treebuild::Translation(1.5 * index, 0, 0));
    }
    return part;
}

void BM_WriteTriset(benchmark::State& state)
{
    const LegoPart part = MakeScene(static_cast<int>(state.range(0)));
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder ? folder : "/tmp") + "/plinthex_bench_" +
                             std::to_string(getpid()) + ".txt";
    WriteTriset writer;
    for (auto _ : state)
        if (!writer.Write(path.c_str(), part, part.Colours(), true))
            state.SkipWithError("writing failed");
    struct stat written;
    if (stat(path.c_str(), &written) == 0)
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(written.st_size));
    std::remove(path.c_str());
    unsigned polygons = 0;
    for (unsigned i = 0; i < part.GetNodeCount(); ++i)
        polygons += part.GetNode(i)->mesh.GetPolygonCount();
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(polygons));
}

BENCHMARK(BM_FormatReal);
BENCHMARK(BM_ToChars);
BENCHMARK(BM_Snprintf);
BENCHMARK(BM_WriteTriset)->Arg(20000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
