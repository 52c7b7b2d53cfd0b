// Building meshes and creating smoothed normals at real part sizes: the cost
// per triangle must stay flat from 20k to 200k triangles.

#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

#include "model/legopolymesh.h"
#include "tests/reference_mesh.h"

namespace
{

using Triangles = std::vector<Vector3>;  // three corners per triangle

// A wavy grid of quads, two triangles each, about `triangleCount` in all.
Triangles MakeGrid(int triangleCount)
{
    const int side = static_cast<int>(std::sqrt(triangleCount / 2.0));
    Triangles corners;
    auto point = [](int i, int j)
    { return Vector3(i * 0.5, j * 0.5, 0.25 * std::sin(i * 0.3) * std::cos(j * 0.2)); };
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
        {
            const Vector3 a = point(i, j), b = point(i + 1, j), c = point(i + 1, j + 1),
                          d = point(i, j + 1);
            corners.insert(corners.end(), {a, b, c, c, d, a});
        }
    return corners;
}

// Studs as a baseplate holds them: a 16-segment cylinder with a fan on top,
// one per 20 LDU, 64 triangles each.
Triangles MakeStuds(int triangleCount)
{
    const int segments = 16;
    const int studs = triangleCount / (4 * segments);
    const int perRow = static_cast<int>(std::sqrt(static_cast<double>(studs))) + 1;
    const double pi = 3.14159265358979323846;
    Triangles corners;
    for (int s = 0; s < studs; ++s)
    {
        const int row = s / perRow;
        const double cx = 20.0 * (s % perRow), cz = 20.0 * row;
        auto rim = [&](int k, double y)
        {
            const double angle = 2 * pi * k / segments;
            return Vector3(cx + 6 * std::cos(angle), y, cz + 6 * std::sin(angle));
        };
        const Vector3 top(cx, -4, cz), bottom(cx, 0, cz);
        for (int k = 0; k < segments; ++k)
        {
            corners.insert(corners.end(), {top, rim(k, -4), rim(k + 1, -4)});
            corners.insert(corners.end(), {rim(k, -4), rim(k, 0), rim(k + 1, 0)});
            corners.insert(corners.end(), {rim(k + 1, 0), rim(k + 1, -4), rim(k, -4)});
            corners.insert(corners.end(), {bottom, rim(k + 1, 0), rim(k, 0)});
        }
    }
    return corners;
}

template <typename Mesh>
void Build(Mesh& mesh, const Triangles& corners)
{
    for (std::size_t i = 0; i + 2 < corners.size(); i += 3)
        mesh.AddPolygon(3, &corners[i]);
}

void Build(LEGOPolyMesh& mesh, const Triangles& corners)
{
    for (std::size_t i = 0; i + 2 < corners.size(); i += 3)
        mesh.FaceColor(mesh.AddPolygon(3, &corners[i])) = 16;
}

template <Triangles (*Make)(int)>
void BM_AddPolygon(benchmark::State& state)
{
    const Triangles corners = Make(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        LEGOPolyMesh mesh;
        Build(mesh, corners);
        benchmark::DoNotOptimize(mesh.GetVertexCount());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corners.size() / 3));
    state.SetComplexityN(static_cast<int64_t>(corners.size() / 3));
}

template <Triangles (*Make)(int)>
void BM_CreateNormals(benchmark::State& state)
{
    const Triangles corners = Make(static_cast<int>(state.range(0)));
    LEGOPolyMesh built;
    Build(built, corners);
    for (auto _ : state)
    {
        state.PauseTiming();
        LEGOPolyMesh mesh = built;
        state.ResumeTiming();
        mesh.CreateNormals(true);
        benchmark::DoNotOptimize(mesh.FaceNormal(0, 0));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corners.size() / 3));
    state.SetComplexityN(static_cast<int64_t>(corners.size() / 3));
}

// The plain scan over all vertices per corner, for comparison.
void BM_AddPolygonLinearScan(benchmark::State& state)
{
    const Triangles corners = MakeStuds(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        ReferenceMesh mesh;
        Build(mesh, corners);
        benchmark::DoNotOptimize(mesh.vertices.size());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corners.size() / 3));
    state.SetComplexityN(static_cast<int64_t>(corners.size() / 3));
}

BENCHMARK_TEMPLATE(BM_AddPolygon, MakeGrid)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_AddPolygon, MakeStuds)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CreateNormals, MakeGrid)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CreateNormals, MakeStuds)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPolygonLinearScan)
    ->RangeMultiplier(2)
    ->Range(2000, 16000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

}  // namespace
