#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One embedded file of a multi-part model file: the lines from its
// "0 FILE <name>" line up to the next "0 FILE" or "0 NOFILE" line or the end.
struct LDrawSection
{
    std::string name;        // the rest of the FILE line, trimmed, reduced to its base name
    std::size_t begin = 0;   // offset of its first line in the file's text
    std::size_t end = 0;     // offset just past its last line
    unsigned firstLine = 1;  // 1-based line number of its first line
};

// The sections of a model file's text, in file order; empty when no line is a
// "0 FILE" line. A "0 FILE" or "0 NOFILE" line is one whose first two tokens
// are exactly 0 and FILE or NOFILE. The first section also holds every line
// before its FILE line; lines after a NOFILE line up to the next FILE line
// belong to no section.
std::vector<LDrawSection> FindLDrawSections(std::string_view text);

// The name of a reference or path after its last '/' or '\', whichever the
// host uses.
std::string_view LDrawBaseName(std::string_view path);
