#include "model/legopolymesh.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

#include "model/parallel.h"

namespace
{

// The threshold's cosine is 0.5 + 2.8e-12. Outside this band around it the
// cosine alone decides the comparison; inside it the arc cosine is taken.
constexpr double kCosineBandLow = 0.5 - 1e-9;
constexpr double kCosineBandHigh = 0.5 + 1e-9;

// Most distinct normals at one vertex that are smoothed.
constexpr unsigned kMaxSmoothedClasses = 1024;

// Groups up to this size are smoothed with a table of all pairs.
constexpr unsigned kSmallGroup = 16;

// The smoothed normals of this many vertices in a row are each listed once.
constexpr std::size_t kVerticesPerTable = 4096;

bool SameBits(const Vector3& a, const Vector3& b)
{
    return std::memcmp(&a, &b, sizeof(Vector3)) == 0;
}

// A list of normals, each bit pattern once, found through a hash table. The
// list grows in pages of its own: a vector's doubling would hold it twice
// for a moment and keep up to half as much again as unused room.
class DistinctNormals
{
public:
    using List = PagedArray<Vector3, 12>;
    List list;

    // The position of `normal` in the list, where it is added when new.
    unsigned Find(const Vector3& normal)
    {
        if (2 * (list.size() - forgotten + 1) > table.size())
            Grow();
        const std::size_t mask = table.size() - 1;
        for (std::size_t at = Hash(normal) & mask;; at = (at + 1) & mask)
        {
            if (table[at] == kEmpty)
            {
                table[at] = static_cast<unsigned>(list.size());
                list.push_back(normal);
                return table[at];
            }
            if (SameBits(list[table[at]], normal))
                return table[at];
        }
    }

    // Normals added from now on are found among themselves only: the table
    // stays small enough for the cache.
    void Forget()
    {
        std::fill(table.begin(), table.end(), kEmpty);
        forgotten = list.size();
    }

private:
    static constexpr unsigned kEmpty = ~0u;

    static std::size_t Hash(const Vector3& v)
    {
        std::uint64_t bits[3];
        std::memcpy(bits, &v, sizeof bits);
        std::uint64_t h = bits[0] * 0x9E3779B97F4A7C15ull ^ bits[1] * 0xC2B2AE3D27D4EB4Full ^
                          bits[2] * 0x165667B19E3779F9ull;
        h ^= h >> 32;
        h *= 0xD6E8FEB86659FD93ull;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }

    void Grow()
    {
        table.assign(std::max<std::size_t>(1024, 2 * table.size()), kEmpty);
        const std::size_t mask = table.size() - 1;
        for (unsigned e = static_cast<unsigned>(forgotten); e < list.size(); ++e)
        {
            std::size_t at = Hash(list[e]) & mask;
            while (table[at] != kEmpty)
                at = (at + 1) & mask;
            table[at] = e;
        }
    }

    std::vector<unsigned> table;
    std::size_t forgotten = 0;
};

}  // namespace

double Angle(const Vector3& a, const Vector3& b)
{
    double c = AngleCosine(a, b);
    if (c > 1.0)
        c = 1.0;
    if (c < -1.0)
        c = -1.0;
    return std::acos(c);
}

bool IsCosineWithinSmoothingAngle(double c)
{
    if (c > kCosineBandHigh)
        return true;  // also c > 1, which Angle clamps to an angle of 0
    if (!(c >= kCosineBandLow))
        return false;  // also NaN, which fails every comparison
    return std::acos(c) < kSmoothingAngle;
}

Vector3 TransformNormal(const Vector3& n, const Matrix4x4& M)
{
    const Vector3 origin = M * Vector3(0.0, 0.0, 0.0);
    Vector3 v = M * n;
    v -= origin;
    v.Unit();
    return v;
}

