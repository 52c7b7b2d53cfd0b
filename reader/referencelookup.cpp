#include "reader/referencelookup.h"

#include <iterator>
#include <utility>

#include "model/asciicase.h"
#include "model/legopart.h"
#include "model/parallel.h"

namespace
{

// The subfolder a reference is written with: the name splits at '/' or '\'
// into exactly two parts, the first of them s, 48 or 8 in any case. Empty
// for any other reference.
std::string WrittenSubfolder(std::string_view written)
{
    const std::size_t separator = written.find_first_of("/\\");
    if (separator == std::string_view::npos ||
        written.find_first_of("/\\", separator + 1) != std::string_view::npos)
        return std::string();
    std::string folder = FoldAsciiCase(written.substr(0, separator));
    if (folder == "s" || folder == "48" || folder == "8")
        return folder;
    return std::string();
}

}  // namespace

void ReferenceLookup::Reset(const std::string& libraryDir)
{
    ldrawDir = libraryDir;
    isLibraryIndexed = false;
    isMoreLibraryIndexed = false;
    folderTree.Clear();
    asWrittenNodes.clear();
    modelFolder.clear();
    DropSections();
}

void ReferenceLookup::SetModel(const std::string& modelPath, std::string_view modelText)
{
    // Files next to the model are looked for in its folder: the path up to its
    // last '/' (the current directory when it has none).
    const std::size_t slash = modelPath.rfind('/');
    modelFolder = slash == std::string::npos ? std::string() : modelPath.substr(0, slash + 1);
    sections = FindLDrawSections(modelText);
    sectionNodes.assign(sections.size(), -1);
    sectionByName.clear();
    // When two sections share a name, the first wins.
    for (std::size_t i = 0; i < sections.size(); ++i)
        sectionByName.emplace(FoldAsciiCase(sections[i].name), i);
}

void ReferenceLookup::DropSections()
{
    sections.clear();
    sectionNodes.clear();
    sectionByName.clear();
}

int ReferenceLookup::FindSection(std::string_view name) const
{
    if (sectionByName.empty())
        return -1;
    const auto found = sectionByName.find(FoldAsciiCase(name));
    return found == sectionByName.end() ? -1 : static_cast<int>(found->second);
}

bool ReferenceLookup::NextBaseNamePlace(int& next, const std::string& name, LookupPlace& place)
{
    IndexLibrary();
    static constexpr int kKinds[kBaseNamePlaceCount] = {NodeKind::Primitive, NodeKind::Part,
                                                        NodeKind::Subpart};
    while (next < kBaseNamePlaceCount)
    {
        const int folder = next++;
        place.path = libraryFolders[folder].Find(name);
        if (!place.path.empty())
        {
            place.step = LookupStep::BaseName;
            place.kind = kKinds[folder];
            return true;
        }
    }
    return false;
}

std::string ReferenceLookup::FirstLibraryPath(const std::string& name) const
{
    if (!isLibraryIndexed)
        return std::string();
    for (int folder = 0; folder < kBaseNamePlaceCount; ++folder)
    {
        std::string path = libraryFolders[folder].Find(name);
        if (!path.empty())
            return path;
    }
    return std::string();
}

bool ReferenceLookup::NextFurtherPlace(int& next, std::string_view written, const std::string& name,
                                       LookupPlace& place)
{
    IndexMoreLibrary();
    place.kind = NodeKind::Model;
    while (next < 3)
    {
        switch (next++)
        {
            case 0:
            {
                // Hi-res and low-res primitives that have no standard-resolution
                // twin.
                const std::string subfolder = WrittenSubfolder(written);
                if (subfolder != "48" && subfolder != "8")
                    break;
                const int folder = subfolder == "48" ? kHiResPrimitives : kLoResPrimitives;
                place.path = libraryFolders[folder].Find(name);
                place.step = LookupStep::Resolution;
                place.kind = NodeKind::Primitive;
                if (!place.path.empty())
                    return true;
                place.kind = NodeKind::Model;
                break;
            }
            case 1:
                // A model kept as several files side by side.
                place.path = folderTree.FindFile(modelFolder, written);
                place.step = LookupStep::ModelFolder;
                if (!place.path.empty())
                    return true;
                break;
            default:
                if (modelsFolder.empty())
                    break;
                place.path = folderTree.FindFile(modelsFolder, written);
                place.step = LookupStep::ModelsFolder;
                if (!place.path.empty())
                    return true;
                break;
        }
    }
    return false;
}

