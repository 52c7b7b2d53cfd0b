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

// Copies `text` to `out`; returns the end.
char* PutText(char* out, std::string_view text)
{
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// At most this much room per piece made on a job, and at least a 64th of
// the layout's room or the smallest: a unit's buffer is fresh memory, and a
// small file would rather have small ones.
constexpr std::size_t kSliceBytes = std::size_t(1) << 20;
constexpr std::size_t kSmallestSliceBytes = std::size_t(1) << 18;
// Less than this is made on the calling thread, straight into the file's
// buffer: buffers for the jobs would cost more fresh memory than the jobs
// save (a few megabytes of text).
constexpr std::size_t kRoomForJobs = std::size_t(8) << 20;
// The laid-out text is written once it holds this much: the lines between
// the lists (instances, colours) are short, but a model may place millions
// of parts.
constexpr std::size_t kLaidOutBytes = std::size_t(1) << 20;

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
    PrepareStream(fileName, colourTable, showBoundingBoxes);
    Begin(part, part.GetNodeCount());
    End(part, part.GetNodeCount());
    return isWritten;
}

CleanedNodes* WriteTriset::WriteWhileCleaned(const std::string& fileName,
                                             const ColorTable& colourTable)
{
    PrepareStream(fileName, colourTable, true);
    return this;
}

void WriteTriset::PrepareStream(const std::string& fileName, const ColorTable& colourTable,
                                bool showBoundingBoxes)
{
    scenePath = fileName;
    colours = &colourTable;
    showsBoxes = showBoundingBoxes;
    isWritten = false;
}

void WriteTriset::Begin(const LegoPart& part, unsigned firstLater)
{
    tree = &part;
    levelIndent.clear();
    polygonCount = vertexCount = meshCount = instanceCount = levelCount = 0;
    isPartsOpen = false;

    // A file that cannot be created is reported at End, where Write reports
    // it, after anything the cleaning reports in between.
    isOpen = out.Open(scenePath);
    isOpenFailed = !isOpen;
    if (!isOpen)
        return;
    laidOut.clear();
    lists.clear();
    ForgetNormals();
    Put("TRISETIO ");
    Put("1.0");
    Put("\n\n");

    if (part.GetNodeCount() >= 1)
    {
        // The root carries the model's placements of the parts.
        WriteLevel(0, part, levelIndent, true, showsBoxes);

        OpenBlock(levelIndent, "LEVEL");
        WriteLine(levelIndent, "Name = Parts\n");
        WriteLine(levelIndent, "Invisible\n");
        WriteLine(levelIndent, "END ATTRIB\n");
        isPartsOpen = true;
        WritePartLevels(part, 1, firstLater);
    }
    WriteLaidOut();
}

void WriteTriset::Take(const LegoPart& part, unsigned first, unsigned end)
{
    if (!isOpen)
        return;
    tree = &part;
    ForgetNormals();
    WritePartLevels(part, first, end);
    WriteLaidOut();
}

void WriteTriset::End(const LegoPart& part, unsigned first)
{
    if (isOpenFailed)
    {
        isOpenFailed = false;
        ReportFileError("Cannot open file " + scenePath + " for writing", scenePath,
                        out.ErrorNumber());
        return;
    }
    if (!isOpen)
        return;
    tree = &part;
    const unsigned nodeCount = part.GetNodeCount();
    if (isPartsOpen)
    {
        WritePartLevels(part, first, nodeCount);
        CloseBlock(levelIndent, "LEVEL", "Parts");
        isPartsOpen = false;
    }
    // The boxes are placed as the root places the parts; exactly one of the
    // two LEVELs is visible.
    for (unsigned i = 1; i < nodeCount; ++i)
        if (IsBoundingBoxesNode(*part.GetNode(i), i))
            WriteLevel(static_cast<int>(i), part, levelIndent, true, !showsBoxes);

    WriteLaidOut();
    isOpen = false;
    isWritten = out.Close();
    if (!isWritten)
        ReportFileError("writing file " + scenePath + " failed", scenePath, out.ErrorNumber());
}

void WriteTriset::WritePartLevels(const LegoPart& part, unsigned first, unsigned end)
{
    for (unsigned i = std::max(first, 1u); i < end; ++i)
    {
        const _LegoNode* node = part.GetNode(i);
        if (node->kind != NodeKind::Deleted && !IsBoundingBoxesNode(*node, i))
            WriteLevel(static_cast<int>(i), part, levelIndent, false, false);
    }
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

    PutPlacements(*node, indent.size(), wrapChildren);

    if (node->mesh.GetPolygonCount() > 0)
        WriteMesh(node, indent);
    CloseBlock(indent, "LEVEL", node->name);
}