void LEGOPolyMesh::SetFaceNormals(unsigned f, unsigned count, const Vector3* given)
{
    assert(count <= 4);
    if (f >= faceColors.size())
        ResizeFaces(f + 1);
    if (count > normalSlots)
        SetNormalSlots(count);
    const std::size_t end = (std::size_t(f) + 1) * normalSlots;
    if (end > normalOf.size())
        normalOf.resize(end);
    OwnNormals();
    for (unsigned k = 0; k < count; ++k)
        normalOf[end - normalSlots + k] = AddNormal(given[k]);
}

void LEGOPolyMesh::CopyFaceNormals(unsigned f, const LEGOPolyMesh& source, unsigned from)
{
    if (normals == nullptr && normalOf.size() == 0)
        normals = source.normals;
    if (normals != source.normals)
    {
        Vector3 given[3];
        for (unsigned k = 0; k < 3; ++k)
            given[k] = from < source.GetFaceCount() ? source.FaceNormal(from, k) : Vector3();
        SetFaceNormals(f, 3, given);
        return;
    }
    unsigned entries[3];
    for (unsigned k = 0; k < 3; ++k)
    {
        const std::size_t slot = std::size_t(from) * source.normalSlots + k;
        entries[k] = from < source.GetFaceCount() && slot < source.normalOf.size()
                         ? source.normalOf[slot]
                         : 0;
    }
    SetFaceEntries(f, entries);
}

void LEGOPolyMesh::SetFaceEntries(unsigned f, const unsigned* entries)
{
    if (f >= faceColors.size())
        ResizeFaces(f + 1);
    const std::size_t end = (std::size_t(f) + 1) * normalSlots;
    if (end > normalOf.size())
        normalOf.resize(end);
    for (unsigned k = 0; k < 3; ++k)
        normalOf[end - normalSlots + k] = entries[k];
}

void LEGOPolyMesh::OwnNormals()
{
    if (!normals)
        normals = std::make_shared<PagedArray<Vector3>>();
    else if (normals.use_count() > 1)
        normals = std::make_shared<PagedArray<Vector3>>(*normals);
}

unsigned LEGOPolyMesh::AddNormal(const Vector3& normal)
{
    const std::size_t entry = normals->size();
    normals->resize(entry + 1);
    (*normals)[entry] = normal;
    return static_cast<unsigned>(entry + 1);
}

void LEGOPolyMesh::SetNormalSlots(unsigned slots)
{
    if (slots == normalSlots)
        return;
    const std::size_t faceCount = normalOf.size() / normalSlots;
    PagedArray<unsigned> widened;
    widened.resize(faceCount * slots);
    for (std::size_t f = 0; f < faceCount; ++f)
        for (unsigned k = 0; k < slots && k < normalSlots; ++k)
            widened[f * slots + k] = normalOf[f * normalSlots + k];
    normalOf.swap(widened);
    normalSlots = slots;
}

void LEGOPolyMesh::ReservePolygons(unsigned count)
{
    if (count > polygons.capacity())
        polygons.reserve(std::max<std::size_t>(count, 2 * polygons.capacity()));
    if (count > faceColors.capacity())
        faceColors.reserve(std::max<std::size_t>(count, 2 * faceColors.capacity()));
}

void LEGOPolyMesh::AddTriangles(unsigned count,
                                const std::function<void(unsigned, unsigned*, int&)>& triangle)
{
    assert(HasFaceRecords());
    const std::size_t first = polygons.size();
    polygons.resize(first + count);
    faceColors.resize(first + count);
    Parallel::For(count, 4096,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t i = begin; i < end; ++i)
                      {
                          unsigned corners[3];
                          triangle(static_cast<unsigned>(i), corners, faceColors[first + i]);
                          FillPolygon(polygons[first + i], 3, corners);
                      }
                  });
}

void LEGOPolyMesh::ReservePolygonsExactly(unsigned count)
{
    polygons.reserve(count);
    faceColors.reserve(count);
}

void LEGOPolyMesh::SetUniformFaceColors(unsigned count, int code)
{
    faceColors.SetUniform(count, code);
    if (normalOf.size() > std::size_t(count) * normalSlots)
        normalOf.resize(std::size_t(count) * normalSlots);
}

