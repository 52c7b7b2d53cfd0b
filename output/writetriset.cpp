#include "output/writetriset.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string_view>

#include "model/parallel.h"

namespace
{

// Transparent codes have alpha 0.5; everything at or above this is opaque.
constexpr double kTransparencyLimit = 0.7;

// The indentation is tabs only, a few of them: a loop beats a copy call.
char* PutIndent(char* out, std::size_t depth)
{
    for (std::size_t i = 0; i < depth; ++i)
        *out++ = '\t';
    return out;
}

// Lists shorter than this are written item by item on the calling thread.
constexpr unsigned kSlicedListItems = 8192;
// About this much text per slice.
constexpr std::size_t kSliceBytes = std::size_t(1) << 20;

// The inherited main and edge colours have no colour of their own.
bool HasOwnColor(int code)
{
    return code != LDrawColor::Main && code != LDrawColor::Edge;
}

}  // namespace

bool WriteTriset::WriteModel(const std::string& path, const ModelToWrite& model,
                             const ColorTable& colourTable)
{
    return Write(path.c_str(), *model.tree, colourTable, true);
}

bool WriteTriset::Write(const char* fileName, const LegoPart& part, const ColorTable& colourTable,
                        bool showBoundingBoxes)
{
    colours = &colourTable;
    const unsigned nodeCount = part.GetNodeCount();
    std::string indent;
    polygonCount = vertexCount = meshCount = instanceCount = levelCount = 0;

    if (!out.Open(fileName))
    {
        ReportFileError(std::string("Cannot open file ") + fileName + " for writing", fileName,
                        out.ErrorNumber());
        return false;
    }
    out.Write("TRISETIO ");
    out.Write("1.0");
    out.Write("\n\n");

    if (nodeCount >= 1)
    {
        // The root carries the model's placements of the parts.
        WriteLevel(0, part, indent, true, showBoundingBoxes);

        OpenBlock(indent, "LEVEL");
        WriteLine(indent, "Name = Parts\n");
        WriteLine(indent, "Invisible\n");
        WriteLine(indent, "END ATTRIB\n");
        for (unsigned i = 1; i < nodeCount; ++i)
        {
            const _LegoNode* node = part.GetNode(i);
            if (node->kind != NodeKind::Deleted && !IsBoundingBoxesNode(*node, i))
                WriteLevel(static_cast<int>(i), part, indent, false, false);
        }
        CloseBlock(indent, "LEVEL", "Parts");
    }
    // The boxes are placed as the root places the parts; exactly one of the
    // two LEVELs is visible.
    for (unsigned i = 1; i < nodeCount; ++i)
        if (IsBoundingBoxesNode(*part.GetNode(i), i))
            WriteLevel(static_cast<int>(i), part, indent, true, !showBoundingBoxes);

    if (!out.Close())
    {
        ReportFileError(std::string("writing file ") + fileName + " failed", fileName,
                        out.ErrorNumber());
        return false;
    }
    return true;
}

void WriteTriset::DumpStats(std::ostream& stream) const
{
    stream << "Polygons : " << polygonCount << '\n';
    stream << "Vertices : " << vertexCount << '\n';
    stream << "Meshes   : " << meshCount << '\n';
    stream << "Instances: " << instanceCount << '\n';
    stream << "Levels   : " << levelCount << '\n';
}

void WriteTriset::WriteLevel(int nodeIndex, const LegoPart& part, std::string& indent,
                             bool wrapChildren, bool invisible)
{
    const _LegoNode* node = part.GetNode(static_cast<unsigned>(nodeIndex));
    if (node == nullptr)
        return;
    ++levelCount;
    OpenBlock(indent, "LEVEL");
    WriteLine(indent, "Name = ", node->name, "\n");
    if (HasOwnColor(NodeColor(*node)))
        WriteColorLines(NodeColor(*node), indent);
    if (invisible)
        WriteLine(indent, "Invisible\n");
    WriteLine(indent, "END ATTRIB\n");

    for (std::size_t position = 0; position < node->children.size(); ++position)
    {
        const _LegoInstance& instance = node->children[position];
        // A reference to no node has nothing to place. Cleaning leaves none.
        const _LegoNode* child = part.GetNode(static_cast<unsigned>(instance.node));
        if (child == nullptr)
            continue;
        if (!wrapChildren)
        {
            WriteInstance(node, static_cast<int>(position), part, indent);
            continue;
        }
        // The wrapper carries the colour of this one placement.
        OpenBlock(indent, "LEVEL");
        WriteLine(indent, "Name = ", child->name, "_wrapper\n");
        if (HasOwnColor(instance.color))
            WriteColorLines(instance.color, indent);
        WriteLine(indent, "END ATTRIB\n");
        WriteInstance(node, static_cast<int>(position), part, indent);
        CloseBlock(indent, "LEVEL", child->name);
    }

    if (node->mesh.GetPolygonCount() > 0)
        WriteMesh(node, indent);
    CloseBlock(indent, "LEVEL", node->name);
}

