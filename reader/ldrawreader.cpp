#include "reader/ldrawreader.h"

#include <cerrno>
#include <iostream>

#include "model/stagetimer.h"
#include "reader/filestate.h"
#include "reader/wholefile.h"

namespace
{

// The name index key of a name: FindNode compares C strings, so a name stops
// at its first NUL byte.
std::string NameKey(std::string_view name)
{
    return FoldAsciiCase(name.substr(0, name.find('\0')));
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
    isFailedOnMissingFile = false;
    failureReason.clear();
    part.Clear();
    files.clear();
    lookup.Reset(ldrawDir);
    IndexNodeNames(part);

    modelFilePath = modelPath;
    auto file = std::make_unique<FileState>();
    // The model may come from a pipe (/dev/stdin); every other file is a file.
    const FileReading reading = ReadWholeFile(modelPath, true, modelText);
    if (!reading.IsRead())
    {
        modelText.clear();
        failureReason = reading.Reason(modelPath);
        return false;
    }
    StageTimer::NoteInput(modelPath.c_str());
    lookup.SetModel(modelPath, modelText);
    // The model's node holds its first section (the whole file when it has
    // none).
    const std::string_view text(modelText);
    file->path = modelPath;
    file->tokens =
        LDrawTokenizer(lookup.HasSections() ? text.substr(0, lookup.Section(0).end) : text);
    PushFile(std::move(file), std::string(LDrawBaseName(modelPath)), part, NodeKind::Model);
    if (lookup.HasSections())
        lookup.SetSectionNode(0, 0);
    const bool isRead = ReadFiles(0, part);

    modelText = std::string();
    lookup.DropSections();
    return isRead;
}

bool LDrawReader::ReadFiles(std::size_t outerDepth, LegoPart& part)
{
    // Files are read with a stack of their own rather than by recursion, so
    // that nesting depth is bounded by memory, not by the call stack.
    bool lastResult = true;
    while (files.size() > outerDepth)
    {
        FileState& file = *files.back();
        if (file.wait != FileState::Wait::Nothing)
        {
            const Resolution resolution = ContinueReference(file, part, lastResult);
            if (resolution == Resolution::ChildOpened)
                continue;  // a file was opened on top of this one
            if (resolution == Resolution::Missing)
            {
                isFailedOnMissingFile = files.size() == 1;
                CloseFile(false);
                lastResult = false;
                continue;
            }
        }
        const Progress progress = ReadStatements(file, part);
        if (progress == Progress::ReferenceWaits)
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
    const FileReading reading = ReadWholeFile(path, false, file->text);
    if (!reading.IsRead())
    {
        // A file that cannot be read counts as not there; the system's
        // reason is told, unless it is merely not a regular file.
        if (reading.outcome != FileReading::NotRegular &&
            !(reading.outcome == FileReading::Failed && reading.error == ENOENT))
            std::cerr << "Error: " << reading.Reason(path) << '\n' << std::flush;
        return false;
    }
    StageTimer::NoteInput(path.c_str());
    file->path = path;
    file->tokens = LDrawTokenizer(file->text);
    PushFile(std::move(file), name, part, kind);
    return true;
}

void LDrawReader::OpenSection(std::size_t section, LegoPart& part)
{
    const LDrawSection& found = lookup.Section(section);
    auto file = std::make_unique<FileState>();
    // Messages name the section within the model file, with the model's line
    // numbers.
    file->path = modelFilePath + ":" + found.name;
    file->tokens = LDrawTokenizer(
        std::string_view(modelText).substr(found.begin, found.end - found.begin), found.firstLine);
    PushFile(std::move(file), found.name, part, NodeKind::Model);
    lookup.SetSectionNode(section, files.back()->nodeIndex);
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
    ReportNonStatementCount(*files.back());
    isNodeBeingRead[static_cast<std::size_t>(files.back()->nodeIndex)] = 0;
    if (isRead)
        --tagCounter;
    files.pop_back();
}

bool LDrawReader::BeginReference(FileState& file, LegoPart& part)
{
    // A reference written with a subfolder that was read as written before.
    const int asWritten = lookup.FindAsWritten(file.referenceWritten, file.referenceName);
    if (asWritten >= 0)
    {
        AddReference(file, part, asWritten);
        return false;
    }
    // 1. The model's embedded files, read when first referenced; then the
    // nodes by name: a name seen before, in any file and in any case, is not
    // read again.
    int childIndex = -1;
    const int section = lookup.FindSection(file.referenceName);
    if (section >= 0)
    {
        childIndex = lookup.SectionNode(static_cast<std::size_t>(section));
        if (childIndex < 0)
        {
            OpenSection(static_cast<std::size_t>(section), part);
            file.openedNode = files.back()->nodeIndex;
            file.wait = FileState::Wait::ChildRead;
            return true;
        }
    }
    else
    {
        childIndex = FindNodeIndexed(file.referenceName);
    }
    // 2. The library folders.
    if (childIndex < 0)
    {
        file.wait = FileState::Wait::LookUp;
        file.nextPlace = 0;
        return true;
    }
    // A name that leads back into a file still being read (parts\2421a.dat
    // placing s\2421a.dat) may name another file of the same base name.
    if (isNodeBeingRead[static_cast<std::size_t>(childIndex)] != 0)
    {
        LookupPlace place;
        if (lookup.AsWrittenPlace(file.referenceWritten, file.referenceName, place) &&
            OpenPlace(place, file.referenceName, part))
        {
            const int nodeIndex = files.back()->nodeIndex;
            lookup.NoteAsWritten(file.referenceWritten, file.referenceName, nodeIndex);
            file.openedNode = nodeIndex;
            file.wait = FileState::Wait::ChildRead;
            return true;
        }
    }
    AddReference(file, part, childIndex);
    return false;
}

LDrawReader::Resolution LDrawReader::ContinueReference(FileState& file, LegoPart& part,
                                                       bool childResult)
{
    if (file.wait == FileState::Wait::ChildRead)
    {
        file.wait = FileState::Wait::Nothing;
        AddReference(file, part, file.openedNode);
        return Resolution::Added;
    }
    if (ContinueLookUp(file, part, childResult))
        return Resolution::ChildOpened;
    // The first node of that name, which a file read under an earlier folder
    // may have made even though its read returned false.
    const int childIndex = FindNodeIndexed(file.referenceName);
    if (childIndex >= 0)
    {
        file.wait = FileState::Wait::Nothing;
        AddReference(file, part, childIndex);
        return Resolution::Added;
    }
    // 3 to 5. Further places, before the name counts as missing.
    if (OpenElsewhere(file, part))
    {
        file.openedNode = files.back()->nodeIndex;
        file.wait = FileState::Wait::ChildRead;
        return Resolution::ChildOpened;
    }
    file.wait = FileState::Wait::Nothing;
    std::cout << "Error: cannot find file " << file.referenceName << "\n" << std::flush;
    return isSkippingMissing ? Resolution::Added : Resolution::Missing;
}

bool LDrawReader::ContinueLookUp(FileState& file, LegoPart& part, bool childResult)
{
    // A library file whose reading stopped at a missing reference reads as not
    // found in its folder, so the next folder is tried; whatever the last
    // folder gives is not tested.
    if (file.nextPlace > 0 &&
        (childResult || file.nextPlace >= ReferenceLookup::kBaseNamePlaceCount))
        return false;
    LookupPlace place;
    // The node takes the name as written, not as spelt on disk. A file that
    // cannot be opened counts as not there.
    while (lookup.NextBaseNamePlace(file.nextPlace, file.referenceName, place))
        if (OpenPlace(place, file.referenceName, part))
            return true;
    return false;
}

bool LDrawReader::OpenElsewhere(FileState& file, LegoPart& part)
{
    LookupPlace place;
    int next = 0;
    while (lookup.NextFurtherPlace(next, file.referenceWritten, file.referenceName, place))
        if (OpenPlace(place, file.referenceName, part))
            return true;
    return false;
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
