#pragma once

#include <cstdint>
#include <string>

// The largest file read: real LDraw files are a few megabytes.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t(1) << 30;

// How reading a whole file went.
struct FileReading
{
    enum Outcome
    {
        Read,
        NotRegular,  // a library entry that is not a regular file
        Failed,      // the system said no: `error` holds errno
        TooLarge     // more than kMaxFileBytes: `size` holds its size, or
                     // the bytes read so far from a stream
    } outcome = Read;
    int error = 0;
    std::uint64_t size = 0;

    bool IsRead() const { return outcome == Read; }
    // The line saying why, after "Error: "; empty when read or not regular.
    std::string Reason(const std::string& path) const;
};

// Reads all of the file at `path` into `text`. The model (`isModel`) may be a
// pipe, a FIFO or a device, opened blocking and read until it ends, up to
// kMaxFileBytes in growing chunks. A library file must be a regular file:
// a pipe would wait for a writer forever, a device might never end. A
// regular file larger than kMaxFileBytes is refused before any memory is
// reserved for it.
FileReading ReadWholeFile(const std::string& path, bool isModel, std::string& text);