void WriteTriset::WriteInstance(const _LegoNode* parent, int position, const LegoPart& part,
                                std::string& indent)
{
    if (position < 0 || static_cast<std::size_t>(position) >= parent->children.size())
        return;
    const _LegoInstance& instance = parent->children[static_cast<std::size_t>(position)];
    const _LegoNode* child = part.GetNode(static_cast<unsigned>(instance.node));
    if (child == nullptr)
        return;
    OpenBlock(indent, "INSTANCE");
    WriteLine(indent, "Name = instance of level ", child->name, "\n");
    WriteLine(indent, "Matrix =");
    WriteMatrix(instance.transform);
    out.Write('\n');
    ++instanceCount;
    WriteLine(indent, "END ATTRIB\n");
    WriteLine(indent, "SOURCE = LEVEL ", child->name, "\n");
    CloseBlock(indent, "INSTANCE", child->name);
}

template <class Item>
void WriteTriset::WriteList(unsigned count, std::size_t itemRoom, const Item& item)
{
    const std::size_t jobs = Parallel::Jobs();
    if (jobs == 1 || count < kSlicedListItems)
    {
        for (unsigned i = 0; i < count; ++i)
            out.EndText(item(out.BeginText(itemRoom), i, reals));
        return;
    }
    const std::size_t sliceItems = std::max<std::size_t>(1, kSliceBytes / itemRoom);
    const std::size_t sliceCount = (count + sliceItems - 1) / sliceItems;
    // No more slices are made at once than there are cores: more would only
    // hold more buffers and colder number caches.
    const std::size_t makers = std::min<std::size_t>({jobs, Parallel::Cores(), sliceCount});
    if (slices.size() < makers)
        slices.resize(makers);
    for (Slice& slice : slices)
    {
        if (slice.room < sliceItems * itemRoom)
        {
            slice.room = sliceItems * itemRoom;
            slice.text.reset(new char[slice.room]);
        }
    }
    // Each slice is made in whichever buffer is free and written as soon as
    // the slices before it are: the writing of one overlaps the making of
    // the next.
    std::mutex mutex;
    std::condition_variable turnChange;
    std::vector<Slice*> free;
    for (Slice& slice : slices)
        free.push_back(&slice);
    std::size_t turn = 0;      // the slice to write next
    bool isAbandoned = false;  // a write threw: the rest is not written
    std::atomic<std::size_t> nextSlice{0};
    const auto makeSlice = [&](std::size_t k)
    {
        Slice* slice = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            turnChange.wait(lock, [&] { return !free.empty(); });
            slice = free.back();
            free.pop_back();
        }
        const std::size_t begin = k * sliceItems;
        const std::size_t end = std::min<std::size_t>(count, begin + sliceItems);
        char* at = slice->text.get();
        for (std::size_t i = begin; i < end; ++i)
            at = item(at, static_cast<unsigned>(i), slice->reals);
        std::unique_lock<std::mutex> lock(mutex);
        turnChange.wait(lock, [&] { return turn == k; });
        lock.unlock();
        std::exception_ptr failure;
        if (!isAbandoned)
        {
            try
            {
                out.Write(std::string_view(slice->text.get(),
                                           static_cast<std::size_t>(at - slice->text.get())));
            }
            catch (...)
            {
                failure = std::current_exception();
            }
        }
        lock.lock();
        isAbandoned = isAbandoned || failure != nullptr;
        free.push_back(slice);
        ++turn;
        lock.unlock();
        turnChange.notify_all();
        if (failure != nullptr)
            std::rethrow_exception(failure);
    };
    // Each maker takes the next slice until none is left.
    Parallel::ForEach(makers,
                      [&](std::size_t)
                      {
                          for (std::size_t k = nextSlice++; k < sliceCount; k = nextSlice++)
                              makeSlice(k);
                      });
}

