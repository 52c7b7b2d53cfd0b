#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/matrix.h"
#include "model/colortable.h"
#include "model/legopart.h"
#include "output/numberformat.h"
#include "output/scenefile.h"
#include "output/writer.h"

// Writes a part tree as a TRISET scene file: the root's LEVEL, which places
// the parts, an invisible Parts LEVEL holding the definition of every other
// node, and the Bounding Boxes LEVEL last. Counts what it writes.
class WriteTriset : public ModelWriter, public CleanedNodes
{
public:
    ModelForm Form() const override { return ModelForm::CleanedTree; }
    // Writes the whole file of `model.tree` with the bounding boxes shown and
    // the root hidden.
    bool WriteModel(const std::string& path, const ModelToWrite& model,
                    const ColorTable& colours) override;
    // Writes the whole file, colours from `colours`. False, after "Error: "
    // lines on standard error, when the file cannot be created or a write or
    // the close failed; an existing file of that name is then left as it was.
    bool Write(const char* fileName, const LegoPart& part, const ColorTable& colours,
               bool showBoundingBoxes);
    // The five counters of the last Write, one labelled line each.
    void DumpStats(std::ostream& stream) const override;

    // Writing the tree while it is cleaned: the file is created at Begin and
    // closed at End, with the same lines, and the same errors at End, as
    // WriteModel (or Write with `showBoundingBoxes` as PrepareStream sets it).
    CleanedNodes* WriteWhileCleaned(const std::string& path, const ColorTable& colours) override;
    bool IsWrittenWhileCleaned() const override { return isWritten; }
    void PrepareStream(const std::string& fileName, const ColorTable& colours,
                       bool showBoundingBoxes);
    void Begin(const LegoPart& part, unsigned firstLater) override;
    void Take(const LegoPart& part, unsigned first, unsigned end) override;
    void End(const LegoPart& part, unsigned first) override;

protected:
    // The blocks below take the current indentation (tabs only) and leave it
    // as they found it.
    void WriteLevel(int nodeIndex, const LegoPart& part, std::string& indent, bool wrapChildren,
                    bool invisible);
    // The LEVELs of nodes [first, end) in the Parts LEVEL, node 0, deleted
    // nodes and Bounding Boxes nodes left out.
    void WritePartLevels(const LegoPart& part, unsigned first, unsigned end);
    void WriteMesh(const _LegoNode* node, std::string& indent);

    void WriteColorLines(int code, const std::string& indent);
    // The same lines at `at`, which has room for them; returns the end.
    char* PutColorLines(char* at, int code, std::size_t depth, RealTextCache& numbers) const;
    void WriteUnsigned(std::uint64_t value)
    {
        EndText(format_unsigned(BeginText(kMaxUnsignedText), value));
    }
    // Writes opening, the three coordinates and closing at `line`, which has
    // room for them; returns the end.
    static char* PutVectorLine(char* line, std::string_view opening, const Vector3& v,
                               std::string_view closing, RealTextCache& reals);
    void WriteLine(const std::string& indent, std::string_view text);
    void WriteLine(const std::string& indent, std::string_view text, std::string_view name,
                   std::string_view suffix = std::string_view());
    void OpenBlock(std::string& indent, std::string_view kind);
    void CloseBlock(std::string& indent, std::string_view kind, std::string_view name,
                    std::string_view suffix = std::string_view());

    // The file is made in two steps. The blocks are laid out first: their
    // short lines as text, each list of a mesh, and the placements of a
    // node, as a reference to it. Then the lists are made on every job, in
    // pieces of about a megabyte (short lists of neighbouring meshes
    // together, long ones cut), and all is written in order: the same text
    // as line after line on one thread.
    enum class ListKind : unsigned char
    {
        Vertices,
        Faces,
        Normals,
        Placements  // an INSTANCE block each, in a LEVEL of its own if wrapped
    };
    struct MeshList
    {
        std::size_t textEnd;       // the laid-out text before the list ends here
        const LEGOPolyMesh* mesh;  // the lists of a mesh
        const _LegoNode* placer;   // placements: the node whose children they are
        unsigned count;
        unsigned depth;  // of the list's lines
        ListKind kind;
        bool isWrapped = false;    // placements: each in a LEVEL of its own
        std::size_t nameRoom = 0;  // placements: the longest name placed
    };
    void Put(std::string_view piece) { laidOut.append(piece); }
    void Put(char c) { laidOut.push_back(c); }
    char* BeginText(std::size_t length);
    void EndText(const char* end)
    {
        laidOut.resize(static_cast<std::size_t>(end - laidOut.data()));
    }
    void PutList(const LEGOPolyMesh& mesh, std::size_t depth, ListKind kind, unsigned count);
    // The node's placements, each of a node there is, as a list.
    void PutPlacements(const _LegoNode& node, std::size_t depth, bool wrap);
    // Room for any one item of the list.
    static std::size_t ItemRoom(const MeshList& list);
    // What a thread remembers of the text it made.
    struct TextMemory
    {
        RealTextCache reals;
        TripleTextCache normals;  // by corner normal entry
    };
    // Writes items [begin, end) of the list at `at`, which has room for them;
    // returns the end. Called on every job at once, each with its memory.
    char* PutItems(const MeshList& list, unsigned begin, unsigned end, char* at,
                   TextMemory& remembered) const;
    // Writes the placement of child `position` of `list.placer` at `at`.
    char* PutPlacement(const MeshList& list, unsigned position, char* at,
                       RealTextCache& numbers) const;
    // Makes and writes what is laid out, then starts a new layout.
    void WriteLaidOut();
    // Normals are remembered by where the tree keeps them: forgotten at the
    // start of a file, and of each stretch taken, since the stretches before
    // may have been freed.
    void ForgetNormals();
    // The lists of the layout (of `totalRoom` in all) made in pieces on every
    // job, each written with the text before it once those before are.
    void WriteInPieces(std::size_t totalRoom);

    unsigned polygonCount = 0;            // faces of all TRISET blocks
    unsigned vertexCount = 0;             // points of all TRISET blocks
    unsigned meshCount = 0;               // TRISET blocks
    unsigned instanceCount = 0;           // INSTANCE blocks
    unsigned levelCount = 0;              // node LEVELs, neither Parts nor the wrappers
    const ColorTable* colours = nullptr;  // during Write
    const LegoPart* tree = nullptr;       // during Write
    std::string scenePath;                // of the file being written
    bool showsBoxes = true;               // the Bounding Boxes LEVEL visible, the root not
    bool isOpen = false;                  // between a Begin that opened the file and End
    bool isOpenFailed = false;            // between a Begin that could not and End
    bool isPartsOpen = false;             // the Parts LEVEL begun and not yet closed
    bool isWritten = false;               // the last file written whole and closed
    std::string levelIndent;              // while a file is written
    SceneFile out;
    TextMemory memory;
    std::string laidOut;
    std::vector<MeshList> lists;
    // For the pieces made at the same time: a buffer and a cache each.
    struct Slice
    {
        std::unique_ptr<char[]> text;
        std::size_t room = 0;
        TextMemory memory;
    };
    std::vector<Slice> slices;
};
