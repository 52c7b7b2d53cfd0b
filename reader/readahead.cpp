#include "reader/readahead.h"

#include <algorithm>
#include <exception>

#include "model/parallel.h"
#include "reader/ldrawtokens.h"
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

void AddTriangle(StatementsRead& read, const Vector3& p1, const Vector3& p2, const Vector3& p3,
                 int color)
{
    if (!TriangleHasArea(p1, p2, p3))
    {
        read.said.push_back({StatementsRead::Said::Kind::Degenerate, 0,
                             static_cast<unsigned>(read.degenerate.size() / 3)});
        read.degenerate.insert(read.degenerate.end(), {p1, p2, p3});
        return;
    }
    const Vector3 corners[3] = {p1, p2, p3};
    const unsigned polygon = read.mesh.AddPolygon(3, corners);
    read.mesh.FaceColor(polygon) = color;
}

// Texts of this many bytes or more are counted before they are read.
constexpr std::size_t kCountedText = std::size_t(1) << 16;

// How many lines of `text` start with a 1 token: room for the references,
// which a model placing many parts would otherwise grow step by step, each
// step copying the list into fresh memory.
std::size_t CountReferenceLines(std::string_view text)
{
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < text.size())
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        if (at + 1 < text.size() && text[at] == '1' && IsWhiteSpace(text[at + 1]))
            ++count;
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return count;
}

}  // namespace

void ReadStatementsOf(std::string_view text, unsigned firstLine, StatementsRead& read,
                      std::size_t referenceCount)
{
    if (text.size() >= kCountedText && referenceCount == SIZE_MAX)
    {
        const std::size_t references = CountReferenceLines(text);
        read.references.reserve(references);
        read.said.reserve(references);
    }
    LDrawTokenizer tokens(text, firstLine);
    std::string_view token;
    const auto cutShort = [&]()
    {
        read.isCutShort = true;
        read.stopLine = tokens.Line();
    };
    while (tokens.NextToken(token))
    {
        int lineType = 0;
        if (!ParseLDrawInt(token, lineType))
        {
            read.said.push_back({StatementsRead::Said::Kind::NotStatement, tokens.Line(), 0});
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
                    return cutShort();
                name = NameToLineEnd(name, tokens.TakeRestOfLine());
                // 1 colour x y z a b c d e f g h i name: rows (a b c x), (d e f y),
                // (g h i z), (0 0 0 1) carry child points into the parent.
                StatementsRead::Reference reference;
                Matrix4x4& m = reference.transform;
                m.Identity();
                for (int row = 0; row < 3; ++row)
                {
                    m.m[4 * row] = v[3 + 3 * row];
                    m.m[4 * row + 1] = v[4 + 3 * row];
                    m.m[4 * row + 2] = v[5 + 3 * row];
                    m.m[4 * row + 3] = v[row];
                }
                reference.color = color;
                reference.nameBegin = static_cast<std::uint32_t>(name.data() - text.data());
                reference.nameLength = static_cast<std::uint32_t>(name.size());
                read.said.push_back({StatementsRead::Said::Kind::Reference, tokens.Line(),
                                     static_cast<unsigned>(read.references.size())});
                read.references.push_back(reference);
                if (read.references.size() == referenceCount)
                    return;
                break;
            }
            case 2:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 6))
                    return cutShort();
                tokens.SkipRestOfLine();
                break;
            case 3:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 9))
                    return cutShort();
                tokens.SkipRestOfLine();
                AddTriangle(read, Vector3(v[0], v[1], v[2]), Vector3(v[3], v[4], v[5]),
                            Vector3(v[6], v[7], v[8]), color);
                break;
            case 4:
            {
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12))
                    return cutShort();
                tokens.SkipRestOfLine();
                Vector3 p1(v[0], v[1], v[2]);
                Vector3 p2(v[3], v[4], v[5]);
                Vector3 p3(v[6], v[7], v[8]);
                Vector3 p4(v[9], v[10], v[11]);
                FixQuadOrder(p1, p2, p3, p4);
                AddTriangle(read, p1, p2, p3, color);
                AddTriangle(read, p3, p4, p1, color);
                break;
            }
            case 5:
                if (!ReadColor(tokens, color) || !ReadReals(tokens, v, 12))
                    return cutShort();
                tokens.SkipRestOfLine();
                break;
            default:
                // A line type of no meaning: the line is ignored.
                tokens.SkipRestOfLine();
                break;
        }
    }
}

