#include "reader/colourfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "reader/ldrawsections.h"
#include "reader/ldrawtokens.h"
#include "reader/libraryindex.h"
#include "reader/wholefile.h"

namespace
{

constexpr std::string_view kColourMeta = "!COLOUR";
constexpr int kFirstDirect = 0x2000000;

// Six hex digits, exactly, as 0xRRGGBB.
bool ParseSixHex(std::string_view digits, int& rgb)
{
    if (digits.size() != 6)
        return false;
    rgb = 0;
    for (const char c : digits)
    {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return false;
        rgb = rgb * 16 + digit;
    }
    return true;
}

// #RRGGBB or 0x2RRGGBB, as 0xRRGGBB.
bool ParseColourValue(std::string_view token, int& rgb)
{
    if (token.size() == 7 && token[0] == '#')
        return ParseSixHex(token.substr(1), rgb);
    if (token.size() == 9 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X') &&
        token[2] == '2')
        return ParseSixHex(token.substr(3), rgb);
    return false;
}

// #RRGGBB or 0x2RRGGBB (a direct colour) or a decimal colour code.
bool ParseEdge(std::string_view token, int& edge)
{
    int rgb = 0;
    if (ParseColourValue(token, rgb))
    {
        edge = kFirstDirect + rgb;
        return true;
    }
    return ParseLDrawInt(token, edge);
}

bool ParseByte(std::string_view token, int& value)
{
    return ParseLDrawInt(token, value) && value >= 0 && value <= 255;
}

bool FinishFromWord(std::string_view word, ColourFinish& finish)
{
    static constexpr std::pair<std::string_view, ColourFinish> kWords[] = {
        {"CHROME", ColourFinish::Chrome}, {"PEARLESCENT", ColourFinish::Pearlescent},
        {"RUBBER", ColourFinish::Rubber}, {"MATTE_METALLIC", ColourFinish::MatteMetallic},
        {"METAL", ColourFinish::Metal},
    };
    for (const auto& entry : kWords)
        if (word == entry.first)
        {
            finish = entry.second;
            return true;
        }
    return false;
}

// Reads the tokens of one !COLOUR line; returns what is wrong, or "".
std::string ParseDefinition(const std::vector<std::string_view>& tokens,
                            ColourDefinition& definition)
{
    if (tokens.size() < 3)
        return "no name";
    definition.name = std::string(tokens[2]);
    bool hasCode = false, hasValue = false, hasEdge = false;
    for (std::size_t i = 3; i < tokens.size(); ++i)
    {
        const std::string_view word = tokens[i];
        if (FinishFromWord(word, definition.finish))
            continue;
        if (word == "MATERIAL")
        {
            definition.finish = ColourFinish::Material;
            for (std::size_t k = i + 1; k < tokens.size(); ++k)
            {
                if (k > i + 1)
                    definition.material += ' ';
                definition.material += tokens[k];
            }
            break;
        }
        const bool isKeyword = word == "CODE" || word == "VALUE" || word == "EDGE" ||
                               word == "ALPHA" || word == "LUMINANCE";
        if (!isKeyword)
            return "unknown word '" + std::string(word) + "'";
        if (i + 1 == tokens.size())
            return "no value after " + std::string(word);
        const std::string_view value = tokens[++i];
        const std::string quoted = std::string(word) + " '" + std::string(value) + "'";
        int rgb = 0;
        if (word == "CODE")
        {
            if (!ParseLDrawInt(value, definition.code))
                return quoted + " is not a decimal code";
            hasCode = true;
        }
        else if (word == "VALUE")
        {
            if (!ParseColourValue(value, rgb))
                return quoted + " is not #RRGGBB or 0x2RRGGBB";
            definition.red = rgb >> 16;
            definition.green = (rgb >> 8) & 0xFF;
            definition.blue = rgb & 0xFF;
            hasValue = true;
        }
        else if (word == "EDGE")
        {
            if (!ParseEdge(value, definition.edge))
                return quoted + " is not #RRGGBB, 0x2RRGGBB or a decimal code";
            hasEdge = true;
        }
        else if (word == "ALPHA")
        {
            if (!ParseByte(value, definition.alpha))
                return quoted + " is not 0 to 255";
        }
        else if (!ParseByte(value, definition.luminance))
        {
            return quoted + " is not 0 to 255";
        }
    }
    if (!hasCode)
        return "no CODE";
    if (!hasValue)
        return "no VALUE";
    if (!hasEdge)
        return "no EDGE";
    return std::string();
}

std::string WithSeparator(const std::string& folder)
{
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\')
        return folder;
    return folder + '/';
}

// The character that ends lines of `text` for the tokenizer: line feeds, or
// carriage returns in a text without any line feed.
char LineEndOf(std::string_view text)
{
    return text.find('\n') != std::string_view::npos ? '\n' : '\r';
}

// Only lines holding the meta-command are tokenised; most of a model file is
// passed over at the speed of a search.
unsigned ReadDefinitions(std::string_view text, char lineEnd, const std::string& path,
                         ColorTable& table, std::ostream& err, unsigned firstLine)
{
    unsigned taken = 0;
    unsigned line = firstLine;
    std::size_t counted = 0;  // line ends before this offset are in `line`
    std::size_t found = text.find(kColourMeta);
    std::vector<std::string_view> tokens;
    while (found != std::string_view::npos)
    {
        const std::size_t lastEnd = text.rfind(lineEnd, found);
        const std::size_t begin = lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
        std::size_t end = text.find(lineEnd, found);
        end = end == std::string_view::npos ? text.size() : end + 1;
        line += static_cast<unsigned>(
            std::count(text.begin() + static_cast<std::ptrdiff_t>(counted),
                       text.begin() + static_cast<std::ptrdiff_t>(begin), lineEnd));
        counted = begin;
        found = text.find(kColourMeta, end);

        // The slice keeps its line end, so the tokenizer ends lines at the
        // same characters as in the whole text; the first line keeps a
        // byte-order mark for the tokenizer to skip.
        LDrawTokenizer tokenizer(text.substr(begin, end - begin), line);
        tokens.clear();
        std::string_view token;
        while (tokenizer.NextToken(token) && tokenizer.Line() == line)
            tokens.push_back(token);
        if (tokens.size() < 2 || tokens[0] != "0" || tokens[1] != kColourMeta)
            continue;
        ColourDefinition definition;
        const std::string problem = ParseDefinition(tokens, definition);
        if (!problem.empty())
        {
            err << "Error: " << path << " line " << line << ": " << problem << ", colour ignored\n";
            continue;
        }
        if (table.Define(definition))
            ++taken;
    }
    return taken;
}

}  // namespace

