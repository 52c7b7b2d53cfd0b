#include "reader/ldrawreader.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "model/stagetimer.h"
#include "reader/ldrawtokens.h"

struct LDrawReader::FileState
{
    std::string path;  // as opened, for messages
    std::string text;  // a library file's text; a model section reads the model's
    LDrawTokenizer tokens{std::string_view()};
    int nodeIndex = -1;

    // The reference being resolved.
    enum class Pending
    {
        None,
        LookUp,  // in the library folders, from `nextFolder` on
        Opened   // `openedNode` was opened for it
    } pending = Pending::None;
    int nextFolder = 0;
    int openedNode = -1;
    int referenceColor = 0;
    Matrix4x4 referenceTransform;
    std::string referenceName;          // its base name
    std::string_view referenceWritten;  // as written, within the text being read
};

namespace
{

// Twice a triangle's area must exceed this for the triangle to be kept.
constexpr double kMinimumDoubleArea = 1e-7;
// Lines closer to parallel than this (the cross term of their closest-point
// equations) are taken as parallel.
constexpr double kParallelLimit = 0.0001;
// How far beyond its ends a segment still counts as reaching a point.
constexpr double kSegmentMargin = 0.0001;

// Reads all of a file, or fails; a directory fails on its first read, a
// file too large for memory like one that cannot be opened. With
// `mustBeRegular` anything but a regular file fails: a library entry that is
// a pipe would wait for a writer forever, a device might never end.
bool ReadWholeFile(const std::string& path, bool mustBeRegular, std::string& text)
{
    // Opened without waiting: a pipe with no writer reads as empty instead
    // of blocking the open.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    struct stat status;
    bool isFailed = fstat(descriptor, &status) != 0;
    const bool isRegular = !isFailed && S_ISREG(status.st_mode);
    if (mustBeRegular && !isRegular)
        isFailed = true;
    // Once open, a pipe or device is read like any stream, waiting for data.
    if (!isFailed && !isRegular)
        isFailed = fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0;
    // A regular file in one read of the size it claims plus one byte: a
    // shorter read is its end. Streams are read until they end. Every file of
    // a nesting chain stays in memory while it is read, so no slack is kept.
    std::size_t chunk = isRegular ? static_cast<std::size_t>(status.st_size) + 1 : 4096;
    std::size_t size = 0;
    try
    {
        while (!isFailed)
        {
            text.resize(size + chunk);
            const ssize_t count = ::read(descriptor, &text[size], chunk);
            if (count < 0)
            {
                isFailed = errno != EINTR;
                continue;
            }
            size += static_cast<std::size_t>(count);
            if (count == 0 || (isRegular && static_cast<std::size_t>(count) < chunk))
                break;
            chunk = size;
        }
        text.resize(size);
        if (text.capacity() > size + size / 8 + 64)
            text.shrink_to_fit();
    }
    catch (const std::exception&)
    {
        isFailed = true;
    }
    ::close(descriptor);
    return !isFailed;
}

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

// The name index key of a name: FindNode compares C strings, so a name stops
// at its first NUL byte.
std::string NameKey(std::string_view name)
{
    return FoldAsciiCase(name.substr(0, name.find('\0')));
}

// The subfolder a reference is written with: the name splits at '/' or '\'
// into exactly two parts, the first of them s, 48 or 8 in any case. Empty
// for any other reference.
std::string WrittenSubfolder(std::string_view written)
{
    const std::size_t separator = written.find_first_of("/\\");
    if (separator == std::string_view::npos ||
        written.find_first_of("/\\", separator + 1) != std::string_view::npos)
        return std::string();
    std::string folder = FoldAsciiCase(written.substr(0, separator));
    if (folder == "s" || folder == "48" || folder == "8")
        return folder;
    return std::string();
}

}  // namespace

LDrawReader::LDrawReader() = default;
LDrawReader::~LDrawReader() = default;

