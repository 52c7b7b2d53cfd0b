#include "reader/wholefile.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string FileReading::Reason(const std::string& path) const
{
    switch (outcome)
    {
        case Failed:
            return path + ": " + std::strerror(error);
        case TooLarge:
            return path + (size > kMaxFileBytes ? " is " : " holds more than ") +
                   std::to_string(size) + " bytes, more than the " + std::to_string(kMaxFileBytes) +
                   " a file may have; not read";
        default:
            return std::string();
    }
}

namespace
{

FileReading Failure(int error)
{
    FileReading reading;
    reading.outcome = FileReading::Failed;
    reading.error = error;
    return reading;
}

// Reads to the end: a regular file in one read of the size it claims plus one
// byte (a shorter read is its end), a stream in chunks that double.
FileReading ReadAll(int descriptor, bool isRegular, std::uint64_t claimed, std::string& text)
{
    // Every file of a nesting chain stays in memory while it is read, so no
    // slack is kept.
    std::size_t chunk = isRegular ? static_cast<std::size_t>(claimed) + 1 : 4096;
    std::size_t size = 0;
    FileReading reading;
    while (true)
    {
        if (size + chunk > kMaxFileBytes + 1)
            chunk = kMaxFileBytes + 1 - size;
        text.resize(size + chunk);
        const ssize_t count = ::read(descriptor, &text[size], chunk);
        if (count < 0)
        {
            if (errno == EINTR)
                continue;
            text.clear();
            return Failure(errno);
        }
        size += static_cast<std::size_t>(count);
        if (size > kMaxFileBytes)
        {
            text = std::string();
            reading.outcome = FileReading::TooLarge;
            reading.size = kMaxFileBytes;
            return reading;
        }
        if (count == 0 || (isRegular && static_cast<std::size_t>(count) < chunk))
            break;
        chunk = size;
    }
    text.resize(size);
    if (text.capacity() > size + size / 8 + 64)
        text.shrink_to_fit();
    return reading;
}

}  // namespace

FileReading ReadWholeFile(const std::string& path, bool isModel, std::string& text)
{
    // A library file is opened without waiting: a pipe with no writer would
    // block the open. The model is opened blocking, so that a FIFO whose
    // writer starts later is read whole.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (isModel ? 0 : O_NONBLOCK));
    if (descriptor < 0)
        return Failure(errno);
    FileReading reading;
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        reading = Failure(errno);
    const bool isRegular = reading.IsRead() && S_ISREG(status.st_mode);
    if (reading.IsRead() && !isModel && !isRegular)
        reading.outcome = FileReading::NotRegular;
    if (isRegular && static_cast<std::uint64_t>(status.st_size) > kMaxFileBytes)
    {
        reading.outcome = FileReading::TooLarge;
        reading.size = static_cast<std::uint64_t>(status.st_size);
    }
    if (reading.IsRead())
    {
        try
        {
            reading =
                ReadAll(descriptor, isRegular, static_cast<std::uint64_t>(status.st_size), text);
        }
        catch (const std::exception&)
        {
            text = std::string();
            reading = Failure(ENOMEM);
        }
    }
    ::close(descriptor);
    return reading;
}
