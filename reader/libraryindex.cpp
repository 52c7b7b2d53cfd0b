#include "reader/libraryindex.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace
{

namespace fs = std::filesystem;

// Calls `visit(name, entry)` for every entry of the folder ("" is the
// current folder); a folder that cannot be read has no entries.
template <typename Visit>
void WalkFolder(const std::string& folderPath, Visit visit)
{
    std::error_code error;
    fs::directory_iterator it(folderPath.empty() ? fs::path(".") : fs::path(folderPath), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error))
        visit(it->path().filename().string(), *it);
}

// Calls `visit(name, isDirectory)` for every entry of the folder; entries
// whose type cannot be told count as files, so opening them decides.
template <typename Visit>
void ListFolder(const std::string& folderPath, Visit visit)
{
    WalkFolder(folderPath,
               [&](const std::string& name, const fs::directory_entry& entry)
               {
                   std::error_code typeError;
                   const bool isDirectory = entry.is_directory(typeError);
                   visit(name, isDirectory && !typeError);
               });
}

// Exact spelling first, else the first in byte order.
const std::string* PickSpelling(const std::vector<std::string>& candidates,
                                const std::string& wanted)
{
    if (candidates.empty())
        return nullptr;
    for (const std::string& candidate : candidates)
        if (candidate == wanted)
            return &candidate;
    return &*std::min_element(candidates.begin(), candidates.end());
}

}  // namespace

void LibraryFolder::List(const std::string& folderPath)
{
    path = folderPath;
    entries.clear();
    ListFolder(folderPath,
               [this](const std::string& name, bool isDirectory)
               {
                   if (!isDirectory)
                       entries[FoldAsciiCase(name)].push_back(name);
               });
}

std::string LibraryFolder::Find(const std::string& fileName) const
{
    const auto found = entries.find(FoldAsciiCase(fileName));
    if (found == entries.end())
        return std::string();
    const std::string* spelling = PickSpelling(found->second, fileName);
    return spelling != nullptr ? path + *spelling : std::string();
}

bool FindSubdirectory(const std::string& parentPath, const std::string& name, std::string& path)
{
    const std::string foldedName = FoldAsciiCase(name);
    std::vector<std::string> candidates;
    ListFolder(parentPath,
               [&](const std::string& entry, bool isDirectory)
               {
                   if (isDirectory && FoldAsciiCase(entry) == foldedName)
                       candidates.push_back(entry);
               });
    const std::string* spelling = PickSpelling(candidates, name);
    if (spelling == nullptr)
        return false;
    path = parentPath + *spelling + '/';
    return true;
}

const FolderTree::Listing& FolderTree::List(const std::string& folderPath)
{
    const auto found = listings.find(folderPath);
    if (found != listings.end())
        return found->second;
    Listing& listing = listings[folderPath];
    // Only regular files: a model's reference must not reach a device or a
    // pipe, which could be endless or block.
    WalkFolder(folderPath,
               [&listing](const std::string& name, const fs::directory_entry& entry)
               {
                   std::error_code typeError;
                   if (entry.is_directory(typeError) && !typeError)
                       listing.folders[FoldAsciiCase(name)].push_back(name);
                   else if (entry.is_regular_file(typeError) && !typeError)
                       listing.files[FoldAsciiCase(name)].push_back(name);
               });
    return listing;
}

std::string FolderTree::FindFile(const std::string& basePath, std::string_view relativePath)
{
    std::string path = basePath;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t separator = relativePath.find_first_of("/\\", start);
        const std::string component(relativePath.substr(start, separator - start));
        if (separator == std::string_view::npos)
        {
            // The last component names the file.
            const Listing& listing = List(path);
            const auto found = listing.files.find(FoldAsciiCase(component));
            if (found == listing.files.end())
                return std::string();
            const std::string* spelling = PickSpelling(found->second, component);
            return spelling != nullptr ? path + *spelling : std::string();
        }
        start = separator + 1;
        if (component.empty() || component == ".")
            continue;
        const Listing& listing = List(path);
        const auto found = listing.folders.find(FoldAsciiCase(component));
        if (found == listing.folders.end())
            return std::string();
        const std::string* spelling = PickSpelling(found->second, component);
        if (spelling == nullptr)
            return std::string();
        path += *spelling;
        path += '/';
    }
}