bool LDrawReader::Read(const std::string& ldrawDirectory, const std::string& modelPath,
                       LegoPart& part)
{
    // Library paths are this text, a '/' unless it already ends in a
    // separator, then the folder and file names as found on disk, e.g.
    // "../shared/ldraw/parts/3001.dat". Messages show them so.
    ldrawDir = ldrawDirectory;
    if (!ldrawDir.empty() && ldrawDir.back() != '/' && ldrawDir.back() != '\\')
        ldrawDir += '/';
    tagCounter = 0;
    part.Clear();
    files.clear();
    isLibraryIndexed = false;
    folderTree.Clear();
    asWrittenNodes.clear();
    IndexNodeNames(part);

    modelFilePath = modelPath;
    // Files next to the model are looked for in its folder: the path up to its
    // last '/' (the current directory when it has none).
    const std::size_t slash = modelPath.rfind('/');
    modelFolder = slash == std::string::npos ? std::string() : modelPath.substr(0, slash + 1);
    auto file = std::make_unique<FileState>();
    // The model may come from a pipe (/dev/stdin); every other file is a file.
    if (!ReadWholeFile(modelPath, false, modelText))
    {
        modelText.clear();
        return false;
    }
    StageTimer::NoteInput(modelPath.c_str());
    FindModelSections();
    // The model's node holds its first section (the whole file when it has
    // none).
    const std::string_view text(modelText);
    file->path = modelPath;
    file->tokens = LDrawTokenizer(sections.empty() ? text : text.substr(0, sections[0].end));
    PushFile(std::move(file), std::string(LDrawBaseName(modelPath)), part, NodeKind::Model);
    if (!sections.empty())
        sectionNodes[0] = 0;
    const bool isRead = ReadFiles(0, part);

    modelText = std::string();
    sections.clear();
    sectionNodes.clear();
    sectionByName.clear();
    return isRead;
}

bool LDrawReader::ReadLDrawFile(const std::string& path, LegoPart& part, int kind)
{
    if (files.empty())
        IndexNodeNames(part);
    const std::size_t outerDepth = files.size();
    if (!OpenFile(path, std::string(LDrawBaseName(path)), part, kind))
        return false;
    return ReadFiles(outerDepth, part);
}

bool LDrawReader::ReadFiles(std::size_t outerDepth, LegoPart& part)
{
    // Files are read with a stack of their own rather than by recursion, so
    // that nesting depth is bounded by memory, not by the call stack.
    bool lastResult = true;
    while (files.size() > outerDepth)
    {
        FileState& file = *files.back();
        if (file.pending != FileState::Pending::None)
        {
            const Resolution resolution = ContinueReference(file, part, lastResult);
            if (resolution == Resolution::Opened)
                continue;  // a file was opened on top of this one
            if (resolution == Resolution::Missing)
            {
                CloseFile(false);
                lastResult = false;
                continue;
            }
        }
        const Progress progress = ReadStatements(file, part);
        if (progress == Progress::Pending)
            continue;
        if (progress == Progress::Unreadable)
        {
            std::cerr << "Error: " << file.path << " line " << file.tokens.Line()
                      << ": unreadable statement, rest of file ignored\n"
                      << std::flush;
        }
        // A file cut short by an unreadable statement still counts as read:
        // its node keeps what came before.
        CloseFile(true);
        lastResult = true;
    }
    return lastResult;
}

bool LDrawReader::OpenFile(const std::string& path, const std::string& name, LegoPart& part,
                           int kind)
{
    auto file = std::make_unique<FileState>();
    if (!ReadWholeFile(path, true, file->text))
        return false;
    StageTimer::NoteInput(path.c_str());
    file->path = path;
    file->tokens = LDrawTokenizer(file->text);
    PushFile(std::move(file), name, part, kind);
    return true;
}

void LDrawReader::OpenSection(std::size_t section, LegoPart& part)
{
    const LDrawSection& found = sections[section];
    auto file = std::make_unique<FileState>();
    // Messages name the section within the model file, with the model's line
    // numbers.
    file->path = modelFilePath + ":" + found.name;
    file->tokens = LDrawTokenizer(
        std::string_view(modelText).substr(found.begin, found.end - found.begin), found.firstLine);
    PushFile(std::move(file), found.name, part, NodeKind::Model);
    sectionNodes[section] = files.back()->nodeIndex;
}