int ReferenceLookup::FindAsWritten(std::string_view written, const std::string& name) const
{
    if (asWrittenNodes.empty())
        return -1;
    const std::string subfolder = WrittenSubfolder(written);
    if (subfolder.empty())
        return -1;
    const auto found = asWrittenNodes.find(subfolder + '/' + FoldAsciiCase(name));
    return found == asWrittenNodes.end() ? -1 : found->second;
}

bool ReferenceLookup::AsWrittenPlace(std::string_view written, const std::string& name,
                                     LookupPlace& place)
{
    const std::string subfolder = WrittenSubfolder(written);
    if (subfolder.empty())
        return false;
    IndexMoreLibrary();
    // s\ names PARTS\S, 48\ and 8\ name P\48 and P\8.
    const bool isSubpart = subfolder == "s";
    const int folder = isSubpart           ? kSubparts
                       : subfolder == "48" ? kHiResPrimitives
                                           : kLoResPrimitives;
    place.path = libraryFolders[folder].Find(name);
    place.step = isSubpart ? LookupStep::BaseName : LookupStep::Resolution;
    place.kind = isSubpart ? NodeKind::Subpart : NodeKind::Primitive;
    return !place.path.empty();
}

void ReferenceLookup::NoteAsWritten(std::string_view written, const std::string& name, int node)
{
    asWrittenNodes.emplace(WrittenSubfolder(written) + '/' + FoldAsciiCase(name), node);
}

void ReferenceLookup::IndexLibrary()
{
    if (isLibraryIndexed)
        return;
    isLibraryIndexed = true;
    isMoreLibraryIndexed = false;
    for (LibraryFolder& folder : libraryFolders)
        folder = LibraryFolder();
    primitivesFolder.clear();
    modelsFolder.clear();
    // The library's folders are P and PARTS (with PARTS\S), found in any
    // case, and listed at once, the largest first.
    std::string partsPath;
    std::string subpartPath;
    if (!FindSubdirectory(ldrawDir, "P", primitivesFolder))
        primitivesFolder.clear();
    if (FindSubdirectory(ldrawDir, "PARTS", partsPath) &&
        !FindSubdirectory(partsPath, "S", subpartPath))
        subpartPath.clear();
    const std::pair<int, const std::string*> listed[] = {
        {kParts, &partsPath}, {kPrimitives, &primitivesFolder}, {kSubparts, &subpartPath}};
    Parallel::ForEach(std::size(listed),
                      [&](std::size_t i)
                      {
                          if (!listed[i].second->empty())
                              libraryFolders[listed[i].first].List(*listed[i].second, listingCache);
                      });
}

void ReferenceLookup::IndexMoreLibrary()
{
    IndexLibrary();
    if (isMoreLibraryIndexed)
        return;
    isMoreLibraryIndexed = true;
    // Only references found nowhere by their base name get this far: P\48,
    // P\8 and MODELS are listed then, in any case.
    std::string path;
    if (!primitivesFolder.empty())
    {
        if (FindSubdirectory(primitivesFolder, "48", path))
            libraryFolders[kHiResPrimitives].List(path, listingCache);
        if (FindSubdirectory(primitivesFolder, "8", path))
            libraryFolders[kLoResPrimitives].List(path, listingCache);
    }
    if (!FindSubdirectory(ldrawDir, "MODELS", modelsFolder))
        modelsFolder.clear();
}
