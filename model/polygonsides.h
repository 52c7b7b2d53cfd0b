#pragma once

#include <vector>

#include "model/polymesh.h"

// The polygon across every side of a mesh, as the mesh's edge records name
// it: side k of a polygon joins corner k to corner k + 1, the last side the
// last corner to corner 0 (a polygon of two corners has one side, of fewer
// none). Of all the sides that join the same two vertices, in polygon order,
// the edge keeps the first one's polygon A and, once there is a second, the
// last one's polygon B; across a side of polygon p lies B when p is A, else
// A, and -1 for a side no other side joins.
struct PolygonSides
{
    // Polygon p's sides are [start[p], start[p + 1]).
    std::vector<unsigned> start;
    std::vector<int> across;
};

// Every side is filed under its lower vertex on every job, each job keeping
// its own range of vertices; each vertex's sides are then matched by their
// other vertex. The same result for any number of jobs.
PolygonSides FindPolygonSides(const std::vector<_Polygon>& polygons, unsigned vertexCount);
