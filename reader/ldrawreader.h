#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "geometry/matrix.h"
#include "model/legopart.h"
#include "reader/ldrawsections.h"
#include "reader/libraryindex.h"

// Reads an LDraw model and every file it references from the library into a
// part tree: one node per distinct file, node 0 the model.
class LDrawReader
{
public:
    LDrawReader();
    ~LDrawReader();
    LDrawReader(const LDrawReader&) = delete;
    LDrawReader& operator=(const LDrawReader&) = delete;

    // Empties `part` and reads the model file (opened by its path as given)
    // into it. A model file with "0 FILE" lines holds several files: node 0
    // holds the first, the others are read when referenced. False when the
    // model file cannot be opened or one of node 0's references is found
    // nowhere.
    bool Read(const std::string& ldrawDir, const std::string& modelPath, LegoPart& part);

    // True when the closest points of the lines through p0-p1 and q0-q1 lie
    // within either segment (with a margin of 1e-4); false for lines that are
    // (nearly) parallel.
    static bool SegmentsCross(const Vector3& p0, const Vector3& p1, const Vector3& q0,
                              const Vector3& q1);

    // Reorders the corners so that they go round the quadrilateral rather than
    // across it.
    static void FixQuadOrder(Vector3& p1, Vector3& p2, Vector3& p3, Vector3& p4);

    // True when twice the triangle's area exceeds 1e-7.
    static bool TriangleHasArea(const Vector3& p1, const Vector3& p2, const Vector3& p3);

protected:
    // The library folders: the first three in the order a new name is looked
    // up in them, then the folders of hi-res and low-res primitives.
    enum LibraryFolderIndex
    {
        kPrimitives,  // P
        kParts,       // PARTS
        kSubparts,    // PARTS\S
        kLookUpFolderCount,
        kHiResPrimitives = kLookUpFolderCount,  // P\48
        kLoResPrimitives,                       // P\8
        kLibraryFolderCount
    };

    // One file being read: its text, the reading position and, while one of
    // its references is being resolved, that reference.
    struct FileState;

    // Reads the file at `path` into a new node of the given kind, and every
    // file it references that has no node yet. True when the file was read;
    // false when it cannot be opened (no node is made) or when reading stopped
    // at a reference found nowhere.
    bool ReadLDrawFile(const std::string& path, LegoPart& part, int kind);

    // Writes the degenerate-triangle line for the file at `path`.
    static void ReportDegenerate(const std::string& path, const Vector3& p1, const Vector3& p2,
                                 const Vector3& p3);

    std::string ldrawDir;  // as given, plus '/' unless empty or ending in a separator
    int tagCounter = 0;

private:
    enum class Progress
    {
        Ended,       // the whole file has been read
        Unreadable,  // a statement could not be read; the rest is ignored
        Pending      // a reference needs a file with no node yet
    };
    enum class Resolution
    {
        Added,   // the reference is in place (or dropped as a cycle)
        Opened,  // a file was opened on top of the stack for it
        Missing  // its name is found nowhere
    };

    // Reads the whole file and puts it on the stack with a new node named
    // `name`; false, with no node made, when it cannot be read.
    bool OpenFile(const std::string& path, const std::string& name, LegoPart& part, int kind);
    // Opens one of the model's embedded files.
    void OpenSection(std::size_t section, LegoPart& part);
    // Makes the node of `file` (whose text is set) and puts it on the stack.
    void PushFile(std::unique_ptr<FileState> file, const std::string& name, LegoPart& part,
                  int kind);
    // Reads the files on the stack above `outerDepth`; the result of the last
    // one closed.
    bool ReadFiles(std::size_t outerDepth, LegoPart& part);
    // Takes the innermost file off the stack; `isRead` gives its count back.
    void CloseFile(bool isRead);
    Progress ReadStatements(FileState& file, LegoPart& part);
    // Resolves the reference just read; true when it is pending, a file having
    // to be opened or looked up first.
    bool BeginReference(FileState& file, LegoPart& part);
    // Goes on with a pending reference, given how the last file closed went.
    Resolution ContinueReference(FileState& file, LegoPart& part, bool childResult);
    // Opens the next library folder's file for the pending reference, given how
    // the previous one went; false once the lookup is over.
    bool ContinueLookUp(FileState& file, LegoPart& part, bool childResult);
    // Reads the pending reference's file as written, under the library folder
    // its subfolder names, into a node of its own; false when there is none.
    bool OpenAsWritten(FileState& file, LegoPart& part, const std::string& subfolder);
    // Tries the places beyond the base-name lookup; false when none holds
    // the file.
    bool OpenElsewhere(FileState& file, LegoPart& part);
    void AddReference(const FileState& file, LegoPart& part, int childIndex);
    static void AddTriangle(const FileState& file, LegoPart& part, const Vector3& p1,
                            const Vector3& p2, const Vector3& p3, int color);

    int FindNodeIndexed(std::string_view name) const;
    void IndexNodeNames(const LegoPart& part);
    void IndexLibrary();
    // Also the folders only some references need.
    void IndexMoreLibrary();
    // The model's embedded file of that name, or -1.
    int FindSection(std::string_view name) const;
    void FindModelSections();

    std::vector<std::unique_ptr<FileState>> files;  // innermost last
    // Folded name -> lowest node index with that name, as FindNode answers.
    std::unordered_map<std::string, int> nodeIndexByName;
    std::vector<char> isNodeBeingRead;  // per node index
    bool isLibraryIndexed = false;
    bool isMoreLibraryIndexed = false;
    LibraryFolder libraryFolders[kLibraryFolderCount];
    std::string primitivesFolder;  // the library's P folder, empty when it has none
    std::string modelsFolder;      // the library's MODELS folder, empty when it has none
    FolderTree folderTree;

    // The model file: its text, which its sections are read from, and its folder.
    std::string modelFilePath;
    std::string modelText;
    std::string modelFolder;
    std::vector<LDrawSection> sections;
    std::vector<int> sectionNodes;                               // per section, -1 until read
    std::unordered_map<std::string, std::size_t> sectionByName;  // folded; the first wins
    // Subfolder and folded base name -> the node read as written because the
    // base name led back into a file still being read.
    std::unordered_map<std::string, int> asWrittenNodes;
};