void ReadFileAhead(const std::string& path, FileAhead& ahead)
{
    ahead.reading = ReadWholeFile(path, false, ahead.text);
    if (ahead.reading.IsRead())
        ReadStatementsOf(ahead.text, 1, ahead.statements);
}

FilesReadAhead::FilesReadAhead(unsigned threadCount, Finder finder) : find(std::move(finder))
{
    Parallel::StartWithoutInterruptions(
        [&]
        {
            try
            {
                for (unsigned i = 0; i < threadCount; ++i)
                    threads.emplace_back(&FilesReadAhead::Serve, this);
            }
            catch (const std::exception&)
            {
                // Fewer threads read ahead, or none: the reader reads the rest.
            }
        });
}

FilesReadAhead::~FilesReadAhead()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        isStopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void FilesReadAhead::Ask(const std::string& path)
{
    if (threads.empty())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!entries.emplace(path, Entry()).second)
            return;
        queue.push_back(path);
    }
    wake.notify_one();
}

std::unique_ptr<FileAhead> FilesReadAhead::Take(const std::string& path)
{
    std::unique_lock<std::mutex> lock(mutex);
    Entry& entry = entries[path];
    if (entry.state == State::Queued)
    {
        // Read where it is needed rather than waited for.
        entry.state = State::Taken;
        return nullptr;
    }
    done.wait(lock, [&] { return entry.state != State::Reading; });
    entry.state = State::Taken;
    return std::move(entry.file);
}

void FilesReadAhead::Serve()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;)
    {
        wake.wait(lock, [this] { return isStopping || !queue.empty(); });
        if (isStopping)
            return;
        Entry& entry = entries.find(queue.front())->second;
        const std::string path = std::move(queue.front());
        queue.pop_front();
        if (entry.state != State::Queued)
            continue;
        entry.state = State::Reading;
        lock.unlock();
        std::unique_ptr<FileAhead> file;
        std::vector<std::string> paths;
        try
        {
            file = std::make_unique<FileAhead>();
            ReadFileAhead(path, *file);
            if (file->reading.IsRead())
                paths = FoundPaths(*file, lock);
        }
        catch (...)
        {
            // Left for the reader to read, and fail, itself.
            file.reset();
            paths.clear();
        }
        lock.lock();
        entry.file = std::move(file);
        entry.state = State::Done;
        done.notify_all();
        // Depth first, as the reader goes: these are needed before what was
        // queued earlier. Without memory for that, they are read where needed.
        try
        {
            auto at = queue.begin();
            for (std::string& found : paths)
                if (entries.try_emplace(found).second)
                    at = queue.insert(at, std::move(found)) + 1;
        }
        catch (...)
        {
        }
    }
}

std::vector<std::string> FilesReadAhead::FoundPaths(const FileAhead& file,
                                                    std::unique_lock<std::mutex>& lock)
{
    // Each name as written is looked up once for all the files: most
    // references name the same few primitives.
    const std::string_view text = file.text;
    std::vector<std::string_view> names;
    names.reserve(file.statements.references.size());
    for (const StatementsRead::Reference& reference : file.statements.references)
        names.push_back(text.substr(reference.nameBegin, reference.nameLength));
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::size_t kept = 0;
    lock.lock();
    try
    {
        for (const std::string_view name : names)
            if (namesLookedUp.emplace(name).second)
                names[kept++] = name;
    }
    catch (...)
    {
        lock.unlock();
        throw;
    }
    lock.unlock();
    names.resize(kept);

    std::vector<std::string> paths;
    for (const std::string_view name : names)
    {
        std::string path = find(name);
        if (!path.empty())
            paths.push_back(std::move(path));
    }
    return paths;
}
