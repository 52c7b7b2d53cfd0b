#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// True for "-" and for any path that names the file, pipe or terminal that is
// this process's standard output.
bool IsStandardOutput(const std::string& path);

// An output file built in large chunks that replaces its target only when it
// is complete: the text goes to a temporary file beside the target (a file
// without a name where the system has those, named only once complete), which
// is renamed over the target once every write and the close have succeeded,
// so a failure never leaves a truncated file where a good one stood. A
// symbolic link is followed to its target, which is created when missing.
// Targets that are not regular files (a terminal, a pipe, /dev/null) and
// streams named by path are written directly; standard output (see
// IsStandardOutput) is written and left open.
// While a file is open, SIGINT, SIGTERM and SIGHUP remove the temporary file
// and end the program with 128 + the signal number; an existing target stays
// as it was. Only one open file at a time is guarded so.
// With more than one job, a file written directly (below) has its full
// buffers handed to a writing thread, in order, and the next ones fill
// meanwhile, so the device's work overlaps the making of the text; the bytes
// and their order are the same. Through the cache, long texts go into the
// file from where they lie, with no copy, on the thread that made them: there
// a writing thread only added the copy into its buffers, and copying a buffer
// another core had just filled took it several times as long.
// A new file is written past the system's file cache (direct writes) while
// that is measured to be the faster way: where the cache must fault in every
// page it takes (virtual machines), copying into it can take several times
// as long as the device needs for the same bytes. The writes are timed in
// windows of some megabytes and the faster way is kept; where direct writes
// are refused, the file is written as usual. The environment variable
// PLINTHEX_DIRECT_WRITES set to "always" or "never" fixes the way.
// Reports nothing itself: the caller knows what the file is for.
class SceneFile
{
public:
    SceneFile();
    SceneFile(const SceneFile&) = delete;
    SceneFile& operator=(const SceneFile&) = delete;
    // Removes the temporary file of a file that was never closed.
    ~SceneFile();

    // Prepares a new file for `path`. False when it cannot be created: a
    // missing or unwritable folder, or a target that is a folder or that may
    // not be written.
    bool Open(const std::string& path);
    // The bytes a file written directly has before a writing thread takes
    // over (with more than one job): none unless set.
    void SetWriterAfter(std::size_t bytes) { writerAfter = bytes; }
    bool IsOpen() const { return descriptor >= 0; }
    // Whether a writing thread has taken over the open file.
    bool HasWritingThread() const { return writer.joinable(); }
    // The errno value of the first failure of the last Open or Close; 0 for
    // none.
    int ErrorNumber() const { return error; }

    // Text of kStraightText bytes or more goes to the file from where it
    // lies, not through the buffer, while this thread writes the file itself
    // through the cache.
    static constexpr std::size_t kStraightText = std::size_t(64) << 10;
    void Write(std::string_view text)
    {
        if (text.size() <= static_cast<std::size_t>(limit - cursor) && text.size() < kStraightText)
        {
            if (!text.empty())  // an empty view may hold no pointer at all
                std::memcpy(cursor, text.data(), text.size());
            cursor += text.size();
        }
        else
        {
            WriteLong(text);
        }
    }
    void Write(char c)
    {
        *Reserve(1) = c;
        ++cursor;
    }

    // For writers of many short lines: room for `length` characters (far
    // less than the buffer holds), filled through the pointer, then handed
    // back with EndText at the end of the text.
    char* BeginText(std::size_t length) { return Reserve(length); }
    void EndText(char* end) { cursor = end; }

    // Writes what is buffered, closes and publishes the file. False when any
    // write, the close or the rename failed; the target is then unchanged and
    // the temporary file is gone.
    bool Close();
    // Drops the file without publishing it.
    void Discard();

private:
    // Makes room for `length` characters (at most the buffer's size).
    char* Reserve(std::size_t length)
    {
        if (static_cast<std::size_t>(limit - cursor) < length)
            Flush();
        return cursor;
    }
    // Hands the buffered text to the file; all of it when `isLast`, else up
    // to a multiple of the direct-write alignment, the rest staying buffered.
    void Flush(bool isLast = false);
    // Writes [data, data + length) at the file's end, timing it for the
    // choice of the way of writing. On either thread.
    bool WriteChunk(const char* data, std::size_t length);
    // After a window of writes, keeps or changes the way of writing.
    void ChooseWayOfWriting();
    bool SetDirect(bool direct);
    // Waits until the writing thread has written what it was handed, then
    // takes over its failure, if any.
    void WaitForWriter();
    void StopWriter();
    // Queues the buffer's first `length` bytes for the writing thread and
    // carries its last `tail` bytes into the next buffer, waiting for a free
    // one when too many are queued.
    void HandToWriter(std::size_t length, std::size_t tail);
    void RunWriter();
    void GuardAgainstInterruption();
    void EndGuard();
    // Gives the unnamed file a temporary name beside the target.
    bool NameUnnamedFile();
    // Records the first failure; returns false.
    bool Fail(int errorNumber);
    void WriteLong(std::string_view text);
    // Writes the buffered text and then `text` itself, in whole blocks when
    // handed in blocks, its rest staying buffered. False, with nothing done,
    // when the file is written otherwise: by the writing thread, directly,
    // or not at all after a failure.
    bool WriteStraight(std::string_view text);

    struct FreeBlock
    {
        void operator()(char* block) const;
    };
    using Block = std::unique_ptr<char[], FreeBlock>;
    static Block NewBlock();
    Block buffer;

    // The way of writing (see the class comment): direct writes may be tried
    // on a new file of our own; the current window's bytes and time, and the
    // rate last measured each way (bytes a nanosecond; 0 while unmeasured).
    // Written by whichever thread writes; read by this one only while the
    // writing thread is idle (after WaitForWriter).
    bool mayWriteDirect = false;
    bool isDirect = false;
    bool isDirectFixed = false;  // set by PLINTHEX_DIRECT_WRITES=always
    // Whether buffers are handed over in whole blocks: set at Open, on this
    // thread alone.
    bool isHandedInBlocks = false;
    std::size_t windowBytes = 0;
    std::size_t writtenBytes = 0;  // by this thread, before any writing thread
    std::size_t writerAfter;
    std::int64_t windowNanoseconds = 0;
    double rates[2] = {0.0, 0.0};

    // Shared with the writing thread, under writerMutex.
    std::thread writer;
    std::mutex writerMutex;
    std::condition_variable writerWake;
    struct QueuedBlock
    {
        Block block;
        std::size_t length;
    };
    std::deque<QueuedBlock> queuedBlocks;  // handed over, to write in order
    std::vector<Block> freeBlocks;         // written, to fill again
    std::size_t blockCount = 0;            // of this file's thread, the filling one among them
    bool isWriting = false;
    bool isWriterStopping = false;
    int writerError = 0;

    char* cursor = nullptr;
    char* limit = nullptr;
    int descriptor = -1;
    bool ownsDescriptor = true;  // false for standard output
    bool isUnnamed = false;      // an O_TMPFILE file, named at Close
    bool hasFailed = false;
    int error = 0;
    std::string targetPath;     // the file that the text ends up in
    std::string temporaryPath;  // empty when writing the target directly
};
