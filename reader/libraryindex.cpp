#include "reader/libraryindex.h"

#include <algorithm>
#include <sys/stat.h>

#include "reader/folderlisting.h"

namespace
{

// The ASCII capitals of eight bytes in lower case, every other byte as it is.
std::uint64_t FoldWord(std::uint64_t word)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    const std::uint64_t low = word & ~kHighBits;
    const std::uint64_t fromA = low + (0x80 - 'A') * kOnes;      // high bit: at least 'A'
    const std::uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes;  // high bit: past 'Z'
    const std::uint64_t capitals = fromA & ~pastZ & ~word & kHighBits;
    return word | (capitals >> 2);
}

// A hash of the name with its ASCII letters folded.
std::uint32_t FoldedHash(std::string_view name)
{
    return static_cast<std::uint32_t>(HashWords(name, FoldWord));
}

constexpr std::uint32_t kNoName = ~0u;

// Whether the NUL-terminated name at `name` is `wanted` but for ASCII case.
bool IsSpelling(const char* name, std::string_view wanted)
{
    for (const char c : wanted)
        if (*name == '\0' || FoldAsciiLetter(*name++) != FoldAsciiLetter(c))
            return false;
    return *name == '\0';
}

}  // namespace

void NameSet::Add(std::string_view name)
{
    text += static_cast<char>(kOtherEntry);
    text.append(name);
    text += '\0';
}

void NameSet::AddFiles(std::string records)
{
    text = std::move(records);
}

void NameSet::Index()
{
    // An entry whose type cannot be told counts as a file: opening it decides.
    std::size_t count = 0;
    ForEachEntry(text, [&count](std::string_view, bool isFolder, bool) { count += !isFolder; });
    std::size_t size = 16;
    while (size < 2 * count)
        size *= 2;
    table.assign(size, kNoName);
    const std::size_t mask = size - 1;
    ForEachEntry(text,
                 [&](std::string_view name, bool isFolder, bool)
                 {
                     const std::size_t start = static_cast<std::size_t>(name.data() - text.data());
                     if (isFolder || start >= kNoName)
                         return;
                     // Spellings alike but for case share a hash, so all of
                     // them lie in one run of taken slots.
                     std::size_t slot = FoldedHash(name) & mask;
                     while (table[slot] != kNoName)
                         slot = (slot + 1) & mask;
                     table[slot] = static_cast<std::uint32_t>(start);
                 });
}

std::string_view NameSet::Pick(std::string_view wanted) const
{
    std::string_view first;
    if (table.empty())
        return first;
    const std::size_t mask = table.size() - 1;
    for (std::size_t slot = FoldedHash(wanted) & mask; table[slot] != kNoName;
         slot = (slot + 1) & mask)
    {
        const char* name = text.data() + table[slot];
        if (!IsSpelling(name, wanted))
            continue;
        const std::string_view spelling(name, wanted.size());
        if (spelling == wanted)
            return spelling;
        if (first.empty() || spelling < first)
            first = spelling;
    }
    return first;
}

void LibraryFolder::List(const std::string& folderPath, const std::string& cacheFolder)
{
    path = folderPath;
    files = NameSet();
    files.AddFiles(ListFolderKept(folderPath, cacheFolder));
    files.Index();
}

std::string LibraryFolder::Find(const std::string& fileName) const
{
    const std::string_view spelling = files.Pick(fileName);
    std::string found;
    if (spelling.empty())
        return found;
    // One block for the whole path.
    found.reserve(path.size() + spelling.size());
    return found.append(path).append(spelling);
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
    const std::string_view spelling = candidates.Pick(name);
    if (spelling.empty())
        return false;
    path = parentPath;
    path.append(spelling) += '/';
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
            const std::string_view spelling = List(path).files.Pick(component);
            return spelling.empty() ? std::string() : path.append(spelling);
        }
        start = separator + 1;
        if (component.empty() || component == ".")
            continue;
        const std::string_view spelling = List(path).folders.Pick(component);
        if (spelling.empty())
            return std::string();
        path += spelling;
        path += '/';
    }
}