void LEGOPolyMesh::ResizeFaces(unsigned count)
{
    faceColors.resize(count);
    if (normalOf.size() > std::size_t(count) * normalSlots)
        normalOf.resize(std::size_t(count) * normalSlots);
}

void LEGOPolyMesh::Clear()
{
    faceColors.Release();
    normalOf.Release();
    normals.reset();
    normalSlots = 3;
    PolyMesh::Clear();
}

bool LEGOPolyMesh::CanKeepFacesInPlace() const
{
    if (!AreVerticesApart() || normalSlots != 3 || faceColors.size() != polygons.size() ||
        normalOf.size() != 3 * polygons.size())
        return false;
    return std::all_of(polygons.begin(), polygons.end(),
                       [](const _Polygon& polygon) { return polygon.vertexIndices.size() == 3; });
}

template <typename Target>
void LEGOPolyMesh::MoveNormalsOut(const std::vector<Target>& targetOf, unsigned keptTarget,
                                  const std::vector<LEGOPolyMesh*>& targets)
{
    assert(CanKeepFacesInPlace() && targetOf.size() == polygons.size());
    constexpr std::size_t kPage = PagedArray<unsigned>::kPageElements;
    // The targets share this mesh's list of normals; the slots move.
    for (unsigned j = 0; j < targets.size(); ++j)
    {
        if (j == keptTarget)
            continue;
        assert(targets[j]->normalOf.size() == 0 && targets[j]->normalSlots == 3);
        targets[j]->normals = normals;
    }
    std::vector<unsigned> nextFace(targets.size(), 0);
    std::size_t keptCount = 0;
    std::size_t nextFree = 0;  // the first page not yet freed
    for (std::size_t f = 0; f < polygons.size(); ++f)
    {
        const unsigned target = targetOf[f];
        if (target == keptTarget)
        {
            for (std::size_t k = 0; k < 3; ++k)
            {
                const unsigned entry = normalOf[3 * f + k];
                normalOf.Remade(3 * keptCount + k) = entry;
            }
            ++keptCount;
        }
        else
        {
            const unsigned entries[3] = {normalOf[3 * f], normalOf[3 * f + 1], normalOf[3 * f + 2]};
            targets[target]->SetFaceEntries(nextFace[target]++, entries);
        }
        // A page that is read to its end and holds nothing moved there yet
        // goes; moving may make it again later.
        const std::size_t read = 3 * (f + 1);
        nextFree = std::max(nextFree, (3 * keptCount + kPage - 1) / kPage);
        for (; (nextFree + 1) * kPage <= read; ++nextFree)
            normalOf.FreePage(nextFree);
    }
}

template void LEGOPolyMesh::MoveNormalsOut(const std::vector<std::uint8_t>&, unsigned,
                                           const std::vector<LEGOPolyMesh*>&);
template void LEGOPolyMesh::MoveNormalsOut(const std::vector<unsigned>&, unsigned,
                                           const std::vector<LEGOPolyMesh*>&);

