#include "reader/ldrawreader.h"

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "model/parallel.h"
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
    ReadSectionsAhead();
    ReadSection(*file, lookup.HasSections() ? text.substr(0, lookup.Section(0).end) : text, 1,
                TakeSectionRead(0));
    filesAhead.reset();
    askedNames.clear();
    // What the model and its sections reference is asked for at once.
    AskAhead(file->source, *file->statements);
    for (std::size_t s = 1; s < sectionsRead.size(); ++s)
    {
        const LDrawSection& section = lookup.Section(s);
        AskAhead(text.substr(section.begin, section.end - section.begin), *sectionsRead[s]);
    }
    PushFile(std::move(file), std::string(LDrawBaseName(modelPath)), part, NodeKind::Model);
    if (lookup.HasSections())
        lookup.SetSectionNode(0, 0);
    const bool isRead = ReadFiles(0, part);
    filesAhead.reset();
    sectionsRead.clear();

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
                KeepOnlyBeforeReference(file, part);
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
            std::cerr << "Error: " << file.path << " line " << file.statements->stopLine
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
    file->ahead = filesAhead ? filesAhead->Take(path) : nullptr;
    if (!file->ahead)
    {
        file->ahead = std::make_unique<FileAhead>();
        ReadFileAhead(path, *file->ahead);
        AskAhead(file->ahead->text, file->ahead->statements);
    }
    const FileReading& reading = file->ahead->reading;
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
    file->source = file->ahead->text;
    file->statements = &file->ahead->statements;
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
    ReadSection(*file, std::string_view(modelText).substr(found.begin, found.end - found.begin),
                found.firstLine, TakeSectionRead(section));
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
    node.mesh = std::move(file->statements->mesh);
    // Room for every placement at once.
    node.children.reserve(node.children.size() + file->statements->references.size());
    if (name.find('\0') == std::string::npos)
        nodeIndexByName.emplace(NameKey(name), nodeIndex);  // the lowest index stays
    if (isNodeBeingRead.size() <= static_cast<std::size_t>(nodeIndex))
        isNodeBeingRead.resize(static_cast<std::size_t>(nodeIndex) + 1, 0);
    isNodeBeingRead[static_cast<std::size_t>(nodeIndex)] = 1;

    file->nodeIndex = nodeIndex;
    files.push_back(std::move(file));
}

void LDrawReader::KeepOnlyBeforeReference(const FileState& file, LegoPart& part)
{
    // The node keeps the triangles that came before the reference, as read
    // again up to it: the same steps as reading had stopped there.
    const std::size_t references = file.statements->said[file.nextSaid - 1].index + 1;
    StatementsRead before;
    ReadStatementsOf(file.source, file.firstLine, before, references);
    part.Node(static_cast<unsigned>(file.nodeIndex)).mesh = std::move(before.mesh);
}

void LDrawReader::ReadSectionsAhead()
{
    sectionsRead.clear();
    if (!lookup.HasSections() || Parallel::Jobs() == 1)
        return;
    // Every section on every job: nearly all are referenced.
    const std::string_view text(modelText);
    sectionsRead.resize(lookup.SectionCount());
    Parallel::ForEach(sectionsRead.size(),
                      [&](std::size_t s)
                      {
                          const LDrawSection& section = lookup.Section(s);
                          // The first section is read from the file's start.
                          const std::size_t begin = s == 0 ? 0 : section.begin;
                          auto read = std::make_unique<StatementsRead>();
                          ReadStatementsOf(text.substr(begin, section.end - begin),
                                           s == 0 ? 1 : section.firstLine, *read);
                          sectionsRead[s] = std::move(read);
                      });
}

std::unique_ptr<StatementsRead> LDrawReader::TakeSectionRead(std::size_t section)
{
    return section < sectionsRead.size() ? std::move(sectionsRead[section]) : nullptr;
}

void LDrawReader::ReadSection(FileState& file, std::string_view text, unsigned firstLine,
                              std::unique_ptr<StatementsRead> read)
{
    file.source = text;
    file.firstLine = firstLine;
    file.sectionStatements = std::move(read);
    if (!file.sectionStatements)
    {
        file.sectionStatements = std::make_unique<StatementsRead>();
        ReadStatementsOf(text, firstLine, *file.sectionStatements);
    }
    file.statements = file.sectionStatements.get();
}

void LDrawReader::AskAhead(std::string_view source, const StatementsRead& statements)
{
    if (Parallel::Jobs() == 1)
        return;
    // The library file each name not met before will be looked for in first.
    for (const StatementsRead::Reference& reference : statements.references)
    {
        const std::string_view written = source.substr(reference.nameBegin, reference.nameLength);
        const std::string name(LDrawBaseName(written));
        if (lookup.FindSection(name) >= 0 || FindNodeIndexed(name) >= 0 ||
            lookup.FindAsWritten(written, name) >= 0 || !askedNames.insert(NameKey(name)).second)
            continue;
        int next = 0;
        LookupPlace place;
        if (!lookup.NextBaseNamePlace(next, name, place))
            continue;
        // Library files are read ahead on the other jobs while this one
        // follows the references, once the library is listed; reading is
        // work for a core, so by no more threads than there are cores.
        if (!filesAhead)
            filesAhead = std::make_unique<FilesReadAhead>(
                std::min(Parallel::Jobs(), Parallel::Cores()),
                [this](std::string_view asWritten)
                {
                    const std::string base(LDrawBaseName(asWritten));
                    return lookup.FindSection(base) >= 0 ? std::string()
                                                         : lookup.FirstLibraryPath(base);
                });
        filesAhead->Ask(place.path);
    }
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
