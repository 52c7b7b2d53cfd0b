#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/asciicase.h"

// Names matched without regard to ASCII case, since library files are named
// in any case and references spell them in any other. A library folder holds
// tens of thousands of files: the names are kept in one block, as the
// folder's listing records, and found through a table of their positions.
class NameSet
{
public:
    void Add(std::string_view name);
    // Takes a folder's listing records (folderlisting.h): the names of every
    // entry but its folders.
    void AddFiles(std::string records);
    // Builds the table; adding comes before, Pick after.
    void Index();
    // The exact spelling if present, else the first match in byte order;
    // empty when nothing matches. Valid while the set is.
    std::string_view Pick(std::string_view wanted) const;

private:
    std::string text;  // listing records
    // Open addressing by the folded name: where each name begins in `text`.
    std::vector<std::uint32_t> table;
};

// The file names of one library folder, listed once.
class LibraryFolder
{
public:
    // Lists `folderPath`, which must end in a separator unless empty (the
    // current directory). A folder that cannot be listed holds nothing. A
    // non-empty `cacheFolder` keeps the listing of a large folder for later
    // runs, and reads it back while the folder is unchanged.
    void List(const std::string& folderPath, const std::string& cacheFolder = std::string());

    // The path to open for `fileName`: the folder path followed by the entry
    // spelt exactly like `fileName` if there is one, else by the first match in
    // byte order. Empty when nothing matches. Subdirectories are left out: a
    // directory where a file is expected counts as not there.
    std::string Find(const std::string& fileName) const;

private:
    std::string path;
    NameSet files;
};

// Finds files by relative paths whose components are spelt in any case,
// listing each folder it passes through once.
class FolderTree
{
public:
    void Clear() { listings.clear(); }

    // The path of the regular file that `relativePath` names below `basePath`
    // (which ends in a separator, or is empty for the current directory):
    // components split at '/' or '\', empty ones and "." skipped, every other
    // one matched like a library file name (the exact spelling first, else the
    // first match in byte order). ".." matches nothing, so the file lies below
    // `basePath`. Empty when there is no such file.
    std::string FindFile(const std::string& basePath, std::string_view relativePath);

private:
    struct Listing
    {
        NameSet files;
        NameSet folders;
    };
    const Listing& List(const std::string& folderPath);

    std::unordered_map<std::string, Listing> listings;  // by folder path
};

// Finds the subdirectory of `parentPath` (which ends in a separator, or is
// empty for the current directory) named `name` in any case: the exact
// spelling if present, else the first match in byte order. On success `path`
// is the parent path followed by the name found and '/'.
bool FindSubdirectory(const std::string& parentPath, const std::string& name, std::string& path);