void WriteTriset::PutPlacements(const _LegoNode& node, std::size_t depth, bool wrap)
{
    // A reference to no node has nothing to place. Cleaning leaves none.
    MeshList list{laidOut.size(),       nullptr, &node, 0, static_cast<unsigned>(depth),
                  ListKind::Placements, wrap};
    for (const _LegoInstance& instance : node.children)
        if (const _LegoNode* child = tree->GetNode(static_cast<unsigned>(instance.node)))
        {
            ++instanceCount;
            list.nameRoom = std::max(list.nameRoom, child->name.size());
        }
    list.count = static_cast<unsigned>(node.children.size());
    if (list.count > 0)
        lists.push_back(list);
}

char* WriteTriset::PutPlacement(const MeshList& list, unsigned position, char* at,
                                RealTextCache& numbers) const
{
    const _LegoInstance& instance = list.placer->children[position];
    const _LegoNode* child = tree->GetNode(static_cast<unsigned>(instance.node));
    if (child == nullptr)
        return at;
    const std::string_view name = child->name;
    std::size_t depth = list.depth;
    const auto putLine = [&](std::initializer_list<std::string_view> parts)
    {
        at = PutIndent(at, depth);
        for (const std::string_view part : parts)
            at = PutText(at, part);
    };
    if (list.isWrapped)
    {
        // The wrapper carries the colour of this one placement.
        putLine({"Class = LEVEL {\n"});
        ++depth;
        putLine({"Name = ", name, "_wrapper\n"});
        if (HasOwnColor(instance.color))
            at = PutColorLines(at, instance.color, depth, numbers);
        putLine({"END ATTRIB\n"});
    }
    putLine({"Class = INSTANCE {\n"});
    ++depth;
    putLine({"Name = instance of level ", name, "\n"});
    putLine({"Matrix ="});
    for (const double element : instance.transform.m)
    {
        *at++ = ' ';
        at = numbers.Put(at, element);
    }
    *at++ = '\n';
    putLine({"END ATTRIB\n"});
    putLine({"SOURCE = LEVEL ", name, "\n"});
    putLine({"} \\\\ end INSTANCE ", name, "\n"});
    if (list.isWrapped)
    {
        --depth;
        putLine({"} \\\\ end LEVEL ", name, "\n"});
    }
    return at;
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
    Put('\n');
    WriteLine(indent, "FaceCount = ");
    WriteUnsigned(faceCount);
    Put('\n');

    // The lists are most of the file: each is made when the layout is
    // written.
    const std::size_t depth = indent.size();
    WriteLine(indent, "Vertices = {\n");
    PutList(mesh, depth, ListKind::Vertices, pointCount);
    WriteLine(indent, "\t}\n");
    WriteLine(indent, "Faces = {\n");
    PutList(mesh, depth, ListKind::Faces, faceCount);
    WriteLine(indent, "\t}\n");
    // Each face: its three corner normals between lines of their own.
    WriteLine(indent, "Normals = {\n");
    PutList(mesh, depth, ListKind::Normals, faceCount);
    WriteLine(indent, "\t}\n");
    CloseBlock(indent, "TRISET", node->name, " triset");
}

char* WriteTriset::BeginText(std::size_t length)
{
    const std::size_t size = laidOut.size();
    laidOut.resize(size + length);
    return laidOut.data() + size;
}

void WriteTriset::PutList(const LEGOPolyMesh& mesh, std::size_t depth, ListKind kind,
                          unsigned count)
{
    lists.push_back({laidOut.size(), &mesh, nullptr, count, static_cast<unsigned>(depth), kind});
}

std::size_t WriteTriset::ItemRoom(const MeshList& list)
{
    if (list.kind == ListKind::Placements)
    {
        // Twelve lines of at most one name, indentation and 32 characters
        // more, and 23 numbers: 16 of the matrix, 3 of a colour and 4 of a
        // transparency.
        const std::size_t lineRoom = list.depth + 2 + list.nameRoom + 32;
        return 12 * lineRoom + 23 * (kMaxRealText + 1);
    }
    const std::size_t lineRoom = list.depth + 2 + 3 * (kMaxRealText + 1) + 8;
    return list.kind == ListKind::Normals ? 3 * lineRoom + 2 * (list.depth + 3) : lineRoom;
}

