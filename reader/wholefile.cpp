#include "reader/wholefile.h"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
