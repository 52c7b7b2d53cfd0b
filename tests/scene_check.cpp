#include "tests/scene_check.h"

#include <cctype>
#include <charconv>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace
{

struct Line
{
    unsigned tabs;
    std::string text;  // after the leading tabs
};

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Tokens separated by exactly one blank: no leading, trailing or double blank.
bool SplitBlanks(const std::string& s, std::vector<std::string>& tokens)
{
    tokens.clear();
    std::size_t start = 0;
    while (true)
    {
        const std::size_t blank = s.find(' ', start);
        const std::size_t length = blank == std::string::npos ? blank : blank - start;
        const std::string token = s.substr(start, length);
        if (token.empty())
            return false;
        tokens.push_back(token);
        if (blank == std::string::npos)
            return true;
        start = blank + 1;
    }
}

bool IsReal(const std::string& token)
{
    double value = 0.0;
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

bool IsCount(const std::string& token, unsigned& value)
{
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    return !token.empty() && std::isdigit(static_cast<unsigned char>(token[0])) &&
           result.ec == std::errc() && result.ptr == end;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const char* const kEndLevel = "} \\\\ end LEVEL ";
const char* const kEndInstance = "} \\\\ end INSTANCE ";
const char* const kEndTriset = "} \\\\ end TRISET ";

class SceneParser
{
public:
    explicit SceneParser(const std::string& text) : sceneText(text) {}

    SceneCheck Run()
    {
        SceneCheck check;
        check.ok = Parse() && CountPlacedPolygons(check.placedPolygons);
        check.error = error;
        check.counts = counts;
        return check;
    }

private:
    // Where a LEVEL stands decides what it may hold.
    enum class Place
    {
        Top,    // the root or a Bounding Boxes LEVEL: wrappers, then a TRISET
        Parts,  // the Parts LEVEL: part LEVELs only
        Part,   // inside Parts: bare INSTANCEs, then a TRISET
    };

    bool Parse()
    {
        if (!sceneText.empty() && sceneText.back() != '\n')
            return FailAt(0, "the last line has no line feed");
        std::size_t start = 0;
        while (start < sceneText.size())
        {
            const std::size_t end = sceneText.find('\n', start);
            Line line{0, sceneText.substr(start, end - start)};
            while (line.tabs < line.text.size() && line.text[line.tabs] == '\t')
                ++line.tabs;
            line.text.erase(0, line.tabs);
            lines.push_back(line);
            start = end + 1;
        }
        if (lines.size() < 2 || lines[0].tabs != 0 || lines[0].text != "TRISETIO 1.0" ||
            lines[1].tabs != 0 || !lines[1].text.empty())
            return FailAt(0, "the header is not TRISETIO 1.0 and an empty line");
        next = 2;
        unsigned topCount = 0;
        while (next < lines.size())
        {
            const Place place = topCount == 1 ? Place::Parts : Place::Top;
            std::string name;
            bool isWrapper = false;
            if (!Expect(0, "Class = LEVEL {") || !ParseLevel(0, place, name, isWrapper))
                return false;
            if (isWrapper)
                return FailAt(next - 1, "a wrapper LEVEL at the top");
            if (topCount == 1 && name != "Parts")
                return FailAt(next - 1, "the second LEVEL is not Parts");
            if (topCount >= 2 && !EqualsIgnoringAsciiCase(name, "Bounding Boxes"))
                return FailAt(next - 1, "a LEVEL after Parts that is not Bounding Boxes");
            ++topCount;
        }
        if (topCount == 1)
            return FailAt(next, "the Parts LEVEL is missing");
        for (const auto& [name, line] : sources)
            if (partNames.count(name) == 0)
                return FailAt(line, "SOURCE names no LEVEL in Parts: " + name);
        return true;
    }

    // The faces of a LEVEL with everything it places, once per placement.
    bool CountPlaced(const std::string& name, std::uint64_t& count)
    {
        const auto found = partLevels.find(name);
        if (found == partLevels.end())
            return FailAt(0, "SOURCE names no LEVEL in Parts: " + name);
        PartLevel& level = found->second;
        if (level.isCounted)
        {
            count = level.placedFaces;
            return true;
        }
        if (level.isBeingCounted)
            return FailAt(0, "a LEVEL places itself: " + name);
        level.isBeingCounted = true;
        std::uint64_t total = level.faces;
        for (const std::string& source : level.sources)
        {
            std::uint64_t placed = 0;
            if (!CountPlaced(source, placed))
                return false;
            total += placed;
        }
        level.placedFaces = total;
        level.isCounted = true;
        count = total;
        return true;
    }

    bool CountPlacedPolygons(std::uint64_t& count)
    {
        count = root.faces;
        for (const std::string& source : root.sources)
        {
            std::uint64_t placed = 0;
            if (!CountPlaced(source, placed))
                return false;
            count += placed;
        }
        return true;
    }

    bool FailAt(std::size_t line, const std::string& what)
    {
        std::ostringstream message;
        message << "line " << line + 1 << ": " << what;
        if (line < lines.size())
            message << " (found \"" << lines[line].text << "\" after " << lines[line].tabs
                    << " tabs)";
        error = message.str();
        return false;
    }

    // The next line, which must sit at `tabs` and read `text` exactly.
    bool Expect(unsigned tabs, const std::string& text)
    {
        if (next >= lines.size())
            return FailAt(next, "the file ends where \"" + text + "\" belongs");
        if (lines[next].tabs != tabs || lines[next].text != text)
            return FailAt(next,
                          "expected \"" + text + "\" after " + std::to_string(tabs) + " tabs");
        ++next;
        return true;
    }

    // The next line at `tabs` starting with `prefix`; its rest goes to `rest`.
    bool ExpectPrefix(unsigned tabs, const std::string& prefix, std::string& rest)
    {
        if (next >= lines.size())
            return FailAt(next, "the file ends where \"" + prefix + "\" belongs");
        if (lines[next].tabs != tabs || !StartsWith(lines[next].text, prefix))
            return FailAt(next,
                          "expected \"" + prefix + "...\" after " + std::to_string(tabs) + " tabs");
        rest = lines[next].text.substr(prefix.size());
        ++next;
        return true;
    }

    bool Peek(unsigned tabs, const std::string& text) const
    {
        return next < lines.size() && lines[next].tabs == tabs && lines[next].text == text;
    }

    bool ExpectCount(unsigned tabs, const std::string& prefix, unsigned& value)
    {
        std::string rest;
        if (!ExpectPrefix(tabs, prefix, rest))
            return false;
        if (!IsCount(rest, value))
            return FailAt(next - 1, "not a count");
        return true;
    }

    // After "Class = LEVEL {" at depth d, up to and including its closing line.
    bool ParseLevel(unsigned d, Place place, std::string& name, bool& isWrapper)
    {
        if (d > 8)
            return FailAt(next - 1, "LEVELs nested too deep");
        if (!ExpectPrefix(d + 1, "Name = ", name))
            return false;
        std::vector<std::string> tokens;
        std::string rest;
        bool hasColor = false;
        if (next < lines.size() && lines[next].tabs == d + 1 &&
            StartsWith(lines[next].text, "Color = "))
        {
            ExpectPrefix(d + 1, "Color = ", rest);
            if (!SplitBlanks(rest, tokens) || tokens.size() != 4 || !IsReal(tokens[0]) ||
                !IsReal(tokens[1]) || !IsReal(tokens[2]) || tokens[3] != "1")
                return FailAt(next - 1, "a Color line is three numbers and 1");
            hasColor = true;
        }
        if (hasColor && next < lines.size() && lines[next].tabs == d + 1 &&
            StartsWith(lines[next].text, "Transparency = "))
        {
            ExpectPrefix(d + 1, "Transparency = ", rest);
            if (!SplitBlanks(rest, tokens) || tokens.size() != 4 || !IsReal(tokens[0]) ||
                tokens[1] != tokens[0] || tokens[2] != tokens[0] || tokens[3] != tokens[0])
                return FailAt(next - 1, "a Transparency line is one number four times");
        }
        const bool isInvisible = Peek(d + 1, "Invisible");
        if (isInvisible)
            ++next;
        if (!Expect(d + 1, "END ATTRIB"))
            return false;

        unsigned instanceCount = 0;
        unsigned levelCount = 0;
        bool hasTriset = false;
        std::string wrappedSource;
        PartLevel level;  // what this LEVEL shows
        while (next < lines.size() && lines[next].tabs == d + 1)
        {
            const std::string& text = lines[next].text;
            if (text == "Class = LEVEL {")
            {
                if (place == Place::Part)
                    return FailAt(next, "a LEVEL inside a part's LEVEL");
                ++next;
                std::string inner;
                bool innerIsWrapper = false;
                if (!ParseLevel(d + 1, Place::Part, inner, innerIsWrapper))
                    return false;
                if (innerIsWrapper != (place == Place::Top))
                    return FailAt(next - 1, innerIsWrapper ? "a wrapper inside Parts"
                                                           : "a part LEVEL outside Parts");
                if (place == Place::Parts)
                    partNames.insert(inner);
                if (innerIsWrapper)
                    level.sources.push_back(wrappedLevelSource);
                ++levelCount;
            }
            else if (text == "Class = INSTANCE {")
            {
                if (place != Place::Part)
                    return FailAt(next, "a bare INSTANCE outside a part's LEVEL");
                ++next;
                if (!ParseInstance(d + 1, wrappedSource))
                    return false;
                level.sources.push_back(wrappedSource);
                ++instanceCount;
            }
            else if (text == "Class = TRISET {")
            {
                if (place == Place::Parts)
                    return FailAt(next, "a TRISET in the Parts LEVEL");
                ++next;
                if (!ParseTriset(d + 1, name, level.faces))
                    return false;
                hasTriset = true;
                break;  // the mesh comes last
            }
            else
                break;
        }

        std::string closing;
        if (!ExpectPrefix(d + 1, kEndLevel, closing))
            return false;
        isWrapper = closing != name;
        if (isWrapper)
        {
            if (name != closing + "_wrapper")
                return FailAt(next - 1, "the closing name differs from the LEVEL's name");
            if (instanceCount != 1 || levelCount != 0 || hasTriset || isInvisible ||
                wrappedSource != closing)
                return FailAt(next - 1, "a wrapper holds one INSTANCE of the LEVEL it names");
            wrappedLevelSource = closing;
        }
        else if (place == Place::Parts)
        {
            if (hasColor || !isInvisible)
                return FailAt(next - 1, "the Parts LEVEL is invisible and has no colour");
        }
        else
        {
            ++counts.levels;
            if (place == Place::Part)
                partLevels.emplace(name, level);
            else if (d == 0 && !isRootSeen)
            {
                root = level;
                isRootSeen = true;
            }
        }
        return true;
    }

    // After "Class = INSTANCE {" at depth f.
    bool ParseInstance(unsigned f, std::string& source)
    {
        const std::size_t first = next - 1;
        std::string named;
        std::string matrix;
        std::string closing;
        std::vector<std::string> tokens;
        if (!ExpectPrefix(f + 1, "Name = instance of level ", named) ||
            !ExpectPrefix(f + 1, "Matrix = ", matrix))
            return false;
        if (!SplitBlanks(matrix, tokens) || tokens.size() != 16)
            return FailAt(next - 1, "a Matrix line holds sixteen numbers");
        for (const std::string& token : tokens)
            if (!IsReal(token))
                return FailAt(next - 1, "not a number in the Matrix line: " + token);
        if (!Expect(f + 1, "END ATTRIB") || !ExpectPrefix(f + 1, "SOURCE = LEVEL ", source) ||
            !ExpectPrefix(f + 1, kEndInstance, closing))
            return false;
        if (named != source || closing != source)
            return FailAt(next - 1, "INSTANCE names differ");
        sources.emplace_back(source, first);
        ++counts.instances;
        return true;
    }

    // After "Class = TRISET {" at depth t.
    bool ParseTriset(unsigned t, const std::string& levelName, unsigned& faceCount)
    {
        unsigned pointCount = 0;
        if (!Expect(t + 1, "Name = " + levelName + " triset") || !Expect(t + 1, "END ATTRIB") ||
            !ExpectCount(t + 1, "PointCount = ", pointCount) ||
            !ExpectCount(t + 1, "FaceCount = ", faceCount) || !Expect(t + 1, "Vertices = {"))
            return false;
        std::vector<std::string> tokens;
        std::string rest;
        for (unsigned v = 0; v < pointCount; ++v)
        {
            if (!ExpectPrefix(t + 2, "{ ", rest))
                return false;
            // The closing brace follows the last number without a blank.
            if (!EndsWith(rest, "}") || !SplitBlanks(rest.substr(0, rest.size() - 1), tokens) ||
                tokens.size() != 3 || !IsReal(tokens[0]) || !IsReal(tokens[1]) ||
                !IsReal(tokens[2]))
                return FailAt(next - 1, "a vertex is \"{ x y z}\"");
        }
        if (!Expect(t + 2, "}") || !Expect(t + 1, "Faces = {"))
            return false;
        for (unsigned f = 0; f < faceCount; ++f)
        {
            if (!ExpectPrefix(t + 2, "{ ", rest))
                return false;
            unsigned index = 0;
            if (!EndsWith(rest, " }") || !SplitBlanks(rest.substr(0, rest.size() - 2), tokens) ||
                tokens.size() != 3)
                return FailAt(next - 1, "a face is \"{ a b c }\"");
            for (const std::string& token : tokens)
                if (!IsCount(token, index) || index >= pointCount)
                    return FailAt(next - 1, "a face index is not below PointCount");
        }
        if (!Expect(t + 2, "}") || !Expect(t + 1, "Normals = {"))
            return false;
        for (unsigned f = 0; f < faceCount; ++f)
        {
            if (!Expect(t + 2, "{"))
                return false;
            for (unsigned k = 0; k < 3; ++k)
            {
                if (!ExpectPrefix(t + 3, "{ ", rest))
                    return false;
                if (!EndsWith(rest, " }") ||
                    !SplitBlanks(rest.substr(0, rest.size() - 2), tokens) || tokens.size() != 3 ||
                    !IsReal(tokens[0]) || !IsReal(tokens[1]) || !IsReal(tokens[2]))
                    return FailAt(next - 1, "a normal is \"{ x y z }\"");
            }
            if (!Expect(t + 2, "}"))
                return false;
        }
        if (!Expect(t + 2, "}") || !Expect(t + 1, kEndTriset + levelName + " triset"))
            return false;
        ++counts.meshes;
        counts.vertices += pointCount;
        counts.polygons += faceCount;
        return true;
    }

    const std::string& sceneText;
    std::vector<Line> lines;
    std::size_t next = 0;
    std::string error;
    SceneCounts counts;
    std::set<std::string> partNames;

    struct PartLevel
    {
        unsigned faces = 0;                // of its own TRISET
        std::vector<std::string> sources;  // the LEVELs it places, in order
        std::uint64_t placedFaces = 0;
        bool isCounted = false;
        bool isBeingCounted = false;
    };
    std::map<std::string, PartLevel> partLevels;  // the first of a name
    PartLevel root;
    bool isRootSeen = false;
    std::string wrappedLevelSource;                            // of the wrapper parsed last
    std::vector<std::pair<std::string, std::size_t>> sources;  // name, line of its INSTANCE
};

}  // namespace

SceneCheck CheckScene(const std::string& text)
{
    return SceneParser(text).Run();
}

bool ParseStats(const std::string& text, SceneCounts& counts)
{
    const char* const labels[] = {
        "Polygons : ", "Vertices : ", "Meshes   : ", "Instances: ", "Levels   : "};
    unsigned* const fields[] = {&counts.polygons, &counts.vertices, &counts.meshes,
                                &counts.instances, &counts.levels};
    std::istringstream in(text);
    std::string line;
    for (unsigned i = 0; i < 5; ++i)
        if (!std::getline(in, line) || !StartsWith(line, labels[i]) ||
            !IsCount(line.substr(std::string(labels[i]).size()), *fields[i]))
            return false;
    return true;
}
