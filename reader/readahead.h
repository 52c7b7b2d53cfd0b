#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "geometry/matrix.h"
#include "model/legopolymesh.h"
#include "reader/wholefile.h"

// One file's statements read through before the reader acts on them: the
// mesh its triangles make, and in order what else it says (references,
// lines that are no statements, degenerate triangles), which only the reader
// may act on, in its own order. Reading stops at the first unreadable
// statement, as the reader does.
struct StatementsRead
{
    struct Reference
    {
        Matrix4x4 transform;
        int color = 0;
        // The name as written, within the text read.
        std::uint32_t nameBegin = 0;
        std::uint32_t nameLength = 0;
    };
    struct Said
    {
        enum class Kind : unsigned char
        {
            NotStatement,
            Degenerate,
            Reference
        } kind;
        unsigned line;   // NotStatement: the line
        unsigned index;  // into degenerate or references
    };

    LEGOPolyMesh mesh;
    std::vector<Said> said;
    std::vector<Reference> references;
    std::vector<Vector3> degenerate;  // three corners each
    bool isCutShort = false;          // an unreadable statement ended the reading
    unsigned stopLine = 0;            // its line
};

// Reads the statements of `text` (whose first line is `firstLine`) into
// `read`, up to its end or to the `referenceCount`th reference.
void ReadStatementsOf(std::string_view text, unsigned firstLine, StatementsRead& read,
                      std::size_t referenceCount = SIZE_MAX);

// A library file as read ahead: how reading it went, its text and, when
// read, its statements.
struct FileAhead
{
    FileReading reading;
    std::string text;
    StatementsRead statements;
};

// Reads the library file at `path` and its statements into `ahead`.
void ReadFileAhead(const std::string& path, FileAhead& ahead);

// Library files read on threads of their own while the reader goes on: the
// reader asks for the files it will probably open, and takes each when it
// opens it. What is taken is exactly what reading it then would give.
class FilesReadAhead
{
public:
    // The path of the file a reference written so will probably open, or
    // empty; called from the reading threads.
    using Finder = std::function<std::string(std::string_view written)>;

    // With no threads, nothing is read ahead and Take finds nothing. Each
    // file read ahead also asks for the files its references find.
    FilesReadAhead(unsigned threadCount, Finder finder);
    ~FilesReadAhead();
    FilesReadAhead(const FilesReadAhead&) = delete;
    FilesReadAhead& operator=(const FilesReadAhead&) = delete;

    // Queues the file at `path`, unless it was asked for before.
    void Ask(const std::string& path);
    // The file at `path` as read ahead, waiting while it is being read; null
    // when it was not asked for, not started yet or could not be read ahead.
    // Either way it is not read ahead again.
    std::unique_ptr<FileAhead> Take(const std::string& path);

private:
    enum class State
    {
        Queued,
        Reading,
        Done,
        Taken
    };
    struct Entry
    {
        State state = State::Queued;
        std::unique_ptr<FileAhead> file;
    };

    void Serve();
    // The files the references of `file` find, for the names not looked up
    // before; takes `lock` (unlocked) for a while.
    std::vector<std::string> FoundPaths(const FileAhead& file, std::unique_lock<std::mutex>& lock);

    std::mutex mutex;
    std::condition_variable wake;  // work queued, or stopping
    std::condition_variable done;  // a file read
    std::unordered_map<std::string, Entry> entries;
    std::deque<std::string> queue;
    std::unordered_set<std::string> namesLookedUp;  // as written, by FoundPaths
    bool isStopping = false;
    Finder find;
    std::vector<std::thread> threads;
};