void LDrawReader::PushFile(std::unique_ptr<FileState> file, const std::string& name, LegoPart& part,
                           int kind)
{
    // The node exists, under its name, before any of its content is read.
    const int nodeIndex = part.NewNodeIndex();
    _LegoNode& node = part.Node(static_cast<unsigned>(nodeIndex));
    // Two counts per file opened, one back per file read to its end.
    node.tag = ++tagCounter;
    ++tagCounter;
    node.kind = kind;
    node.name = name;
    if (name.find('\0') == std::string::npos)
        nodeIndexByName.emplace(NameKey(name), nodeIndex);  // the lowest index stays
    if (isNodeBeingRead.size() <= static_cast<std::size_t>(nodeIndex))
        isNodeBeingRead.resize(static_cast<std::size_t>(nodeIndex) + 1, 0);
    isNodeBeingRead[static_cast<std::size_t>(nodeIndex)] = 1;

    file->nodeIndex = nodeIndex;
    files.push_back(std::move(file));
}

void LDrawReader::CloseFile(bool isRead)
{
    isNodeBeingRead[static_cast<std::size_t>(files.back()->nodeIndex)] = 0;
    if (isRead)
        --tagCounter;
    files.pop_back();
}

LDrawReader::Progress LDrawReader::ReadStatements(FileState& file, LegoPart& part)
{
    LDrawTokenizer& tokens = file.tokens;
    std::string_view token;
    while (tokens.NextToken(token))
    {
        int lineType = 0;
        if (!ParseLDrawInt(token, lineType))
            return Progress::Unreadable;
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
                    return Progress::Pending;
                break;
            }
            case 2:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 6))
                    return Progress::Unreadable;
                break;
            case 3:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 9))
                    return Progress::Unreadable;
                AddTriangle(file, part, Vector3(v[0], v[1], v[2]), Vector3(v[3], v[4], v[5]),
                            Vector3(v[6], v[7], v[8]), color);
                break;
            case 4:
            {
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12))
                    return Progress::Unreadable;
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
                break;
            default:
                // Only the number is consumed; what follows is read as statements.
                break;
        }
    }
    return Progress::Ended;
}

bool LDrawReader::BeginReference(FileState& file, LegoPart& part)
{
    // 1. A reference written with a subfolder that was read as written before.
    std::string subfolder;
    if (!asWrittenNodes.empty())
    {
        subfolder = WrittenSubfolder(file.referenceWritten);
        if (!subfolder.empty())
        {
            const auto found =
                asWrittenNodes.find(subfolder + '/' + FoldAsciiCase(file.referenceName));
            if (found != asWrittenNodes.end())
            {
                AddReference(file, part, found->second);
                return false;
            }
        }
    }
    // 2. The model's embedded files, read when first referenced; 3. the nodes
    // by name: a name seen before, in any file and in any case, is not read
    // again.
    int childIndex = -1;
    const int section = FindSection(file.referenceName);
    if (section >= 0)
    {
        childIndex = sectionNodes[static_cast<std::size_t>(section)];
        if (childIndex < 0)
        {
            OpenSection(static_cast<std::size_t>(section), part);
            file.openedNode = files.back()->nodeIndex;
            file.pending = FileState::Pending::Opened;
            return true;
        }
    }
    else
    {
        childIndex = FindNodeIndexed(file.referenceName);
    }
    // 4. The library folders.
    if (childIndex < 0)
    {
        file.pending = FileState::Pending::LookUp;
        file.nextFolder = 0;
        return true;
    }
    // A name that leads back into a file still being read (parts\2421a.dat
    // placing s\2421a.dat) may name another file of the same base name.
    if (isNodeBeingRead[static_cast<std::size_t>(childIndex)] != 0)
    {
        if (asWrittenNodes.empty())
            subfolder = WrittenSubfolder(file.referenceWritten);
        if (!subfolder.empty() && OpenAsWritten(file, part, subfolder))
            return true;
    }
    AddReference(file, part, childIndex);
    return false;
}

LDrawReader::Resolution LDrawReader::ContinueReference(FileState& file, LegoPart& part,
                                                       bool childResult)
{
    if (file.pending == FileState::Pending::Opened)
    {
        file.pending = FileState::Pending::None;
        AddReference(file, part, file.openedNode);
        return Resolution::Added;
    }
    if (ContinueLookUp(file, part, childResult))
        return Resolution::Opened;
    // The first node of that name, which a file read under an earlier folder
    // may have made even though its read returned false.
    const int childIndex = FindNodeIndexed(file.referenceName);
    if (childIndex >= 0)
    {
        file.pending = FileState::Pending::None;
        AddReference(file, part, childIndex);
        return Resolution::Added;
    }
    // 5. Further places, before the name counts as missing.
    if (OpenElsewhere(file, part))
    {
        file.openedNode = files.back()->nodeIndex;
        file.pending = FileState::Pending::Opened;
        return Resolution::Opened;
    }
    file.pending = FileState::Pending::None;
    std::cout << "Error: cannot find file " << file.referenceName << "\n" << std::flush;
    return Resolution::Missing;
}

