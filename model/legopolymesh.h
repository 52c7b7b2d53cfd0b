#pragma once

#include <cassert>
#include <functional>
#include <memory>
#include <vector>

#include "geometry/matrix.h"
#include "model/facecolors.h"
#include "model/pagedarray.h"
#include "model/polymesh.h"

// The data of one polygon of a brick mesh: a normal per corner and an LDraw
// colour code.
struct _LegoFace
{
    Vector3 cornerNormals[4];
    int color = 0;  // assigned by whoever adds the polygon
};

// A polygon mesh with one face record per polygon. Producers add a triangle
// and then assign its colour through FaceColor(p); CreateNormals fills the
// corner normals once all geometry is in.
class LEGOPolyMesh : public PolyMesh
{
public:
    // Colour of face f; 0 when there is no such face record.
    int FaceColor(unsigned f) const { return f < faceColors.size() ? faceColors[f] : 0; }
    // Colour of face f for assignment, growing the face list to f + 1 records.
    int& FaceColor(unsigned f)
    {
        faceColors.Expand();
        if (f == faceColors.size())
            faceColors.emplace_back();  // the usual case: the polygon just added
        else if (f > faceColors.size())
            ResizeFaces(f + 1);
        return faceColors[f];
    }

    // Copies `count` (at most 4) normals into the corner slots of face f,
    // growing the face list to f + 1 records.
    void SetFaceNormals(unsigned f, unsigned count, const Vector3* normals);
    // Gives face f the first three normals of face `from` of `source` (the
    // default where `from` has no record), as SetFaceNormals would; a mesh
    // without normals of its own shares the source's list.
    void CopyFaceNormals(unsigned f, const LEGOPolyMesh& source, unsigned from);
    // Normal slot k (0 to 3) of face f. A mesh of triangles keeps three slots
    // per face; the fourth, which no triangle corner uses, reads as the
    // default then, as do the slots of faces that never got normals.
    Vector3 FaceNormal(unsigned f, unsigned k) const
    {
        assert(f < faceColors.size() && k < 4);
        const unsigned entry = FaceNormalEntry(f, k);
        return entry == 0 ? Vector3() : (*normals)[entry - 1];
    }
    // Normal k of polygon f as written out: a polygon without a face record
    // reads as the default Vector3, (0, 0, 1).
    Vector3 CornerNormal(unsigned f, unsigned k) const
    {
        return f < faceColors.size() ? FaceNormal(f, k) : Vector3();
    }
    // Where CornerNormal(f, k) is kept: 0 for the default, else an entry of
    // NormalList(). While the meshes are not changed, corners with the same
    // list and entry have the same normal, in this mesh and in any other.
    unsigned CornerNormalEntry(unsigned f, unsigned k) const
    {
        return f < faceColors.size() ? FaceNormalEntry(f, k) : 0;
    }
    const void* NormalList() const { return normals.get(); }
    unsigned GetFaceCount() const { return static_cast<unsigned>(faceColors.size()); }

    // Appends `count` triangles on existing vertices, with their colours, on
    // every job: triangle(i, corners, colour) gives triangle i. The same as
    // AddPolygonOnVertices and FaceColor for each in turn. Needs a face record
    // for every polygon so far (HasFaceRecords); `triangle` is called from
    // several threads.
    void AddTriangles(unsigned count,
                      const std::function<void(unsigned, unsigned*, int&)>& triangle);
    bool HasFaceRecords() const { return faceColors.size() == polygons.size(); }
    // Gives the mesh `count` face records, all of colour `code`, kept as one
    // code: for a mesh about to be given that many faces of one colour, whose
    // records then need no colour assigned.
    void SetUniformFaceColors(unsigned count, int code);
    // Keeps the colour of the faces once when they all have the same one
    // (any later change of a colour makes it a list again).
    void ShareFaceColorIfAlike() { faceColors.ShareIfAlike(); }

    // Makes room for `count` polygons with their face records, growing
    // geometrically, so that adding many polygons moves the lists rarely.
    void ReservePolygons(unsigned count);
    // Makes room for exactly `count` polygons and face records, for a caller
    // that knows how many the mesh will hold.
    void ReservePolygonsExactly(unsigned count);

    // Orients the mesh outward, sets every corner normal to its polygon's
    // normal and, when `smooth`, averages the corner normals at each vertex
    // across corners less than 60 degrees apart. The edges that orienting
    // records are released as soon as it is done (see ReleaseEdges).
    void CreateNormals(bool smooth);

