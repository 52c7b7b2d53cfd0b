#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/ldrawsections.h"
#include "reader/libraryindex.h"

// The steps of a new name's lookup, in the order they are tried.
enum class LookupStep
{
    Section = 1,      // a part of the model's multi-part file
    BaseName = 2,     // p/, parts/, parts/s/ by the base name
    Resolution = 3,   // p/48/ or p/8/ for a name written with 48 or 8
    ModelFolder = 4,  // as written, below the model file's folder
    ModelsFolder = 5  // as written, below the library's models/ folder
};

// A file a reference may name: where it is and the kind of node it makes.
struct LookupPlace
{
    LookupStep step = LookupStep::BaseName;
    std::string path;
    int kind = 0;
};

// Where the file a reference names is looked for: the model's embedded files,
// the library folders (listed when first needed), the model's folder and the
// library's models/ folder. Also keeps the nodes read as written, with their
// subfolder, because the base name led back into a file still being read.
class ReferenceLookup
{
public:
    // Forgets everything; `ldrawDir` ends in a separator unless empty.
    void Reset(const std::string& ldrawDir);
    // Where the library's large folders are listed for later runs; empty
    // (the default): each run lists them.
    void SetListingCache(const std::string& folder) { listingCache = folder; }

    // The model file and its sections (step 1); its folder is step 4's.
    void SetModel(const std::string& modelPath, std::string_view modelText);
    void DropSections();
    // The section of that name, or -1.
    int FindSection(std::string_view name) const;
    bool HasSections() const { return !sections.empty(); }
    std::size_t SectionCount() const { return sections.size(); }
    const LDrawSection& Section(std::size_t section) const { return sections[section]; }
    // The node a section was read into, or -1 while it has not been.
    int SectionNode(std::size_t section) const { return sectionNodes[section]; }
    void SetSectionNode(std::size_t section, int node) { sectionNodes[section] = node; }

    // Step 2: the place after `next` (from 0) in p/, parts/, parts/s/ that
    // holds `name`, advancing `next`; false once the three are tried.
    static constexpr int kBaseNamePlaceCount = 3;
    bool NextBaseNamePlace(int& next, const std::string& name, LookupPlace& place);
    // The path of the first place of step 2 holding `name`, or empty. Only
    // once those folders are listed (by NextBaseNamePlace); then safe to ask
    // from any thread while nothing resets the lookup.
    std::string FirstLibraryPath(const std::string& name) const;
    // Steps 3 to 5 likewise, from `next` (from 0) on.
    bool NextFurtherPlace(int& next, std::string_view written, const std::string& name,
                          LookupPlace& place);

    // The node earlier read for a reference written with the same subfolder
    // (s\, 48\ or 8\) and base name, or -1.
    int FindAsWritten(std::string_view written, const std::string& name) const;
    // The file a reference written with a subfolder names in parts/s/,
    // p/48/ or p/8/; false for any other reference or when there is none.
    bool AsWrittenPlace(std::string_view written, const std::string& name, LookupPlace& place);
    // Later references written the same way resolve to `node`.
    void NoteAsWritten(std::string_view written, const std::string& name, int node);

private:
    // The library folders: the three of step 2 in their order, then the
    // folders of hi-res and low-res primitives.
    enum LibraryFolderIndex
    {
        kPrimitives,  // P
        kParts,       // PARTS
        kSubparts,    // PARTS\S
        kHiResPrimitives,
        kLoResPrimitives,
        kLibraryFolderCount
    };

    void IndexLibrary();
    // Also the folders only some references need.
    void IndexMoreLibrary();

    std::string ldrawDir;
    std::string listingCache;
    bool isLibraryIndexed = false;
    bool isMoreLibraryIndexed = false;
    LibraryFolder libraryFolders[kLibraryFolderCount];
    std::string primitivesFolder;  // the library's P folder, empty when it has none
    std::string modelsFolder;      // the library's MODELS folder, empty when it has none
    FolderTree folderTree;

    std::string modelFolder;
    std::vector<LDrawSection> sections;
    std::vector<int> sectionNodes;                               // per section, -1 until read
    std::unordered_map<std::string, std::size_t> sectionByName;  // folded; the first wins
    // Subfolder and folded base name -> the node read as written.
    std::unordered_map<std::string, int> asWrittenNodes;
};