bool LDrawReader::ContinueLookUp(FileState& file, LegoPart& part, bool childResult)
{
    // A library file whose reading stopped at a missing reference reads as not
    // found in its folder, so the next folder is tried; whatever the last
    // folder gives is not tested.
    if (file.nextFolder > 0 && (childResult || file.nextFolder >= kLookUpFolderCount))
        return false;
    IndexLibrary();
    static constexpr int kKinds[kLookUpFolderCount] = {NodeKind::Primitive, NodeKind::Part,
                                                       NodeKind::Subpart};
    while (file.nextFolder < kLookUpFolderCount)
    {
        const int folder = file.nextFolder++;
        const std::string path = libraryFolders[folder].Find(file.referenceName);
        // The node takes the name as written, not as spelt on disk.
        if (!path.empty() && OpenFile(path, file.referenceName, part, kKinds[folder]))
            return true;
        // A file that cannot be opened counts as not there.
    }
    return false;
}

bool LDrawReader::OpenAsWritten(FileState& file, LegoPart& part, const std::string& subfolder)
{
    IndexMoreLibrary();
    // s\ names PARTS\S, 48\ and 8\ name P\48 and P\8.
    const bool isSubpart = subfolder == "s";
    const int folder = isSubpart           ? kSubparts
                       : subfolder == "48" ? kHiResPrimitives
                                           : kLoResPrimitives;
    const std::string path = libraryFolders[folder].Find(file.referenceName);
    if (path.empty() || !OpenFile(path, file.referenceName, part,
                                  isSubpart ? NodeKind::Subpart : NodeKind::Primitive))
        return false;
    const int nodeIndex = files.back()->nodeIndex;
    // Later references written the same way resolve to this node.
    asWrittenNodes.emplace(subfolder + '/' + FoldAsciiCase(file.referenceName), nodeIndex);
    file.openedNode = nodeIndex;
    file.pending = FileState::Pending::Opened;
    return true;
}

bool LDrawReader::OpenElsewhere(FileState& file, LegoPart& part)
{
    IndexMoreLibrary();
    // a. Hi-res and low-res primitives that have no standard-resolution twin.
    const std::string subfolder = WrittenSubfolder(file.referenceWritten);
    if (subfolder == "48" || subfolder == "8")
    {
        const int folder = subfolder == "48" ? kHiResPrimitives : kLoResPrimitives;
        const std::string path = libraryFolders[folder].Find(file.referenceName);
        if (!path.empty() && OpenFile(path, file.referenceName, part, NodeKind::Primitive))
            return true;
    }
    // b. The reference as written, relative to the model's folder (a model
    // kept as several files side by side); c. the same in the library's
    // MODELS folder.
    std::string path = folderTree.FindFile(modelFolder, file.referenceWritten);
    if (!path.empty() && OpenFile(path, file.referenceName, part, NodeKind::Model))
        return true;
    if (modelsFolder.empty())
        return false;
    path = folderTree.FindFile(modelsFolder, file.referenceWritten);
    return !path.empty() && OpenFile(path, file.referenceName, part, NodeKind::Model);
}