char* WriteTriset::PutItems(const MeshList& list, unsigned begin, unsigned end, char* at,
                            TextMemory& remembered) const
{
    RealTextCache& numbers = remembered.reals;
    if (list.kind == ListKind::Placements)
    {
        for (unsigned position = begin; position < end; ++position)
            at = PutPlacement(list, position, at, numbers);
        return at;
    }
    const LEGOPolyMesh& mesh = *list.mesh;
    const std::size_t depth = list.depth;
    switch (list.kind)
    {
        case ListKind::Vertices:
            for (unsigned v = begin; v < end; ++v)
                at = PutVectorLine(PutIndent(at, depth), "\t{ ", mesh.GetVertex(v), "}\n", numbers);
            break;
        case ListKind::Faces:
            // Every polygon is a triangle.
            for (unsigned f = begin; f < end; ++f)
            {
                at = PutIndent(at, depth);
                std::memcpy(at, "\t{ ", 3);
                at = format_unsigned(at + 3, mesh.GetPolygonVertexIndex(f, 0));
                *at++ = ' ';
                at = format_unsigned(at, mesh.GetPolygonVertexIndex(f, 1));
                *at++ = ' ';
                at = format_unsigned(at, mesh.GetPolygonVertexIndex(f, 2));
                std::memcpy(at, " }\n", 3);
                at += 3;
            }
            break;
        case ListKind::Normals:
        {
            const void* const normalList = mesh.NormalList();
            for (unsigned f = begin; f < end; ++f)
            {
                at = PutIndent(at, depth);
                std::memcpy(at, "\t{\n", 3);
                at += 3;
                for (unsigned corner = 0; corner < 3; ++corner)
                {
                    // Most corners share their normal with one made shortly
                    // before: its text is copied.
                    at = PutText(PutIndent(at, depth), "\t\t{ ");
                    const unsigned entry = mesh.CornerNormalEntry(f, corner);
                    char* const text = at;
                    at = remembered.normals.Find(text, normalList, entry);
                    if (at == nullptr)
                    {
                        at = PutVectorLine(text, "", mesh.CornerNormal(f, corner), "", numbers);
                        remembered.normals.Keep(normalList, entry, text, at);
                    }
                    at = PutText(at, " }\n");
                }
                at = PutIndent(at, depth);
                std::memcpy(at, "\t}\n", 3);
                at += 3;
            }
            break;
        }
        case ListKind::Placements:
            break;
    }
    return at;
}

void WriteTriset::WriteLaidOut()
{
    const std::string_view text = laidOut;
    std::size_t totalRoom = text.size();
    for (const MeshList& list : lists)
        totalRoom += list.count * ItemRoom(list);
    if (Parallel::Jobs() == 1 || totalRoom < kRoomForJobs)
    {
        if (totalRoom >= kRoomForJobs)
            memory.normals.Prepare();
        std::size_t textAt = 0;
        for (const MeshList& list : lists)
        {
            out.Write(text.substr(textAt, list.textEnd - textAt));
            textAt = list.textEnd;
            const std::size_t itemRoom = ItemRoom(list);
            for (unsigned i = 0; i < list.count; ++i)
                out.EndText(PutItems(list, i, i + 1, out.BeginText(itemRoom), memory));
        }
        out.Write(text.substr(textAt));
    }
    else
    {
        WriteInPieces(totalRoom);
    }
    laidOut.clear();
    lists.clear();
}

void WriteTriset::ForgetNormals()
{
    memory.normals.Forget();
    for (Slice& slice : slices)
        slice.memory.normals.Forget();
}

