#include "reader/libraryindex.h"

#include <algorithm>
#include <sys/stat.h>

#include "reader/folderlisting.h"

namespace
{

// FNV-1a of the name with its ASCII letters folded.
std::uint32_t FoldedHash(std::string_view name)
{
    std::uint32_t hash = 2166136261u;
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(FoldAsciiLetter(c))) * 16777619u;
    return hash;
}

constexpr std::uint32_t kNoName = ~0u;

}  // namespace

void NameSet::Index()
{
    std::size_t size = 16;
    while (size < 2 * names.size())
        size *= 2;
    table.assign(size, kNoName);
    nextVariant.assign(names.size(), kNoName);
    const std::size_t mask = size - 1;
    for (std::uint32_t i = 0; i < names.size(); ++i)
    {
        std::size_t slot = FoldedHash(names[i]) & mask;
        while (table[slot] != kNoName && !EqualsIgnoringAsciiCase(names[table[slot]], names[i]))
            slot = (slot + 1) & mask;
        nextVariant[i] = table[slot];
        table[slot] = i;
    }
}

const std::string* NameSet::Pick(std::string_view wanted) const
{
    if (names.empty())
        return nullptr;
    const std::size_t mask = table.size() - 1;
    std::size_t slot = FoldedHash(wanted) & mask;
    while (table[slot] != kNoName && !EqualsIgnoringAsciiCase(names[table[slot]], wanted))
        slot = (slot + 1) & mask;
    const std::string* first = nullptr;
    for (std::uint32_t i = table[slot]; i != kNoName; i = nextVariant[i])
    {
        if (names[i] == wanted)
            return &names[i];
        if (first == nullptr || names[i] < *first)
            first = &names[i];
    }
    return first;
}

void LibraryFolder::List(const std::string& folderPath, const std::string& cacheFolder)
{
    path = folderPath;
    files = NameSet();
    ForEachEntry(ListFolderKept(folderPath, cacheFolder),
                 [this](std::string_view name, bool isDirectory, bool)
                 {
                     // An entry whose type cannot be told counts as a file:
                     // opening it decides.
                     if (!isDirectory)
                         files.Add(name);
                 });
    files.Index();
}

std::string LibraryFolder::Find(const std::string& fileName) const
{
    const std::string* spelling = files.Pick(fileName);
    std::string found;
    if (spelling == nullptr)
        return found;
    // One block for the whole path.
    found.reserve(path.size() + spelling->size());
    return found.append(path).append(*spelling);
}

bool FindSubdirectory(const std::string& parentPath, const std::string& name, std::string& path)
{
    // A short name has few spellings: each is looked at in the order of
    // choice (the exact one, then byte order) instead of listing the parent,
    // which may be a large library folder.
    constexpr int kMostProbedLetters = 3;
    std::vector<std::size_t> letters;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (FoldAsciiLetter(name[i]) != name[i] || (name[i] >= 'a' && name[i] <= 'z'))
            letters.push_back(i);
    if (letters.size() <= kMostProbedLetters && !name.empty() && name != "." && name != "..")
    {
        std::vector<std::string> spellings;
        for (unsigned mask = 0; mask < (1u << letters.size()); ++mask)
        {
            std::string spelling = name;
            for (std::size_t k = 0; k < letters.size(); ++k)
            {
                const char lower = FoldAsciiLetter(name[letters[k]]);
                spelling[letters[k]] =
                    (mask >> k) & 1 ? static_cast<char>(lower - 'a' + 'A') : lower;
            }
            spellings.push_back(spelling);
        }
        std::sort(spellings.begin(), spellings.end());
        spellings.insert(spellings.begin(), name);
        for (const std::string& spelling : spellings)
        {
            const std::string candidate = parentPath + spelling;
            struct stat status;
            if (stat(candidate.empty() ? "." : candidate.c_str(), &status) == 0 &&
                S_ISDIR(status.st_mode))
            {
                path = candidate + '/';
                return true;
            }
        }
        return false;
    }
    NameSet candidates;
    ForEachEntry(ListFolder(parentPath),
                 [&](std::string_view entry, bool isDirectory, bool)
                 {
                     if (isDirectory && EqualsIgnoringAsciiCase(entry, name))
                         candidates.Add(entry);
                 });
    candidates.Index();
    const std::string* spelling = candidates.Pick(name);
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
    ForEachEntry(ListFolder(folderPath),
                 [&listing](std::string_view name, bool isDirectory, bool isRegularFile)
                 {
                     if (isDirectory)
                         listing.folders.Add(name);
                     else if (isRegularFile)
                         listing.files.Add(name);
                 });
    listing.files.Index();
    listing.folders.Index();
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
            const std::string* spelling = List(path).files.Pick(component);
            return spelling != nullptr ? path + *spelling : std::string();
        }
        start = separator + 1;
        if (component.empty() || component == ".")
            continue;
        const std::string* spelling = List(path).folders.Pick(component);
        if (spelling == nullptr)
            return std::string();
        path += *spelling;
        path += '/';
    }
}