void WriteTriset::WriteMesh(const _LegoNode* node, std::string& indent)
{
    const LEGOPolyMesh& mesh = node->mesh;
    const unsigned pointCount = mesh.GetVertexCount();
    const unsigned faceCount = mesh.GetPolygonCount();
    ++meshCount;
    vertexCount += pointCount;
    polygonCount += faceCount;

    OpenBlock(indent, "TRISET");
    WriteLine(indent, "Name = ", node->name, " triset\n");
    WriteLine(indent, "END ATTRIB\n");
    WriteLine(indent, "PointCount = ");
    WriteUnsigned(pointCount);
    out.Write('\n');
    WriteLine(indent, "FaceCount = ");
    WriteUnsigned(faceCount);
    out.Write('\n');

    // The lists are most of the file: each line is built in place.
    const std::size_t depth = indent.size();
    const std::size_t lineRoom = depth + 2 + 3 * (kMaxRealText + 1) + 8;
    WriteLine(indent, "Vertices = {\n");
    WriteList(
        pointCount, lineRoom,
        [&](char* at, unsigned v, RealTextCache& cache)
        { return PutVectorLine(PutIndent(at, depth), "\t{ ", mesh.GetVertex(v), "}\n", cache); });
    WriteLine(indent, "\t}\n");

    WriteLine(indent, "Faces = {\n");
    WriteList(faceCount, lineRoom,
              [&](char* at, unsigned f, RealTextCache&)
              {
                  // Every polygon is a triangle.
                  char* line = PutIndent(at, depth);
                  std::memcpy(line, "\t{ ", 3);
                  line = format_unsigned(line + 3, mesh.GetPolygonVertexIndex(f, 0));
                  *line++ = ' ';
                  line = format_unsigned(line, mesh.GetPolygonVertexIndex(f, 1));
                  *line++ = ' ';
                  line = format_unsigned(line, mesh.GetPolygonVertexIndex(f, 2));
                  std::memcpy(line, " }\n", 3);
                  return line + 3;
              });
    WriteLine(indent, "\t}\n");

    // Each face: its three corner normals between lines of their own.
    WriteLine(indent, "Normals = {\n");
    WriteList(faceCount, 3 * lineRoom + 2 * (depth + 3),
              [&](char* at, unsigned f, RealTextCache& cache)
              {
                  at = PutIndent(at, depth);
                  std::memcpy(at, "\t{\n", 3);
                  at += 3;
                  for (unsigned corner = 0; corner < 3; ++corner)
                      at = PutVectorLine(PutIndent(at, depth), "\t\t{ ",
                                         mesh.CornerNormal(f, corner), " }\n", cache);
                  at = PutIndent(at, depth);
                  std::memcpy(at, "\t}\n", 3);
                  return at + 3;
              });
    WriteLine(indent, "\t}\n");
    CloseBlock(indent, "TRISET", node->name, " triset");
}

char* WriteTriset::PutVectorLine(char* line, std::string_view opening, const Vector3& v,
                                 std::string_view closing, RealTextCache& reals)
{
    std::memcpy(line, opening.data(), opening.size());
    line = reals.Put(line + opening.size(), v.x);
    *line++ = ' ';
    line = reals.Put(line, v.y);
    *line++ = ' ';
    line = reals.Put(line, v.z);
    std::memcpy(line, closing.data(), closing.size());
    return line + closing.size();
}

void WriteTriset::WriteMatrix(const Matrix4x4& matrix)
{
    for (const double element : matrix.m)
    {
        out.Write(' ');
        WriteReal(element);
    }
}

void WriteTriset::WriteColorLines(int code, const std::string& indent)
{
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
    colours->LEGOColorRGBA(code, red, green, blue, alpha);
    WriteLine(indent, "Color = ");
    WriteReal(red);
    out.Write(' ');
    WriteReal(green);
    out.Write(' ');
    WriteReal(blue);
    out.Write(" 1\n");
    if (alpha < kTransparencyLimit)
    {
        WriteLine(indent, "Transparency = ");
        for (int i = 0; i < 4; ++i)
        {
            if (i > 0)
                out.Write(' ');
            WriteReal(alpha);
        }
        out.Write('\n');
    }
}

void WriteTriset::WriteLine(const std::string& indent, std::string_view text)
{
    out.Write(indent);
    out.Write(text);
}

void WriteTriset::WriteLine(const std::string& indent, std::string_view text, std::string_view name,
                            std::string_view suffix)
{
    out.Write(indent);
    out.Write(text);
    out.Write(name);
    out.Write(suffix);
}

void WriteTriset::OpenBlock(std::string& indent, std::string_view kind)
{
    WriteLine(indent, "Class = ", kind, " {\n");
    indent.push_back('\t');
}

void WriteTriset::CloseBlock(std::string& indent, std::string_view kind, std::string_view name,
                             std::string_view suffix)
{
    WriteLine(indent, "} \\\\ end ", kind, " ");
    out.Write(name);
    out.Write(suffix);
    out.Write('\n');
    indent.pop_back();
}
