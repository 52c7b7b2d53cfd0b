// The statement loop: what one file says, acted on in order for its node.

#include <iostream>
#include <sstream>

#include "reader/filestate.h"
#include "reader/ldrawsections.h"

// At most this many lines that are not statements are named per file; the
// rest are counted.
constexpr unsigned kNamedNonStatements = 10;

void LDrawReader::ReportNonStatement(FileState& file, unsigned line)
{
    if (++file.nonStatementCount <= kNamedNonStatements)
        std::cerr << "Error: " << file.path << " line " << line
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
    const StatementsRead& read = *file.statements;
    while (file.nextSaid < read.said.size())
    {
        const StatementsRead::Said& said = read.said[file.nextSaid++];
        switch (said.kind)
        {
            case StatementsRead::Said::Kind::NotStatement:
                ReportNonStatement(file, said.line);
                break;
            case StatementsRead::Said::Kind::Degenerate:
            {
                const Vector3* corners = read.degenerate.data() + 3 * std::size_t(said.index);
                ReportDegenerate(file.path, corners[0], corners[1], corners[2]);
                break;
            }
            case StatementsRead::Said::Kind::Reference:
            {
                const StatementsRead::Reference& reference = read.references[said.index];
                file.referenceTransform = reference.transform;
                file.referenceColor = reference.color;
                file.referenceWritten =
                    file.source.substr(reference.nameBegin, reference.nameLength);
                // Folders in the reference (s\, 48\) are dropped: a name is looked
                // up by its base name first.
                file.referenceName.assign(LDrawBaseName(file.referenceWritten));
                if (BeginReference(file, part))
                    return Progress::ReferenceWaits;
                break;
            }
        }
    }
    return read.isCutShort ? Progress::Unreadable : Progress::Ended;
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