void LEGOPolyMesh::KeepFaces(const unsigned* kept, std::size_t count)
{
    // The normals of the kept polygons come from the vertices as they are.
    ComputePendingNormals();
    ReleaseEdges();
    ReleaseLookups();
    const bool isColorShared = faceColors.IsShared();
    constexpr unsigned kUnused = ~0u;
    std::vector<unsigned> newIndex(vertices.size(), kUnused);
    unsigned keptCount = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        const unsigned f = kept[i];
        assert(f >= i && f < polygons.size());
        if (f != i)
        {
            polygons[i] = std::move(polygons[f]);
            if (!arePolygonNormalsReleased)
                polygonNormals[i] = polygonNormals[f];
            if (!isColorShared)
                faceColors[i] = faceColors[f];
        }
        for (unsigned& vertex : polygons[i].vertexIndices)
        {
            if (newIndex[vertex] == kUnused)
                newIndex[vertex] = keptCount++;
            vertex = newIndex[vertex];
        }
    }
    // Each kept vertex moves to its new place within the list, a chain at a
    // time: the vertex whose place it takes is carried on to its own, until
    // the place taken held a vertex that is not kept or has moved already.
    std::vector<bool> isMoved(vertices.size(), false);
    for (std::size_t start = 0; start < vertices.size(); ++start)
    {
        if (newIndex[start] == kUnused || isMoved[start])
            continue;
        Vector3 carried = vertices[start];
        for (std::size_t from = start;;)
        {
            isMoved[from] = true;
            const std::size_t to = newIndex[from];
            const bool isWaiting = newIndex[to] != kUnused && !isMoved[to];
            const Vector3 next = vertices[to];
            vertices[to] = carried;
            if (!isWaiting)
                break;
            carried = next;
            from = to;
        }
    }
    polygons.resize(count);
    if (!arePolygonNormalsReleased)
    {
        polygonNormals.resize(count);
        polygonsWithNormals = static_cast<unsigned>(polygons.size());
    }
    faceColors.Truncate(count);
    normalOf.resize(3 * count);
    vertices.resize(keptCount);
    RenumberClosePairs(newIndex);
    // The lookups are built again, from the kept vertices, should anything
    // merge into the mesh.
    ReleaseLookups();
}

void LEGOPolyMesh::CreateNormals(bool smooth)
{
    // The mesh is done growing: what its vertex list grew beyond goes back
    // before the normals take their memory.
    TrimVertices();
    FixNormals(true);
    // Nothing below reads edges: their memory goes before the normals take
    // theirs.
    ReleaseEdges();
    const unsigned polygonCount = GetPolygonCount();
    if (faceColors.size() != polygonCount)
        ResizeFaces(polygonCount);
    // Slots for the corners there are: three, or four once any polygon has
    // more than three corners (only four corners take part).
    unsigned slots = 3;
    for (unsigned p = 0; p < polygonCount && slots == 3; ++p)
        if (polygons[p].vertexIndices.size() > 3)
            slots = 4;
    normalOf.Release();
    normals.reset();
    normalSlots = slots;
    ComputePendingNormals();
    // Corners that smoothing leaves alone keep their polygon's normal: then
    // the polygon normals open the list, entry p + 1 being polygon p's.
    bool isEverySlotSmoothed = smooth;
    for (unsigned p = 0; p < polygonCount && isEverySlotSmoothed; ++p)
        isEverySlotSmoothed = polygons[p].vertexIndices.size() >= slots;
    normalOf.resize(std::size_t(polygonCount) * slots);
    if (!isEverySlotSmoothed)
    {
        normals = std::make_shared<PagedArray<Vector3>>();
        normals->resize(polygonCount);
        for (unsigned p = 0; p < polygonCount; ++p)
            (*normals)[p] = polygonNormals[p];
        Parallel::For(polygonCount, 16384,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t p = begin; p < end; ++p)
                              for (std::size_t k = 0; k < slots; ++k)
                                  normalOf[p * slots + k] = static_cast<unsigned>(p + 1);
                      });
    }
    // The corners hold the normals from now on.
    PagedArray<Vector3> polygonNormal;
    if (smooth)
        polygonNormal.swap(polygonNormals);
    ReleasePolygonNormals();
    if (!smooth)
        return;

    // The positions of the normal slots in the widest type they need.
    if (std::size_t(polygonCount) * slots > ~0u)
        SmoothCorners<std::size_t>(std::move(polygonNormal));
    else
        SmoothCorners<unsigned>(std::move(polygonNormal));
}