void LDrawReader::AddReference(const FileState& file, LegoPart& part, int childIndex)
{
    // A reference back to a file still being read would close a cycle that
    // every later stage would follow forever.
    if (isNodeBeingRead[static_cast<std::size_t>(childIndex)] != 0)
    {
        std::cerr << "Error: " << file.path << " references " << file.referenceName
                  << ", which includes it; reference ignored\n"
                  << std::flush;
        return;
    }
    _LegoInstance instance;
    instance.color = file.referenceColor;
    instance.transform = file.referenceTransform;
    instance.node = childIndex;
    part.Node(static_cast<unsigned>(file.nodeIndex)).children.push_back(instance);
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

bool LDrawReader::SegmentsCross(const Vector3& p0, const Vector3& p1, const Vector3& q0,
                                const Vector3& q1)
{
    // Closest points of the two infinite lines: s along p0-p1, t along q0-q1.
    const Vector3 u = p1 - p0;
    const Vector3 w = q1 - q0;
    const Vector3 r = p0 - q0;
    const double uu = u.Dot(u);
    const double uw = u.Dot(w);
    const double ww = w.Dot(w);
    const double ur = u.Dot(r);
    const double wr = w.Dot(r);
    const double den = uu * ww - uw * uw;
    if (std::fabs(den) < kParallelLimit)
        return false;
    const double s = (uw * wr - ww * ur) / den;
    const double t = (uu * wr - uw * ur) / den;
    // Either one within its segment suffices.
    return (-kSegmentMargin < s && s < 1.0 + kSegmentMargin) ||
           (-kSegmentMargin < t && t < 1.0 + kSegmentMargin);
}

void LDrawReader::FixQuadOrder(Vector3& p1, Vector3& p2, Vector3& p3, Vector3& p4)
{
    // The diagonals of a quadrilateral in order are p1-p3 and p2-p4.
    if (SegmentsCross(p1, p3, p2, p4))
        return;
    if (SegmentsCross(p1, p2, p3, p4))
        swap(p2, p3);
    else if (SegmentsCross(p1, p4, p2, p3))
        swap(p3, p4);
}

bool LDrawReader::TriangleHasArea(const Vector3& p1, const Vector3& p2, const Vector3& p3)
{
    Vector3 normal;
    normal.Cross(p3 - p1, p1 - p2);
    return normal.Length() > kMinimumDoubleArea;
}

int LDrawReader::FindNodeIndexed(std::string_view name) const
{
    const auto found = nodeIndexByName.find(NameKey(name));
    return found == nodeIndexByName.end() ? -1 : found->second;
}

void LDrawReader::IndexNodeNames(const LegoPart& part)
{
    nodeIndexByName.clear();
    isNodeBeingRead.assign(part.GetNodeCount(), 0);
    for (unsigned i = 0; i < part.GetNodeCount(); ++i)
    {
        const std::string& name = part.GetNode(i)->name;
        if (name.find('\0') == std::string::npos)
            nodeIndexByName.emplace(NameKey(name), static_cast<int>(i));
    }
}

void LDrawReader::IndexLibrary()
{
    if (isLibraryIndexed)
        return;
    isLibraryIndexed = true;
    isMoreLibraryIndexed = false;
    for (LibraryFolder& folder : libraryFolders)
        folder = LibraryFolder();
    primitivesFolder.clear();
    modelsFolder.clear();
    // The library's folders are P and PARTS (with PARTS\S), found in any case.
    std::string path;
    if (FindSubdirectory(ldrawDir, "P", primitivesFolder))
        libraryFolders[kPrimitives].List(primitivesFolder);
    if (FindSubdirectory(ldrawDir, "PARTS", path))
    {
        libraryFolders[kParts].List(path);
        std::string subpartPath;
        if (FindSubdirectory(path, "S", subpartPath))
            libraryFolders[kSubparts].List(subpartPath);
    }
}

void LDrawReader::IndexMoreLibrary()
{
    IndexLibrary();
    if (isMoreLibraryIndexed)
        return;
    isMoreLibraryIndexed = true;
    // Only references found nowhere by their base name get this far: P\48,
    // P\8 and MODELS are listed then, in any case.
    std::string path;
    if (!primitivesFolder.empty())
    {
        if (FindSubdirectory(primitivesFolder, "48", path))
            libraryFolders[kHiResPrimitives].List(path);
        if (FindSubdirectory(primitivesFolder, "8", path))
            libraryFolders[kLoResPrimitives].List(path);
    }
    if (!FindSubdirectory(ldrawDir, "MODELS", modelsFolder))
        modelsFolder.clear();
}

int LDrawReader::FindSection(std::string_view name) const
{
    if (sectionByName.empty())
        return -1;
    const auto found = sectionByName.find(FoldAsciiCase(name));
    return found == sectionByName.end() ? -1 : static_cast<int>(found->second);
}

void LDrawReader::FindModelSections()
{
    sections = FindLDrawSections(modelText);
    sectionNodes.assign(sections.size(), -1);
    sectionByName.clear();
    // When two sections share a name, the first wins.
    for (std::size_t i = 0; i < sections.size(); ++i)
        sectionByName.emplace(FoldAsciiCase(sections[i].name), i);
}
