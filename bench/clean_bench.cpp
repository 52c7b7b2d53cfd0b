// CleanGeometry on a synthetic model shaped like a reader's tree: 2,000 placed
// parts of 150 kinds, which share studs and other primitives and a few
// sub-parts.

#include <benchmark/benchmark.h>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "model/legopart.h"
#include "tests/part_builder.h"

namespace
{

using treebuild::AddNode;
using treebuild::AddTriangle;
using treebuild::Place;
using treebuild::Translation;

// A closed cylinder of `segments` sides (two triangles each) and a top disc.
void AddCylinder(LegoPart& part, unsigned node, unsigned segments, double radius, double height)
{
    const double step = 2.0 * 3.14159265358979323846 / segments;
    for (unsigned s = 0; s < segments; ++s)
    {
        const double a0 = s * step;
        const double a1 = (s + 1) * step;
        const Vector3 b0(radius * std::cos(a0), 0, radius * std::sin(a0));
        const Vector3 b1(radius * std::cos(a1), 0, radius * std::sin(a1));
        const Vector3 t0(b0.x, -height, b0.z);
        const Vector3 t1(b1.x, -height, b1.z);
        AddTriangle(part, node, b0, b1, t1, 16);
        AddTriangle(part, node, t1, t0, b0, 16);
        AddTriangle(part, node, Vector3(0, -height, 0), t0, t1, 16);
    }
}

void AddBox(LegoPart& part, unsigned node, const Vector3& lo, const Vector3& hi, int color)
{
    const Vector3 c[8] = {Vector3(lo.x, lo.y, lo.z), Vector3(hi.x, lo.y, lo.z),
                          Vector3(hi.x, hi.y, lo.z), Vector3(lo.x, hi.y, lo.z),
                          Vector3(lo.x, lo.y, hi.z), Vector3(hi.x, lo.y, hi.z),
                          Vector3(hi.x, hi.y, hi.z), Vector3(lo.x, hi.y, hi.z)};
    const int quads[6][4] = {{0, 1, 2, 3}, {4, 7, 6, 5}, {0, 4, 5, 1},
                             {3, 2, 6, 7}, {0, 3, 7, 4}, {1, 5, 6, 2}};
    for (const auto& q : quads)
    {
        AddTriangle(part, node, c[q[0]], c[q[1]], c[q[2]], color);
        AddTriangle(part, node, c[q[2]], c[q[3]], c[q[0]], color);
    }
}

LegoPart BuildModel(unsigned placedParts, unsigned partKinds)
{
    std::mt19937 random(5);
    auto pick = [&random](unsigned count) { return static_cast<unsigned>(random() % count); };
    LegoPart part;
    const unsigned root = AddNode(part, "model.ldr", NodeKind::Model);

    std::vector<unsigned> primitives;
    const unsigned segmentCounts[] = {16, 16, 8, 4, 24, 12, 16, 8, 32, 6};
    for (unsigned p = 0; p < 10; ++p)
    {
        const unsigned node = AddNode(part, "p" + std::to_string(p) + ".dat", NodeKind::Primitive);
        AddCylinder(part, node, segmentCounts[p], 1.0 + p % 3, 1.0 + p % 2);
        primitives.push_back(node);
    }
    const unsigned stud = primitives[0];

    std::vector<unsigned> subparts;
    for (unsigned s = 0; s < 8; ++s)
    {
        const unsigned node =
            AddNode(part, "s/sub" + std::to_string(s) + ".dat", NodeKind::Subpart);
        AddBox(part, node, Vector3(-2, 0, -2), Vector3(2, 1, 2), 16);
        for (unsigned k = 0; k < 2 + s % 3; ++k)
            Place(part, node, primitives[1 + pick(9)], 16, Translation(k * 4.0, 0, 0));
        subparts.push_back(node);
    }

    std::vector<unsigned> kinds;
    for (unsigned k = 0; k < partKinds; ++k)
    {
        const unsigned node = AddNode(part, std::to_string(3000 + k) + ".dat", NodeKind::Part);
        const unsigned width = 1 + pick(2);
        const unsigned length = 1 + pick(4);
        AddBox(part, node, Vector3(0, 0, 0), Vector3(20.0 * width, 24, 20.0 * length), 16);
        if (pick(5) == 0)
            AddBox(part, node, Vector3(1, 1, 1), Vector3(3, 3, 3), 0);  // a printed detail
        for (unsigned x = 0; x < width; ++x)
            for (unsigned z = 0; z < length; ++z)
                Place(part, node, stud, 16, Translation(10 + 20.0 * x, 0, 10 + 20.0 * z));
        for (unsigned u = 0; u < pick(4); ++u)
            Place(part, node, primitives[1 + pick(9)], pick(8) == 0 ? 24 : 16,
                  Translation(10 + 20.0 * u, 4, 10));
        if (pick(2) == 0)
            Place(part, node, subparts[pick(8)], 16, Translation(0, 24, 0));
        kinds.push_back(node);
    }

    const int colors[] = {1, 2, 4, 14, 15, 0, 36, 7, 8, 71};
    for (unsigned i = 0; i < placedParts; ++i)
    {
        // Common parts come up far more often than rare ones.
        const unsigned kind = pick(1 + pick(partKinds));
        const unsigned layer = i / 500;
        const unsigned row = (i / 50) % 10;
        Place(part, root, kinds[kind], colors[pick(10)],
              Translation(40.0 * (i % 50), -24.0 * layer, 40.0 * row));
    }
    return part;
}

void BM_CleanGeometry(benchmark::State& state)
{
    const LegoPart model = BuildModel(static_cast<unsigned>(state.range(0)), 150);
    const LegoPart::clean_t options;  // the driver's values
    unsigned triangles = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        LegoPart part = model;
        state.ResumeTiming();
        part.CleanGeometry(options);
        benchmark::DoNotOptimize(part.GetNodeCount());
        state.PauseTiming();
        triangles = 0;
        for (unsigned n = 0; n < part.GetNodeCount(); ++n)
            triangles += part.GetNode(n)->mesh.GetPolygonCount();
        part.Clear();
        state.ResumeTiming();
    }
    state.counters["triangles"] = triangles;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * triangles);
}

}  // namespace

BENCHMARK(BM_CleanGeometry)->Arg(2000)->Unit(benchmark::kMillisecond);