template <typename Slot>
void LEGOPolyMesh::SmoothCorners(PagedArray<Vector3> polygonNormal)
{
    const unsigned polygonCount = GetPolygonCount();
    const unsigned vertexCount = GetVertexCount();
    const std::size_t slots = normalSlots;
    const auto cornersOf = [&](unsigned p)
    { return std::min<unsigned>(static_cast<unsigned>(polygons[p].vertexIndices.size()), 4); };

    // Every vertex's corners, as the positions of their normal slots, in a
    // chain through the slots themselves until each gets its entry: head[v]
    // names the first, each slot the next, in polygon order and within a
    // polygon in corner order. Made from the last corner back, each put in
    // front. Where a slot's position does not fit an entry the chain has
    // links of its own.
    constexpr Slot kEnd = ~Slot(0);
    constexpr bool kLinksInSlots = std::is_same<Slot, unsigned>::value;
    std::vector<Slot> head(vertexCount, kEnd);
    std::vector<Slot> wideLinks(kLinksInSlots ? 0 : std::size_t(polygonCount) * slots);
    const auto link = [&](Slot slot) -> Slot&
    {
        if constexpr (kLinksInSlots)
            return normalOf[slot];
        else
            return wideLinks[slot];
    };
    // A page of face normals is freed as soon as every corner that reads it
    // has: each range counts its reads and hands them in every few thousand
    // vertices, and the one that hands in the last frees the page. Faces
    // that come in the order their vertices were first used (a merged mesh)
    // free their pages from the first on, while the ranges' lists of
    // normals grow.
    constexpr std::size_t kFacePage = PagedArray<Vector3>::kPageElements;
    const std::size_t facePages = (std::size_t(polygonCount) + kFacePage - 1) / kFacePage;
    const bool freesPages = facePages > 1;
    std::vector<std::uint32_t> reads(freesPages ? facePages : 0, 0);
    for (unsigned p = polygonCount; p-- > 0;)
    {
        const _Polygon& polygon = polygons[p];
        const unsigned corners = cornersOf(p);
        if (freesPages)
            reads[p / kFacePage] += corners;
        for (unsigned k = corners; k-- > 0;)
        {
            const Slot slot = static_cast<Slot>(p * slots + k);
            Slot& first = head[polygon.vertexIndices[k]];
            link(slot) = first;
            first = slot;
        }
    }
    const std::unique_ptr<std::atomic<std::uint32_t>[]> unread(
        new std::atomic<std::uint32_t>[reads.size()]);
    for (std::size_t page = 0; page < reads.size(); ++page)
        unread[page].store(reads[page], std::memory_order_relaxed);

    // Each vertex reads and writes only its own corners' slots. Each range
    // of vertices lists its normals, the corners with equal normals sharing
    // an entry, and numbers them from 1 in the meantime.
    struct Found
    {
        std::size_t begin;
        std::size_t end;
        DistinctNormals::List normals;
    };
    std::vector<Found> found;
    std::mutex foundMutex;
    Parallel::For(
        vertexCount, 8192,
        [&](std::size_t begin, std::size_t end)
        {
            std::vector<Slot> corners;
            std::vector<Vector3> group;
            std::vector<unsigned> vertexEntries;
            DistinctNormals distinct;
            const DistinctNormals::List& list = distinct.list;
            std::vector<std::uint32_t> read(reads.size(), 0);
            const auto handIn = [&]
            {
                for (std::size_t page = 0; page < read.size(); ++page)
                    if (read[page] != 0)
                    {
                        if (unread[page].fetch_sub(read[page], std::memory_order_acq_rel) ==
                            read[page])
                            polygonNormal.FreePage(page);
                        read[page] = 0;
                    }
            };
            for (std::size_t v = begin; v < end; ++v)
            {
                if ((v - begin) % kVerticesPerTable == 0)
                {
                    distinct.Forget();
                    handIn();
                }
                corners.clear();
                group.clear();
                for (Slot slot = head[v]; slot != kEnd; slot = link(slot))
                {
                    corners.push_back(slot);
                    // Three or four slots a face, divided by constants.
                    const std::size_t face = slots == 3 ? slot / 3 : slot / 4;
                    group.push_back(polygonNormal[face]);
                    if (freesPages)
                        ++read[face / kFacePage];
                }
                SmoothNormals(group);
                // The vertex's own entries first: most of its corners
                // share one. A vast fan goes to the table at once.
                const bool isSearched = corners.size() <= kSmallGroup * 4;
                vertexEntries.clear();
                for (std::size_t c = 0; c < corners.size(); ++c)
                {
                    const Vector3& normal = group[c];
                    std::size_t i = 0;
                    while (i < vertexEntries.size() && !SameBits(list[vertexEntries[i]], normal))
                        ++i;
                    if (i == vertexEntries.size())
                    {
                        const unsigned e = distinct.Find(normal);
                        if (!isSearched)
                        {
                            normalOf[corners[c]] = e + 1;
                            continue;
                        }
                        vertexEntries.push_back(e);
                    }
                    normalOf[corners[c]] = vertexEntries[i] + 1;
                }
            }
            handIn();
            const std::lock_guard<std::mutex> lock(foundMutex);
            found.push_back({begin, end, std::move(distinct.list)});
        });

    polygonNormal.Release();
    std::vector<Slot>().swap(wideLinks);

    // The lists join in vertex order, each page freed once copied; each
    // range's entries move up by the entries before its list, which its
    // vertices note where their chains began.
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.begin < b.begin; });
    OwnNormals();
    std::size_t total = normals->size();
    for (const Found& range : found)
        total += range.normals.size();
    normals->ReserveFirstPage(total);
    bool isAnyShifted = false;
    std::vector<std::size_t> before(found.size());
    for (std::size_t i = 0; i < found.size(); ++i)
    {
        DistinctNormals::List& list = found[i].normals;
        before[i] = normals->size();
        isAnyShifted = isAnyShifted || before[i] != 0;
        constexpr std::size_t kListPage = DistinctNormals::List::kPageElements;
        for (std::size_t from = 0; from < list.size(); from += kListPage)
        {
            const std::size_t to = std::min(list.size(), from + kListPage);
            normals->resize(before[i] + to);
            for (std::size_t e = from; e < to; ++e)
                (*normals)[before[i] + e] = list[e];
            list.FreePage(from / kListPage);
        }
        list.Release();
    }
    if (!isAnyShifted)
        return;
    Parallel::ForEach(found.size(),
                      [&](std::size_t i)
                      {
                          std::fill(head.begin() + static_cast<std::ptrdiff_t>(found[i].begin),
                                    head.begin() + static_cast<std::ptrdiff_t>(found[i].end),
                                    static_cast<Slot>(before[i]));
                      });
    Parallel::For(polygonCount, 16384,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t p = begin; p < end; ++p)
                      {
                          const _Polygon& polygon = polygons[p];
                          for (unsigned k = 0; k < cornersOf(static_cast<unsigned>(p)); ++k)
                              normalOf[p * slots + k] +=
                                  static_cast<unsigned>(head[polygon.vertexIndices[k]]);
                      }
                  });
}