unsigned ReadColourDefinitions(std::string_view text, const std::string& path, ColorTable& table,
                               std::ostream& err, unsigned firstLine)
{
    return ReadDefinitions(text, LineEndOf(text), path, table, err, firstLine);
}

std::string FindLibraryColourFile(const std::string& ldrawDir)
{
    LibraryFolder folder;
    folder.List(WithSeparator(ldrawDir));
    return folder.Find("LDConfig.ldr");
}

bool LoadColourSource(const std::string& source, const std::string& ldrawDir, ColorTable& table,
                      std::ostream& err)
{
    if (source == kBuiltinColours)
        return true;
    std::string path = source;
    if (source == kLibraryColours)
    {
        path = FindLibraryColourFile(ldrawDir);
        if (path.empty())
        {
            err << "Error: no LDConfig.ldr in the library folder " << ldrawDir << '\n';
            return false;
        }
    }
    std::string text;
    const FileReading reading = ReadWholeFile(path, true, text);
    if (!reading.IsRead())
    {
        const int error = reading.outcome == FileReading::Failed ? reading.error : 0;
        err << "Error: cannot read colour file " << path << ": "
            << (error != 0 ? std::strerror(error) : "not a readable file") << '\n';
        return false;
    }
    ReadColourDefinitions(text, path, table, err);
    return true;
}

void ReadModelColours(const std::string& modelPath, ColorTable& table, std::ostream& err)
{
    std::string text;
    // Only a regular file: a model from a pipe has been read already.
    if (!ReadWholeFile(modelPath, false, text).IsRead())
        return;
    const std::vector<LDrawSection> sections = FindLDrawSections(text);
    if (sections.empty())
    {
        ReadColourDefinitions(text, modelPath, table, err);
        return;
    }
    const std::string_view whole(text);
    const char lineEnd = LineEndOf(whole);
    for (const LDrawSection& section : sections)
        ReadDefinitions(whole.substr(section.begin, section.end - section.begin), lineEnd,
                        modelPath, table, err, section.firstLine);
}
