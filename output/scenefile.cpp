#include "output/scenefile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// Large enough that a million-triangle scene takes a few hundred writes.
constexpr std::size_t kBufferSize = std::size_t(1) << 20;

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash + 1);
}

// Paths such as /dev/stdout or /proc/self/fd/1 name an open stream, not a
// file to replace, whatever they link to. A regular file under /dev (in
// /dev/shm, say), or one not there yet, is an ordinary file.
bool IsStreamPath(const std::string& path)
{
    if (path.compare(0, 5, "/dev/") != 0 && path.compare(0, 6, "/proc/") != 0)
        return false;
    struct stat linkStatus;
    return lstat(path.c_str(), &linkStatus) == 0 && !S_ISREG(linkStatus.st_mode) &&
           !S_ISDIR(linkStatus.st_mode);
}

// The file a path ends up at: a symbolic link is followed, so that replacing
// the file keeps the link.
std::string ResolveLink(const std::string& path)
{
    struct stat linkStatus;
    if (lstat(path.c_str(), &linkStatus) != 0 || !S_ISLNK(linkStatus.st_mode))
        return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

int MakeTemporary(std::string& temporaryPath)
{
    std::vector<char> name(temporaryPath.begin(), temporaryPath.end());
    name.push_back('\0');
    const int descriptor = mkstemp(name.data());
    if (descriptor >= 0)
        temporaryPath.assign(name.data());
    return descriptor;
}

bool WriteAll(int descriptor, const char* data, std::size_t length)
{
    while (length > 0)
    {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

SceneFile::SceneFile() : buffer(new char[kBufferSize])
{
}

SceneFile::~SceneFile()
{
    Discard();
}

bool SceneFile::Open(const std::string& path)
{
    Discard();
    hasFailed = false;
    error = 0;
    cursor = buffer.get();
    limit = buffer.get() + kBufferSize;
    temporaryPath.clear();
    if (path.empty())
        return Fail(ENOENT);
    if (IsStreamPath(path))
    {
        targetPath = path;
        descriptor = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return descriptor >= 0 || Fail(errno);
    }
    targetPath = ResolveLink(path);

    struct stat targetStatus;
    const bool exists = stat(targetPath.c_str(), &targetStatus) == 0;
    if (exists && S_ISDIR(targetStatus.st_mode))
        return Fail(EISDIR);
    if (exists && !S_ISREG(targetStatus.st_mode))
    {
        // A device or a pipe: nothing to keep, nothing to rename.
        descriptor = ::open(targetPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return descriptor >= 0 || Fail(errno);
    }
    // A file the user may not write is not replaced behind its back.
    if (exists && access(targetPath.c_str(), W_OK) != 0)
        return Fail(errno);

    temporaryPath = targetPath + ".tmpXXXXXX";
    descriptor = MakeTemporary(temporaryPath);
    if (descriptor < 0 && errno == ENAMETOOLONG)
    {
        // The target's name is close to the limit; a short name in its folder.
        temporaryPath = FolderOf(targetPath) + ".plinthex.tmpXXXXXX";
        descriptor = MakeTemporary(temporaryPath);
    }
    if (descriptor < 0)
    {
        temporaryPath.clear();
        return Fail(errno);
    }
    // mkstemp makes the file private; give it the target's mode and owner, or
    // those of a newly created file.
    if (exists)
    {
        (void)fchmod(descriptor, targetStatus.st_mode & 07777);
        if (geteuid() == 0)
            (void)fchown(descriptor, targetStatus.st_uid, targetStatus.st_gid);
    }
    else
    {
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(descriptor, 0666 & ~mask);
    }
    return true;
}

void SceneFile::Flush()
{
    const std::size_t length = static_cast<std::size_t>(cursor - buffer.get());
    cursor = buffer.get();
    if (hasFailed || descriptor < 0)
        return;
    if (!WriteAll(descriptor, buffer.get(), length))
        Fail(errno);
}

void SceneFile::WriteLong(std::string_view text)
{
    while (!text.empty())
    {
        if (cursor == limit)
            Flush();
        const std::size_t room = static_cast<std::size_t>(limit - cursor);
        const std::size_t length = text.size() < room ? text.size() : room;
        std::memcpy(cursor, text.data(), length);
        cursor += length;
        text.remove_prefix(length);
    }
}

bool SceneFile::Close()
{
    if (descriptor < 0)
        return false;
    Flush();
    const int closed = ::close(descriptor);
    descriptor = -1;
    if (closed != 0)
        Fail(errno);
    if (!temporaryPath.empty())
    {
        if (!hasFailed && std::rename(temporaryPath.c_str(), targetPath.c_str()) != 0)
            Fail(errno);
        if (hasFailed)
            (void)unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    return !hasFailed;
}

bool SceneFile::Fail(int errorNumber)
{
    if (!hasFailed)
        error = errorNumber;
    hasFailed = true;
    return false;
}

void SceneFile::Discard()
{
    if (descriptor >= 0)
    {
        (void)::close(descriptor);
        descriptor = -1;
    }
    if (!temporaryPath.empty())
    {
        (void)unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    cursor = buffer.get();
}