// For every corner i in turn, the normalised sum of the normals within the
// threshold of normal i is assigned to each of those corners, a later i
// overwriting an earlier one. So corner j ends with the sum of the highest i
// within the threshold of j, or (0, 0, 1) when there is none (a zero normal).
// Sums are formed in corner order, exactly as that loop forms them; only the
// sums that some corner ends with are formed at all.
void LEGOPolyMesh::SmoothNormals(std::vector<Vector3>& group)
{
    const unsigned n = static_cast<unsigned>(group.size());
    if (n == 0)
        return;

    if (n <= kSmallGroup)
    {
        // The same cosine as AngleCosine gives, each length taken once.
        double length[kSmallGroup];
        for (unsigned i = 0; i < n; ++i)
            length[i] = group[i].Length();
        bool within[kSmallGroup][kSmallGroup];
        for (unsigned i = 0; i < n; ++i)
            for (unsigned j = 0; j <= i; ++j)
                within[i][j] = within[j][i] =
                    IsCosineWithinSmoothingAngle(group[i].Dot(group[j]) / (length[i] * length[j]));
        Vector3 result[kSmallGroup];  // (0, 0, 1) each
        unsigned sumOwner[kSmallGroup];
        Vector3 sums[kSmallGroup];
        bool isSumFormed[kSmallGroup] = {};
        for (unsigned j = 0; j < n; ++j)
        {
            unsigned i = n;
            while (i > 0 && !within[i - 1][j])
                --i;
            if (i == 0)
                continue;  // no neighbour at all: the default stays
            sumOwner[j] = --i;
            if (!isSumFormed[i])
            {
                Vector3 sum(0.0, 0.0, 0.0);
                for (unsigned k = 0; k < n; ++k)
                    if (within[i][k])
                        sum += group[k];
                sum.Unit();
                sums[i] = sum;
                isSumFormed[i] = true;
            }
            result[j] = sums[sumOwner[j]];
        }
        std::copy(result, result + n, group.begin());
        return;
    }

    std::vector<Vector3> result(n);  // (0, 0, 1) each

    // Large groups (fans around one vertex) repeat few distinct normals. The
    // threshold test depends on the values only, so corners with equal bits
    // form one class and every test is made once per pair of classes.
    std::vector<unsigned> order(n);
    for (unsigned j = 0; j < n; ++j)
        order[j] = j;
    std::sort(order.begin(), order.end(),
              [&group](unsigned a, unsigned b)
              {
                  const int byBits = std::memcmp(&group[a], &group[b], sizeof(Vector3));
                  return byBits != 0 ? byBits < 0 : a < b;
              });
    std::vector<unsigned> classOf(n);
    std::vector<unsigned> representative;  // a member of each class
    std::vector<unsigned> lastMember;      // the highest corner of each class
    for (unsigned s = 0; s < n; ++s)
    {
        const unsigned j = order[s];
        if (s == 0 || !SameBits(group[j], group[order[s - 1]]))
        {
            representative.push_back(j);
            lastMember.push_back(j);
        }
        classOf[j] = static_cast<unsigned>(representative.size() - 1);
        lastMember.back() = j;  // ascending within a class
    }
    const unsigned classCount = static_cast<unsigned>(representative.size());
    // Beyond this many different normals at one vertex the pairwise tests
    // below would grow with the square of the fan: corners keep their own
    // normal instead. Real parts meet a few dozen at one vertex at most.
    if (classCount > kMaxSmoothedClasses)
    {
        // A normal that is within no angle of itself (zero or NaN) ends up
        // as the default, as it would when smoothed.
        for (Vector3& normal : group)
            if (!IsWithinSmoothingAngle(normal, normal))
                normal = Vector3();
        return;
    }

    // Classes by their highest corner, highest first.
    std::vector<unsigned> byLastMember(classCount);
    for (unsigned c = 0; c < classCount; ++c)
        byLastMember[c] = c;
    std::sort(byLastMember.begin(), byLastMember.end(),
              [&lastMember](unsigned a, unsigned b) { return lastMember[a] > lastMember[b]; });

    constexpr unsigned kNoClass = ~0u;
    std::vector<unsigned> ownerClass(classCount, kNoClass);
    for (unsigned c = 0; c < classCount; ++c)
        for (const unsigned owner : byLastMember)
            if (IsWithinSmoothingAngle(group[representative[owner]], group[representative[c]]))
            {
                ownerClass[c] = owner;
                break;
            }

    std::vector<Vector3> classSum(classCount);
    std::vector<char> isSumFormed(classCount, 0);
    std::vector<char> isWithinOwner(classCount);
    for (unsigned c = 0; c < classCount; ++c)
    {
        const unsigned owner = ownerClass[c];
        if (owner == kNoClass || isSumFormed[owner])
            continue;
        const Vector3& ownerNormal = group[representative[owner]];
        for (unsigned k = 0; k < classCount; ++k)
            isWithinOwner[k] =
                IsWithinSmoothingAngle(ownerNormal, group[representative[k]]) ? 1 : 0;
        Vector3 sum(0.0, 0.0, 0.0);
        for (unsigned k = 0; k < n; ++k)
            if (isWithinOwner[classOf[k]])
                sum += group[k];
        sum.Unit();
        classSum[owner] = sum;
        isSumFormed[owner] = 1;
    }
    for (unsigned j = 0; j < n; ++j)
        if (ownerClass[classOf[j]] != kNoClass)
            result[j] = classSum[ownerClass[classOf[j]]];
    group.swap(result);
}
