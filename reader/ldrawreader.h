#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "geometry/matrix.h"
#include "model/legopart.h"
#include "reader/readahead.h"
#include "reader/referencelookup.h"

// Reads an LDraw model and every file it references from the library into a
// part tree: one node per distinct file, node 0 the model. Keeps the stack
// of files being read; the lookup finds the files, the statement loop reads
// each.
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

    // With `skip`, a reference found nowhere is reported and left out, and
    // the file that names it is read on; no read fails because of it.
    void SetSkipMissing(bool skip) { isSkippingMissing = skip; }
    // Keeps the listings of the library's large folders in `folder` for later
    // runs, and reads them back while a folder is unchanged; empty: lists
    // them every run.
    void SetListingCache(const std::string& folder) { lookup.SetListingCache(folder); }
    // True when the last Read failed because a reference of the model was
    // found nowhere (rather than because the model could not be read).
    bool FailedOnMissingFile() const { return isFailedOnMissingFile; }
    // Why the model could not be read (after "Error: "), when it could not.
    const std::string& FailureReason() const { return failureReason; }

private:
    // One file being read: its text, the reading position and, while one of
    // its references is being resolved, that reference.
    struct FileState;

    enum class Progress
    {
        Ended,          // the whole file has been read
        Unreadable,     // a statement could not be read; the rest is ignored
        ReferenceWaits  // a reference needs a file with no node yet
    };
    enum class Resolution
    {
        Added,        // the reference is in place (or left out: a cycle, or missing)
        ChildOpened,  // a file was opened on top of the stack for it
        Missing       // its name is found nowhere
    };

    // Reads the whole file and puts it on the stack with a new node named
    // `name`; false, with no node made, when it cannot be read.
    bool OpenFile(const std::string& path, const std::string& name, LegoPart& part, int kind);
    bool OpenPlace(const LookupPlace& place, const std::string& name, LegoPart& part)
    {
        return OpenFile(place.path, name, part, place.kind);
    }
    // Reads the statements of every section of the model on every job.
    void ReadSectionsAhead();
    // The statements of the section as read ahead, or null.
    std::unique_ptr<StatementsRead> TakeSectionRead(std::size_t section);
    // Gives `file` the statements of the model text `text`: `read` when
    // read ahead, else read now.
    static void ReadSection(FileState& file, std::string_view text, unsigned firstLine,
                            std::unique_ptr<StatementsRead> read);
    // Cuts the node of `file` back to what came before the reference it
    // stops at, which is found nowhere.
    static void KeepOnlyBeforeReference(const FileState& file, LegoPart& part);
    // Asks for the library files that the references read from `source`
    // will look for first, when no node has their names yet.
    void AskAhead(std::string_view source, const StatementsRead& statements);
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
    // Resolves the reference just read; true when it waits, a file having to
    // be opened or looked up first.
    bool BeginReference(FileState& file, LegoPart& part);
    // Goes on with a waiting reference, given how the last file closed went.
    Resolution ContinueReference(FileState& file, LegoPart& part, bool childResult);
    // Opens the next library folder's file for the waiting reference, given
    // how the previous one went; false once the lookup is over.
    bool ContinueLookUp(FileState& file, LegoPart& part, bool childResult);
    // Tries the places beyond the base-name lookup; false when none holds
    // the file.
    bool OpenElsewhere(FileState& file, LegoPart& part);
    void AddReference(const FileState& file, LegoPart& part, int childIndex);
    // The line naming a line that is not a statement, and the count of the
    // unnamed ones once the file is read.
    static void ReportNonStatement(FileState& file, unsigned line);
    static void ReportNonStatementCount(const FileState& file);
    // Writes the degenerate-triangle line for the file at `path`.
    static void ReportDegenerate(const std::string& path, const Vector3& p1, const Vector3& p2,
                                 const Vector3& p3);

    int FindNodeIndexed(std::string_view name) const;
    void IndexNodeNames(const LegoPart& part);

    std::string ldrawDir;  // as given, plus '/' unless empty or ending in a separator
    int tagCounter = 0;
    bool isSkippingMissing = false;
    bool isFailedOnMissingFile = false;
    std::string failureReason;
    std::vector<std::unique_ptr<FileState>> files;  // innermost last
    // Folded name -> lowest node index with that name, as FindNode answers.
    std::unordered_map<std::string, int> nodeIndexByName;
    std::vector<char> isNodeBeingRead;  // per node index
    ReferenceLookup lookup;
    std::unique_ptr<FilesReadAhead> filesAhead;                 // while a model is read
    std::unordered_set<std::string> askedNames;                 // folded, asked for ahead
    std::vector<std::unique_ptr<StatementsRead>> sectionsRead;  // per section, read ahead

    // The model file: its text, which its sections are read from.
    std::string modelFilePath;
    std::string modelText;
};
