#pragma once

// A structural check of a scene file's text, for tests that convert models end
// to end: block nesting and indentation, attribute order, list lengths against
// PointCount and FaceCount, face indices, three normals per face, and every
// INSTANCE naming a LEVEL defined in the Parts LEVEL.

#include <cstdint>
#include <string>

// What a scene file holds, counted as the statistics report counts it.
struct SceneCounts
{
    unsigned polygons = 0;   // sum of FaceCount
    unsigned vertices = 0;   // sum of PointCount
    unsigned meshes = 0;     // TRISET blocks
    unsigned instances = 0;  // INSTANCE blocks
    unsigned levels = 0;     // LEVEL blocks other than Parts and the wrappers

    bool operator==(const SceneCounts& other) const
    {
        return polygons == other.polygons && vertices == other.vertices && meshes == other.meshes &&
               instances == other.instances && levels == other.levels;
    }
};

struct SceneCheck
{
    bool ok = false;
    std::string error;  // "line N: what is wrong" when not ok
    SceneCounts counts;
    // The faces the root shows: its own, and for each LEVEL it places, that
    // LEVEL's faces and those of every LEVEL it places in turn, counted once
    // per placement.
    std::uint64_t placedPolygons = 0;
};

SceneCheck CheckScene(const std::string& text);

// Reads the five lines of a statistics report ("Polygons : 1" and so on);
// false when any is missing or malformed.
bool ParseStats(const std::string& text, SceneCounts& counts);
