#pragma once

// The mesh algorithms written out literally: a scan over every vertex per
// corner, an ordered multimap of edges, a recursive orientation spread and a
// scan over every polygon per vertex for smoothing. Slow on purpose; the fast
// mesh must give bit-identical results.

#include <cmath>
#include <map>
#include <vector>

#include "geometry/matrix.h"
#include "model/legopolymesh.h"

struct ReferenceMesh
{
    struct Polygon
    {
        std::vector<unsigned> vertexIndices;
        std::vector<int> edgeIndices;
        Vector3 normal;
    };

    std::vector<Vector3> vertices;
    std::vector<_Edge> edges;
    std::vector<Polygon> polygons;
    std::multimap<int, int> edgeLookup;
    std::vector<_LegoFace> faces;

    unsigned FindOrAddVertex(const Vector3& v)
    {
        for (unsigned i = 0; i < vertices.size(); ++i)
        {
            if (std::fabs(vertices[i].x - v.x) > 1e-6)
                continue;
            if ((vertices[i] - v).Length() < 1e-6)
                return i;
        }
        vertices.push_back(v);
        return static_cast<unsigned>(vertices.size() - 1);
    }

    int RecordEdge(int p, unsigned a, unsigned b)
    {
        const unsigned lo = a < b ? a : b;
        const unsigned hi = a < b ? b : a;
        auto range = edgeLookup.equal_range(static_cast<int>(lo));
        for (auto it = range.first; it != range.second; ++it)
        {
            _Edge& e = edges[it->second];
            if (e.vertexLo == lo && e.vertexHi == hi)
            {
                const int old = e.polygonA;
                e.polygonA = old < p ? old : p;
                e.polygonB = old < p ? p : old;
                return it->second;
            }
        }
        edges.push_back({p, -1, lo, hi});
        edgeLookup.insert({static_cast<int>(lo), static_cast<int>(edges.size() - 1)});
        return static_cast<int>(edges.size() - 1);
    }

    unsigned AddPolygon(unsigned count, const Vector3* corners)
    {
        std::vector<unsigned> index(count);
        for (unsigned i = 0; i < count; ++i)
            index[i] = FindOrAddVertex(corners[i]);
        Polygon polygon;
        polygon.vertexIndices = index;
        const int p = static_cast<int>(polygons.size());
        for (unsigned i = 0; i + 1 < count; ++i)
            polygon.edgeIndices.push_back(RecordEdge(p, index[i], index[i + 1]));
        if (count > 2)
            polygon.edgeIndices.push_back(RecordEdge(p, index[count - 1], index[0]));
        const Vector3 v0 = vertices[index[0]];
        const Vector3 v1 = vertices[index[1]];
        const Vector3 v2 = vertices[index[2]];
        polygon.normal.Cross(v0 - v1, v1 - v2);
        polygon.normal.Unit();
        polygons.push_back(polygon);
        return static_cast<unsigned>(p);
    }

    void Flip(unsigned p)
    {
        std::vector<unsigned>& c = polygons[p].vertexIndices;
        for (std::size_t i = 0; i < c.size() / 2; ++i)
            std::swap(c[i], c[c.size() - 1 - i]);
        polygons[p].normal = -polygons[p].normal;
    }

    static unsigned Position(const std::vector<unsigned>& corners, unsigned v)
    {
        unsigned j = 0;
        while (corners[j] != v)
            ++j;
        return j;
    }

    void Spread(unsigned r, std::vector<bool>& visited)
    {
        for (std::size_t ei = 0; ei < polygons[r].edgeIndices.size(); ++ei)
        {
            const _Edge e = edges[polygons[r].edgeIndices[ei]];
            const int o = e.polygonA == static_cast<int>(r) ? e.polygonB : e.polygonA;
            if (o == -1 || visited[o])
                continue;
            const std::vector<unsigned>& rc = polygons[r].vertexIndices;
            const unsigned n = static_cast<unsigned>(rc.size());
            const unsigned j = Position(rc, e.vertexLo);
            const bool hiToLo = rc[(n + j - 1) % n] == e.vertexHi;
            const std::vector<unsigned>& oc = polygons[o].vertexIndices;
            const unsigned m = static_cast<unsigned>(oc.size());
            const unsigned k = Position(oc, e.vertexLo);
            const bool flip =
                hiToLo ? oc[(m + k - 1) % m] == e.vertexHi : oc[(k + 1) % m] == e.vertexHi;
            if (flip)
                Flip(static_cast<unsigned>(o));
            visited[o] = true;
            Spread(static_cast<unsigned>(o), visited);
        }
    }

    void FixNormals(bool outward)
    {
        if (vertices.empty() || polygons.empty())
            return;
        std::vector<bool> visited(polygons.size(), false);
        Vector3 centre(0.0, 0.0, 0.0);
        for (const Vector3& v : vertices)
            centre += v;
        centre /= static_cast<double>(vertices.size());
        for (;;)
        {
            unsigned s = 0;
            while (s < polygons.size() && visited[s])
                ++s;
            if (s == polygons.size())
                break;
            const Vector3 n = polygons[s].normal;
            const Vector3 q = vertices[polygons[s].vertexIndices[0]];
            const double dPlus = ((n + q) - centre).Length();
            const double dMinus = ((-n + q) - centre).Length();
            if (dMinus > dPlus)
                Flip(s);
            if (!outward)
                Flip(s);
            visited[s] = true;
            Spread(s, visited);
        }
    }

    static void SmoothNormals(std::vector<Vector3>& group)
    {
        const double t = 1.0471975511933334;
        const std::size_t n = group.size();
        std::vector<Vector3> result(n);
        for (std::size_t i = 0; i < n; ++i)
        {
            Vector3 sum(0.0, 0.0, 0.0);
            for (std::size_t j = 0; j < n; ++j)
                if (Angle(group[i], group[j]) < t)
                    sum += group[j];
            sum.Unit();
            for (std::size_t j = 0; j < n; ++j)
                if (Angle(group[i], group[j]) < t)
                    result[j] = sum;
        }
        group = result;
    }

    void CreateNormals(bool smooth)
    {
        FixNormals(true);
        faces.resize(polygons.size());
        for (std::size_t i = 0; i < polygons.size(); ++i)
            for (Vector3& c : faces[i].cornerNormals)
                c = polygons[i].normal;
        if (!smooth)
            return;
        for (unsigned v = 0; v < vertices.size(); ++v)
        {
            std::vector<Vector3> group;
            for (std::size_t p = 0; p < polygons.size(); ++p)
                for (std::size_t k = 0; k < polygons[p].vertexIndices.size(); ++k)
                    if (polygons[p].vertexIndices[k] == v)
                        group.push_back(faces[p].cornerNormals[k]);
            SmoothNormals(group);
            std::size_t next = 0;
            for (std::size_t p = 0; p < polygons.size(); ++p)
                for (std::size_t k = 0; k < polygons[p].vertexIndices.size(); ++k)
                    if (polygons[p].vertexIndices[k] == v)
                        faces[p].cornerNormals[k] = group[next++];
        }
    }
};
