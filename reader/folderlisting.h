#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// A folder's entries as one block of records, each a kind byte, the name and
// a NUL. Listing a library folder of 20,000 files takes the system several
// milliseconds, more than the rest of converting a small model: the records
// of a large folder are kept in a cache folder and read back while the
// folder is unchanged.
enum EntryKind : char
{
    kOtherEntry = 0,  // neither a folder nor a regular file, or not told
    kFolderEntry = 1,
    kFileEntry = 2  // a regular file
};

// The entries of `folderPath` ("" is the current folder) but "." and "..",
// symbolic links followed; none when the folder cannot be read.
std::string ListFolder(const std::string& folderPath);

// The same records, read from `cacheFolder` when it holds those of this
// folder as it is now. Otherwise the folder is listed, and its records are
// kept there when it holds many entries, none of them a symbolic link, and has
// been unchanged for `settledSeconds` (an entry made within the same tick of
// the file system's clock as the listing might not change the folder's time
// stamps). An empty `cacheFolder` only lists. Failing to keep them is silent.
// Keeping them removes the kept listings not read back for 30 days.
std::string ListFolderKept(const std::string& folderPath, const std::string& cacheFolder,
                           long settledSeconds = 10);

// Where listings are kept: $XDG_CACHE_HOME/plinthex, else
// $HOME/.cache/plinthex; empty when neither is an absolute path.
std::string DefaultListingCacheFolder();

// A hash of `bytes`, eight at a step, each word of eight (the last padded
// with zeros) first given to `word`.
template <typename Word>
std::uint64_t HashWords(std::string_view bytes, Word word)
{
    std::uint64_t hash = 0x9e3779b97f4a7c15u ^ bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += 8)
    {
        std::uint64_t chunk = 0;
        std::memcpy(&chunk, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
        hash = (hash ^ word(chunk)) * 0xff51afd7ed558ccdu;
        hash ^= hash >> 32;
    }
    return hash;
}

// Calls `visit(name, isFolder, isRegularFile)` for every record.
template <typename Visit>
void ForEachEntry(std::string_view records, Visit visit)
{
    std::size_t at = 0;
    while (at < records.size())
    {
        const std::size_t end = records.find('\0', at + 1);
        if (end == std::string_view::npos)
            return;
        visit(records.substr(at + 1, end - at - 1), records[at] == kFolderEntry,
              records[at] == kFileEntry);
        at = end + 1;
    }
}
