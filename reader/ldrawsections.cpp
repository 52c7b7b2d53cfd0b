#include "reader/ldrawsections.h"

#include <cstring>

namespace
{

// White space within a line (the line feed ends it).
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

enum class LineKind
{
    Other,
    File,
    NoFile
};

// Splits off the next token of `line`; empty at its end.
std::string_view NextToken(std::string_view& line)
{
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start]))
        ++start;
    std::size_t stop = start;
    while (stop < line.size() && !IsBlank(line[stop]))
        ++stop;
    const std::string_view token = line.substr(start, stop - start);
    line.remove_prefix(stop);
    return token;
}

// What the line is; for a FILE line, `rest` is what follows the keyword.
LineKind ClassifyLine(std::string_view line, std::string_view& rest)
{
    // Cheap refusal of the common case: the first token must be "0".
    std::size_t first = 0;
    while (first < line.size() && IsBlank(line[first]))
        ++first;
    if (first + 1 >= line.size() || line[first] != '0' || !IsBlank(line[first + 1]))
        return LineKind::Other;
    line.remove_prefix(first + 1);
    const std::string_view keyword = NextToken(line);
    rest = line;
    if (keyword == "FILE")
        return LineKind::File;
    if (keyword == "NOFILE")
        return LineKind::NoFile;
    return LineKind::Other;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::string_view LDrawBaseName(std::string_view path)
{
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::vector<LDrawSection> FindLDrawSections(std::string_view text)
{
    std::vector<LDrawSection> sections;
    bool isInSection = false;
    unsigned lineNumber = 1;
    std::size_t lineStart = 0;
    // The byte-order mark is no part of the first line's first token.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        lineStart = 3;
    while (lineStart < text.size())
    {
        const void* lineFeed = std::memchr(text.data() + lineStart, '\n', text.size() - lineStart);
        const std::size_t lineEnd =
            lineFeed == nullptr
                ? text.size()
                : static_cast<std::size_t>(static_cast<const char*>(lineFeed) - text.data());
        std::string_view rest;
        const LineKind kind = ClassifyLine(text.substr(lineStart, lineEnd - lineStart), rest);
        if (kind != LineKind::Other)
        {
            if (isInSection)
                sections.back().end = lineStart;
            isInSection = kind == LineKind::File;
        }
        if (kind == LineKind::File)
        {
            LDrawSection section;
            section.name = std::string(LDrawBaseName(Trim(rest)));
            // Everything before the first FILE line belongs to the first section.
            if (!sections.empty())
            {
                section.begin = lineStart;
                section.firstLine = lineNumber;
            }
            sections.push_back(std::move(section));
        }
        lineStart = lineEnd + 1;
        ++lineNumber;
    }
    if (isInSection)
        sections.back().end = text.size();
    return sections;
}