void WriteTriset::WriteInPieces(std::size_t totalRoom)
{
    const std::string_view text = laidOut;
    const std::size_t sliceBytes = std::clamp(totalRoom / 64, kSmallestSliceBytes, kSliceBytes);
    // The pieces, in order: spans of the laid-out text and slices of the
    // lists, none of more than sliceBytes (but for a single item).
    struct Piece
    {
        std::size_t list;  // lists.size(): the text [begin, end)
        std::size_t begin, end;
    };
    const std::size_t noList = lists.size();
    std::vector<Piece> pieces;
    std::size_t textAt = 0;
    const auto addText = [&](std::size_t end)
    {
        for (; textAt < end; textAt = std::min(end, textAt + sliceBytes))
            pieces.push_back({noList, textAt, std::min(end, textAt + sliceBytes)});
    };
    for (std::size_t j = 0; j < lists.size(); ++j)
    {
        const MeshList& list = lists[j];
        addText(list.textEnd);
        const std::size_t sliceItems = std::max<std::size_t>(1, sliceBytes / ItemRoom(list));
        for (std::size_t begin = 0; begin < list.count; begin += sliceItems)
            pieces.push_back({j, begin, std::min<std::size_t>(list.count, begin + sliceItems)});
    }
    addText(text.size());
    const auto roomOf = [&](const Piece& piece) {
        return (piece.end - piece.begin) * (piece.list == noList ? 1 : ItemRoom(lists[piece.list]));
    };

    // Consecutive pieces grouped into units of at most sliceBytes of room
    // (or one piece), each made in one buffer: unit u is pieces
    // [unitStarts[u], unitStarts[u + 1]).
    std::vector<std::size_t> unitStarts{0};
    std::size_t unitRoom = 0, largestRoom = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p)
    {
        const std::size_t room = roomOf(pieces[p]);
        if (unitRoom > 0 && unitRoom + room > sliceBytes)
        {
            unitStarts.push_back(p);
            unitRoom = 0;
        }
        unitRoom += room;
        largestRoom = std::max(largestRoom, unitRoom);
    }
    if (unitRoom > 0)
        unitStarts.push_back(pieces.size());
    const std::size_t unitCount = unitStarts.size() - 1;

    // No more units are made at once than there are cores: more would only
    // hold more buffers and colder number caches.
    const std::size_t makers =
        std::min<std::size_t>({Parallel::Jobs(), Parallel::Cores(), unitCount});
    if (slices.size() < makers)
        slices.resize(makers);
    for (Slice& slice : slices)
    {
        if (slice.room < largestRoom)
        {
            slice.room = largestRoom;
            slice.text.reset(new char[slice.room]);
        }
        slice.memory.normals.Prepare();
    }
    // Each unit is made in whichever buffer is free and written as soon as
    // the units before it are: the writing of one overlaps the making of
    // the next.
    std::mutex mutex;
    std::condition_variable turnChange;
    std::vector<Slice*> free;
    for (std::size_t i = 0; i < makers; ++i)
        free.push_back(&slices[i]);
    std::size_t turn = 0;      // the unit to write next
    bool isAbandoned = false;  // a write threw: the rest is not written
    std::atomic<std::size_t> nextUnit{0};
    const auto makeUnit = [&](std::size_t u)
    {
        Slice* slice = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            turnChange.wait(lock, [&] { return !free.empty(); });
            slice = free.back();
            free.pop_back();
        }
        char* at = slice->text.get();
        for (std::size_t p = unitStarts[u]; p < unitStarts[u + 1]; ++p)
        {
            const Piece& piece = pieces[p];
            if (piece.list == noList)
            {
                std::memcpy(at, text.data() + piece.begin, piece.end - piece.begin);
                at += piece.end - piece.begin;
                continue;
            }
            at = PutItems(lists[piece.list], static_cast<unsigned>(piece.begin),
                          static_cast<unsigned>(piece.end), at, slice->memory);
        }
        std::unique_lock<std::mutex> lock(mutex);
        turnChange.wait(lock, [&] { return turn == u; });
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
    // Each maker takes the next unit until none is left.
    Parallel::ForEach(makers,
                      [&](std::size_t)
                      {
                          for (std::size_t u = nextUnit++; u < unitCount; u = nextUnit++)
                              makeUnit(u);
                      });
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

void WriteTriset::WriteColorLines(int code, const std::string& indent)
{
    EndText(PutColorLines(BeginText(8 * (indent.size() + 16 + kMaxRealText)), code, indent.size(),
                          memory.reals));
}

char* WriteTriset::PutColorLines(char* at, int code, std::size_t depth,
                                 RealTextCache& numbers) const
{
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
    colours->LEGOColorRGBA(code, red, green, blue, alpha);
    at = PutIndent(at, depth);
    at = PutText(at, "Color = ");
    at = numbers.Put(at, red);
    at = PutText(at, " ");
    at = numbers.Put(at, green);
    at = PutText(at, " ");
    at = numbers.Put(at, blue);
    at = PutText(at, " 1\n");
    if (alpha < kTransparencyLimit)
    {
        at = PutIndent(at, depth);
        at = PutText(at, "Transparency = ");
        for (int i = 0; i < 4; ++i)
        {
            if (i > 0)
                at = PutText(at, " ");
            at = numbers.Put(at, alpha);
        }
        at = PutText(at, "\n");
    }
    return at;
}

void WriteTriset::WriteLine(const std::string& indent, std::string_view text)
{
    Put(indent);
    Put(text);
}

void WriteTriset::WriteLine(const std::string& indent, std::string_view text, std::string_view name,
                            std::string_view suffix)
{
    Put(indent);
    Put(text);
    Put(name);
    Put(suffix);
}

void WriteTriset::OpenBlock(std::string& indent, std::string_view kind)
{
    if (laidOut.size() >= kLaidOutBytes)
        WriteLaidOut();
    WriteLine(indent, "Class = ", kind, " {\n");
    indent.push_back('\t');
}

void WriteTriset::CloseBlock(std::string& indent, std::string_view kind, std::string_view name,
                             std::string_view suffix)
{
    WriteLine(indent, "} \\\\ end ", kind, " ");
    Put(name);
    Put(suffix);
    Put('\n');
    indent.pop_back();
}