    void Clear() override;

    // True when KeepFaces can take faces out of this mesh: all triangles,
    // every face with its colour and three normals, no vertex moved.
    bool CanKeepFacesInPlace() const;
    // For splitting a mesh by colour, first: hands the corner normals of
    // every face f, in face order, to its target, targetOf[f]: to the next
    // face of targets[targetOf[f]], which has its faces and no normals yet,
    // or, for `keptTarget`, to the front of this mesh, in order. The targets
    // share this mesh's list of normals and take the entries; the entries
    // read are freed as it goes, so they are never held twice. Needs
    // CanKeepFacesInPlace. For a byte a face (up to 256 targets) or four.
    template <typename Target>
    void MoveNormalsOut(const std::vector<Target>& targetOf, unsigned keptTarget,
                        const std::vector<LEGOPolyMesh*>& targets);
    // Then keeps only the `count` faces `kept` (ascending, those of
    // `keptTarget`), in that order, with the vertices they use numbered in
    // the order those faces first use them: the mesh that copying those
    // faces into an empty mesh would give. Everything moves within its own
    // list, which keeps its room; edges and lookups go. Colours kept once
    // for all faces (SetUniformFaceColors) stay so.
    void KeepFaces(const unsigned* kept, std::size_t count);

protected:
    // Replaces each normal of one vertex's corners by the normalised sum of
    // its neighbourhood (Angle below the smoothing threshold).
    void SmoothNormals(std::vector<Vector3>& group);
    // Gives the corners at each vertex their smoothed normals, from the
    // normal of each polygon, which it frees once read; Slot holds a slot's
    // position.
    template <typename Slot>
    void SmoothCorners(PagedArray<Vector3> polygonNormal);

    void ResizeFaces(unsigned count);

    unsigned FaceNormalEntry(unsigned f, unsigned k) const
    {
        const std::size_t slot = std::size_t(f) * normalSlots + k;
        return k < normalSlots && slot < normalOf.size() ? normalOf[slot] : 0;
    }

    // Gives every face `slots` normal slots, keeping the normals there are.
    void SetNormalSlots(unsigned slots);

    // Sets the first three normal slots of face f to `entries` of this
    // mesh's list, growing the face list to f + 1 records.
    void SetFaceEntries(unsigned f, const unsigned* entries);
    // Makes `normals` a list of this mesh's own, copying a shared one.
    void OwnNormals();
    // Appends `normal` to the list and gives its entry.
    unsigned AddNormal(const Vector3& normal);

    // A face record is its colour and its corner normals. Meshes that are
    // only merged into others never get normals, so the normals are kept
    // apart, `normalSlots` per face, and only as far as the last face that
    // got some: the faces after it read the default. A slot holds an entry
    // of `normals`: 0 for the default, e for normals[e - 1]. Smoothed corners
    // of nearby vertices (a few thousand in a row) whose normals have the
    // same bits share an entry, and the meshes a mesh is split into share
    // its list.
    FaceColors faceColors;
    PagedArray<unsigned> normalOf;
    std::shared_ptr<PagedArray<Vector3>> normals;
    unsigned normalSlots = 3;
};

// The cosine of the angle between a and b before clamping; NaN when either
// has length zero.
inline double AngleCosine(const Vector3& a, const Vector3& b)
{
    return a.Dot(b) / (a.Length() * b.Length());
}

// Angle between two directions in radians, 0 to pi; NaN when either has length
// zero, so every "angle below a threshold" test fails for a zero vector.
double Angle(const Vector3& a, const Vector3& b);

// Carries direction n by M's upper 3x3 block (not its inverse transpose) and
// normalises it; a direction that M maps to zero stays zero.
Vector3 TransformNormal(const Vector3& n, const Matrix4x4& M);

// Smoothing threshold: 60 degrees to within 4e-12, slightly below pi/3.
constexpr double kSmoothingAngle = 1.0471975511933334;

// Angle(a, b) < kSmoothingAngle for the cosine AngleCosine(a, b), with the
// arc cosine evaluated only when the cosine is too close to the threshold to
// decide without it.
bool IsCosineWithinSmoothingAngle(double cosine);

inline bool IsWithinSmoothingAngle(const Vector3& a, const Vector3& b)
{
    return IsCosineWithinSmoothingAngle(AngleCosine(a, b));
}
