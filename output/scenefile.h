#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "output/realformat.h"

// An output file built in large chunks that replaces its target only when it
// is complete: the text goes to a temporary file beside the target, which is
// renamed over the target once every write and the close have succeeded, so
// a failure never leaves a truncated file where a good one stood. Targets that
// are not regular files (a terminal, a pipe, /dev/null) and streams named by
// path (/dev/stdout) are written directly.
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
    bool IsOpen() const { return descriptor >= 0; }

    void Write(std::string_view text)
    {
        if (text.size() <= static_cast<std::size_t>(limit - cursor))
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
    void WriteReal(double value) { cursor = PutReal(Reserve(kMaxRealText), value); }
    void WriteUnsigned(unsigned long long value);

    // For writers of many short lines: room for `length` characters (far
    // less than the buffer holds), filled through the pointer with Put* and
    // plain copies, then handed back with EndText at the end of the text.
    char* BeginText(std::size_t length) { return Reserve(length); }
    void EndText(char* end) { cursor = end; }
    // Writes `value` as "%.20g" does at `out`; returns the end.
    char* PutReal(char* out, double value);
    static char* PutUnsigned(char* out, unsigned value);

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
    void Flush();
    void WriteLong(std::string_view text);

    // Recently written numbers by bit pattern: a scene repeats coordinates
    // and normals so often that most are copied instead of formatted again.
    struct FormattedReal
    {
        std::uint64_t bits;
        std::uint32_t length;  // 0: empty slot
        char text[28];
    };
    static constexpr std::size_t kFormattedRealSlots = 4096;

    std::unique_ptr<char[]> buffer;
    std::unique_ptr<FormattedReal[]> formattedReals;
    char* cursor = nullptr;
    char* limit = nullptr;
    int descriptor = -1;
    bool hasFailed = false;
    std::string targetPath;     // the file that the text ends up in
    std::string temporaryPath;  // empty when writing the target directly
};
