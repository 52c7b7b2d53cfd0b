// The statement loop: one file's lines into its node.

#include <iostream>
#include <sstream>

#include "reader/filestate.h"
#include "reader/ldrawsections.h"
#include "reader/quadorder.h"

namespace
{

// A colour may also be written as a direct colour (0x2RRGGBB).
bool ReadColor(LDrawTokenizer& tokens, int& value)
{
    std::string_view token;
    return tokens.NextToken(token) && ParseLDrawColor(token, value);
}

bool ReadReals(LDrawTokenizer& tokens, double* values, int count)
{
    std::string_view token;
    for (int i = 0; i < count; ++i)
        if (!tokens.NextToken(token) || !ParseLDrawReal(token, values[i]))
            return false;
    return true;
}

bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A name runs from its first token to the last character of its line that is
// not white space, inner white space kept: "10156 - TRUCK.LDR". `rest` is the
// text of the line after the token.
std::string_view NameToLineEnd(std::string_view token, std::string_view rest)
{
    std::size_t length = rest.size();
    while (length > 0 && IsWhiteSpace(rest[length - 1]))
        --length;
    if (length == 0)
        return token;
    return std::string_view(token.data(),
                            static_cast<std::size_t>(rest.data() + length - token.data()));
}

}  // namespace

// At most this many lines that are not statements are named per file; the
// rest are counted.
constexpr unsigned kNamedNonStatements = 10;

void LDrawReader::ReportNonStatement(FileState& file)
{
    if (++file.nonStatementCount <= kNamedNonStatements)
        std::cerr << "Error: " << file.path << " line " << file.tokens.Line()
                  << ": not an LDraw statement, line ignored\n"
                  << std::flush;
}

void LDrawReader::ReportNonStatementCount(const FileState& file)
{
    if (file.nonStatementCount > kNamedNonStatements)
        std::cerr << "Error: " << file.path << ": " << file.nonStatementCount - kNamedNonStatements
                  << " more lines that are not LDraw statements ignored\n"
                  << std::flush;
}

LDrawReader::Progress LDrawReader::ReadStatements(FileState& file, LegoPart& part)
{
    LDrawTokenizer& tokens = file.tokens;
    std::string_view token;
    while (tokens.NextToken(token))
    {
        int lineType = 0;
        if (!ParseLDrawInt(token, lineType))
        {
            ReportNonStatement(file);
            tokens.SkipRestOfLine();
            continue;
        }
        int color = 0;
        double v[12];
        switch (lineType)
        {
            case 0:
                // Comments and meta-commands alike.
                tokens.SkipRestOfLine();
                break;
            case 1:
            {
                std::string_view name;
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12) ||
                    !tokens.NextToken(name))
                    return Progress::Unreadable;
                name = NameToLineEnd(name, tokens.TakeRestOfLine());
                // 1 colour x y z a b c d e f g h i name: rows (a b c x), (d e f y),
                // (g h i z), (0 0 0 1) carry child points into the parent.
                Matrix4x4& m = file.referenceTransform;
                m.Identity();
                for (int row = 0; row < 3; ++row)
                {
                    m.m[4 * row] = v[3 + 3 * row];
                    m.m[4 * row + 1] = v[4 + 3 * row];
                    m.m[4 * row + 2] = v[5 + 3 * row];
                    m.m[4 * row + 3] = v[row];
                }
                file.referenceColor = color;
                file.referenceWritten = name;
                // Folders in the reference (s\, 48\) are dropped: a name is looked
                // up by its base name first.
                file.referenceName.assign(LDrawBaseName(name));
                if (BeginReference(file, part))
                    return Progress::ReferenceWaits;
                break;
            }
            case 2:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 6))
                    return Progress::Unreadable;
                tokens.SkipRestOfLine();
                break;
            case 3:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 9))
                    return Progress::Unreadable;
                tokens.SkipRestOfLine();
                AddTriangle(file, part, Vector3(v[0], v[1], v[2]), Vector3(v[3], v[4], v[5]),
                            Vector3(v[6], v[7], v[8]), color);
                break;
            case 4:
            {
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12))
                    return Progress::Unreadable;
                tokens.SkipRestOfLine();
                Vector3 p1(v[0], v[1], v[2]);
                Vector3 p2(v[3], v[4], v[5]);
                Vector3 p3(v[6], v[7], v[8]);
                Vector3 p4(v[9], v[10], v[11]);
                FixQuadOrder(p1, p2, p3, p4);
                AddTriangle(file, part, p1, p2, p3, color);
                AddTriangle(file, part, p3, p4, p1, color);
                break;
            }
            case 5:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12))
                    return Progress::Unreadable;
                tokens.SkipRestOfLine();
                break;
            default:
                // A line type of no meaning: the line is ignored.
                tokens.SkipRestOfLine();
                break;
        }
    }
    return Progress::Ended;
}

void LDrawReader::AddTriangle(const FileState& file, LegoPart& part, const Vector3& p1,
                              const Vector3& p2, const Vector3& p3, int color)
{
    if (!TriangleHasArea(p1, p2, p3))
    {
        ReportDegenerate(file.path, p1, p2, p3);
        return;
    }
    const Vector3 corners[3] = {p1, p2, p3};
    LEGOPolyMesh& mesh = part.Node(static_cast<unsigned>(file.nodeIndex)).mesh;
    const unsigned polygon = mesh.AddPolygon(3, corners);
    mesh.FaceColor(polygon) = color;
}

void LDrawReader::ReportDegenerate(const std::string& path, const Vector3& p1, const Vector3& p2,
                                   const Vector3& p3)
{
    // Formatted apart so that the corners show with default stream settings
    // (six significant digits), whatever the console stream is set to.
    std::ostringstream line;
    line << "Error: " << path << " has a degenerate triangle with vertices " << p1 << "," << p2
         << "," << p3 << "\n";
    std::cerr << line.str() << std::flush;
}
