#include "output/scenefile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "model/parallel.h"

namespace
{

// Large enough that a million-triangle scene takes a few hundred writes.
constexpr std::size_t kBufferSize = std::size_t(1) << 20;
// Direct writes start at a multiple of this in the file and in memory and
// are as long as a multiple of it: the largest block size devices use.
constexpr std::size_t kDirectAlignment = 4096;
// The writes are timed over windows of this many bytes.
constexpr std::size_t kWindowBytes = std::size_t(32) << 20;
// While the cache takes less than this many bytes a nanosecond, direct
// writes are tried.
constexpr double kFastCacheRate = 2.0;
// The writing thread starts once a file written directly has this many
// bytes (unless set otherwise): at once, since the device's time then
// overlaps the making of the text from the first buffer.
constexpr std::size_t kWriterAfter = 0;
// Full buffers that may wait for the writing thread: the text of a few
// rounds of formatting goes on while the device takes the last ones.
constexpr std::size_t kQueuedBlocks = 8;

// Interruptions that end the program while a file is written; the handler
// removes the temporary file's name and exits with 128 + the signal number.
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kInterruptionCount = 3;

// The one temporary name to remove on an interruption, set while signals are
// blocked. Only async-signal-safe calls touch it in the handler.
char interruptedName[PATH_MAX + 64];
std::atomic<bool> hasInterruptedName{false};
struct sigaction previousActions[kInterruptionCount];
const SceneFile* guardOwner = nullptr;

extern "C" void OnInterruption(int signalNumber)
{
    if (hasInterruptedName.load())
        (void)unlink(interruptedName);
    _exit(128 + signalNumber);
}

// Holds the interruptions back in this thread for its lifetime.
class InterruptionBlock
{
public:
    InterruptionBlock()
    {
        sigset_t set;
        sigemptyset(&set);
        for (const int signalNumber : kInterruptions)
            sigaddset(&set, signalNumber);
        pthread_sigmask(SIG_BLOCK, &set, &previous);
    }
    ~InterruptionBlock() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    InterruptionBlock(const InterruptionBlock&) = delete;
    InterruptionBlock& operator=(const InterruptionBlock&) = delete;

private:
    sigset_t previous;
};

void SetInterruptedName(const std::string& name)
{
    const InterruptionBlock block;
    hasInterruptedName.store(false);
    if (name.size() >= sizeof interruptedName)
        return;
    std::memcpy(interruptedName, name.c_str(), name.size() + 1);
    hasInterruptedName.store(true);
}

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

// The path a chain of symbolic links ends at, whether that exists or not, so
// that replacing the file keeps the links and a dangling link gets its
// target. False, with errno set, for a chain that cannot be read or does not
// end.
bool FollowLinks(const std::string& path, std::string& end)
{
    end = path;
    for (int hop = 0; hop < 40; ++hop)
    {
        struct stat linkStatus;
        if (lstat(end.c_str(), &linkStatus) != 0 || !S_ISLNK(linkStatus.st_mode))
            return true;
        char target[PATH_MAX];
        const ssize_t length = readlink(end.c_str(), target, sizeof target);
        if (length < 0)
            return false;
        if (length == 0 || static_cast<std::size_t>(length) == sizeof target)
        {
            errno = length == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        const std::string next(target, static_cast<std::size_t>(length));
        if (next[0] == '/')
            end = next;
        else
            end = FolderOf(end).append(next);
    }
    errno = ELOOP;
    return false;
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

// The /proc path through which an open file without a name gets one.
std::string DescriptorPath(int descriptor)
{
    return "/proc/self/fd/" + std::to_string(descriptor);
}

// A file without a name in `folder`, given one only when complete, so that
// not even SIGKILL leaves a named file behind; -1 where the file system or
// the kernel has no such files, or /proc is missing. PLINTHEX_NAMED_TEMPORARY
// asks for the named temporary file instead.
int OpenUnnamed(const std::string& folder)
{
#ifdef O_TMPFILE
    if (std::getenv("PLINTHEX_NAMED_TEMPORARY") != nullptr)
        return -1;
    const int descriptor =
        ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return -1;
    struct stat linkStatus;
    if (lstat(DescriptorPath(descriptor).c_str(), &linkStatus) == 0)
        return descriptor;
    (void)::close(descriptor);
#else
    (void)folder;
#endif
    return -1;
}

// Puts `temporary` in the place of `target`. Over an existing file the two
// are swapped and the old one, now under the temporary name, is removed:
// ext4 starts writing a file renamed over another out to the device within
// the rename, and the file replaced waits there for its own writing out,
// which made every conversion onto an earlier output wait for the device
// (50 MB: 25 to 40 ms, where the swap and the removal take 2 to 3). Where
// the file system cannot swap, or the target is not a plain file, a
// rename. False, with errno set, when nothing was replaced.
bool ReplaceWith(const std::string& temporary, const std::string& target)
{
#ifdef RENAME_EXCHANGE
    struct stat status;
    if (lstat(target.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0)
    {
        if (unlink(temporary.c_str()) == 0 || errno == ENOENT)
            return true;
        // What was swapped out is no file to remove (it changed since it was
        // looked at): swapped back, and the rename below says why. Should
        // that fail, the scene stands in the target's place.
        if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0)
            return true;
    }
#endif
    return std::rename(temporary.c_str(), target.c_str()) == 0;
}

}  // namespace

bool IsStandardOutput(const std::string& path)
{
    if (path == "-")
        return true;
    struct stat output, named;
    return fstat(STDOUT_FILENO, &output) == 0 && stat(path.c_str(), &named) == 0 &&
           output.st_dev == named.st_dev && output.st_ino == named.st_ino;
}

void SceneFile::FreeBlock::operator()(char* block) const
{
    std::free(block);
}

SceneFile::Block SceneFile::NewBlock()
{
    char* block = static_cast<char*>(std::aligned_alloc(kDirectAlignment, kBufferSize));
    if (block == nullptr)
        throw std::bad_alloc();
    return Block(block);
}

SceneFile::SceneFile() : buffer(NewBlock()), writerAfter(kWriterAfter)
{
}

SceneFile::~SceneFile()
{
    Discard();
}

void SceneFile::RunWriter()
{
    std::unique_lock<std::mutex> lock(writerMutex);
    for (;;)
    {
        writerWake.wait(lock, [this] { return !queuedBlocks.empty() || isWriterStopping; });
        if (queuedBlocks.empty())
            return;
        QueuedBlock queued = std::move(queuedBlocks.front());
        queuedBlocks.pop_front();
        isWriting = true;
        // After a failure the rest is not written: the file is given up.
        const bool isGivenUp = writerError != 0;
        lock.unlock();
        int result = 0;
        if (!isGivenUp)
        {
            if (mayWriteDirect)
                ChooseWayOfWriting();
            result = WriteChunk(queued.block.get(), queued.length) ? 0 : errno;
        }
        lock.lock();
        isWriting = false;
        if (result != 0 && writerError == 0)
            writerError = result;
        freeBlocks.push_back(std::move(queued.block));
        writerWake.notify_all();
    }
}

void SceneFile::WaitForWriter()
{
    if (!writer.joinable())
        return;
    std::unique_lock<std::mutex> lock(writerMutex);
    writerWake.wait(lock, [this] { return queuedBlocks.empty() && !isWriting; });
    if (writerError != 0)
        Fail(writerError);
}

void SceneFile::StopWriter()
{
    if (!writer.joinable())
        return;
    WaitForWriter();
    {
        const std::lock_guard<std::mutex> lock(writerMutex);
        isWriterStopping = true;
    }
    writerWake.notify_all();
    writer.join();
    isWriterStopping = false;
    writerError = 0;
}

void SceneFile::HandToWriter(std::size_t length, std::size_t tail)
{
    Block next;
    {
        std::unique_lock<std::mutex> lock(writerMutex);
        writerWake.wait(lock,
                        [this] { return !freeBlocks.empty() || blockCount < kQueuedBlocks + 1; });
        if (!freeBlocks.empty())
        {
            next = std::move(freeBlocks.back());
            freeBlocks.pop_back();
        }
    }
    if (next == nullptr)
    {
        next = NewBlock();
        ++blockCount;
    }
    if (tail > 0)
        std::memcpy(next.get(), buffer.get() + length, tail);
    {
        const std::lock_guard<std::mutex> lock(writerMutex);
        queuedBlocks.push_back(QueuedBlock{std::move(buffer), length});
        if (writerError != 0)
            Fail(writerError);
    }
    writerWake.notify_all();
    buffer = std::move(next);
    cursor = buffer.get() + tail;
    limit = buffer.get() + kBufferSize;
}

void SceneFile::GuardAgainstInterruption()
{
    if (guardOwner != nullptr)
        return;
    guardOwner = this;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kInterruptions)
        sigaddset(&action.sa_mask, signalNumber);
    for (int i = 0; i < kInterruptionCount; ++i)
    {
        // An interruption the caller chose to ignore (nohup) stays ignored.
        if (sigaction(kInterruptions[i], nullptr, &previousActions[i]) == 0 &&
            previousActions[i].sa_handler != SIG_IGN)
            sigaction(kInterruptions[i], &action, nullptr);
    }
}

void SceneFile::EndGuard()
{
    if (guardOwner != this)
        return;
    hasInterruptedName.store(false);
    for (int i = 0; i < kInterruptionCount; ++i)
        if (previousActions[i].sa_handler != SIG_IGN)
            sigaction(kInterruptions[i], &previousActions[i], nullptr);
    guardOwner = nullptr;
}

bool SceneFile::Open(const std::string& path)
{
    Discard();
    hasFailed = false;
    error = 0;
    cursor = buffer.get();
    limit = buffer.get() + kBufferSize;
    temporaryPath.clear();
    isUnnamed = false;
    ownsDescriptor = true;
    mayWriteDirect = isDirect = isDirectFixed = isHandedInBlocks = false;
    windowBytes = 0;
    writtenBytes = 0;
    windowNanoseconds = 0;
    rates[0] = rates[1] = 0.0;
    if (path.empty())
        return Fail(ENOENT);
    if (IsStandardOutput(path))
    {
        targetPath = path;
        descriptor = STDOUT_FILENO;
        ownsDescriptor = false;
        GuardAgainstInterruption();
        return true;
    }
    if (IsStreamPath(path))
    {
        targetPath = path;
        descriptor = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (descriptor < 0)
            return Fail(errno);
        GuardAgainstInterruption();
        return true;
    }
    if (!FollowLinks(path, targetPath))
        return Fail(errno);

    struct stat targetStatus;
    const bool exists = stat(targetPath.c_str(), &targetStatus) == 0;
    if (exists && S_ISDIR(targetStatus.st_mode))
        return Fail(EISDIR);
    if (exists && !S_ISREG(targetStatus.st_mode))
    {
        // A device or a pipe: nothing to keep, nothing to rename.
        descriptor = ::open(targetPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (descriptor < 0)
            return Fail(errno);
        GuardAgainstInterruption();
        return true;
    }
    // A file the user may not write is not replaced behind its back.
    if (exists && access(targetPath.c_str(), W_OK) != 0)
        return Fail(errno);

    GuardAgainstInterruption();
    descriptor = OpenUnnamed(FolderOf(targetPath));
    isUnnamed = descriptor >= 0;
    if (!isUnnamed)
    {
        const InterruptionBlock block;
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
            const int openError = errno;
            temporaryPath.clear();
            EndGuard();
            return Fail(openError);
        }
        if (guardOwner == this)
            SetInterruptedName(temporaryPath);
    }
    // PLINTHEX_DIRECT_WRITES=always writes directly from the start,
    // =never never; otherwise the measured rates decide.
    const char* direct = std::getenv("PLINTHEX_DIRECT_WRITES");
    const std::string directSetting = direct != nullptr ? direct : "";
    mayWriteDirect = directSetting != "never";
    isDirectFixed = directSetting == "always";
    if (isDirectFixed && !SetDirect(true))
        mayWriteDirect = false;
    isHandedInBlocks = mayWriteDirect;
    // The new file is private; give it the target's mode and owner, or
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

bool SceneFile::NameUnnamedFile()
{
    // A fresh name beside the target, then renamed over it like a named
    // temporary file: linkat never replaces a file.
    static unsigned attempt = 0;
    const std::string source = DescriptorPath(descriptor);
    std::string prefix = targetPath + ".tmp";
    for (int tries = 0; tries < 100; ++tries)
    {
        const InterruptionBlock block;
        const std::string name =
            prefix + std::to_string(getpid()) + "." + std::to_string(++attempt);
        if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        {
            temporaryPath = name;
            if (guardOwner == this)
                SetInterruptedName(temporaryPath);
            return true;
        }
        if (errno == ENAMETOOLONG && prefix != FolderOf(targetPath) + ".plinthex.tmp")
            prefix = FolderOf(targetPath) + ".plinthex.tmp";
        else if (errno != EEXIST)
            return Fail(errno);
    }
    return Fail(EEXIST);
}

bool SceneFile::WriteChunk(const char* data, std::size_t length)
{
    const auto start = std::chrono::steady_clock::now();
    windowBytes += length;
    bool written = true;
    while (length > 0)
    {
        const ssize_t count = ::write(descriptor, data, length);
        if (count >= 0)
        {
            data += count;
            length -= static_cast<std::size_t>(count);
        }
        else if (errno == EINVAL && isDirect)
        {
            // Direct writes refused after all (or a short one left the rest
            // out of line): the rest goes through the cache.
            mayWriteDirect = false;
            if (!SetDirect(false))
                written = false;
        }
        else if (errno != EINTR)
        {
            written = false;
        }
        if (!written)
            break;
    }
    const int failure = errno;
    windowNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    errno = failure;
    return written;
}

bool SceneFile::SetDirect(bool direct)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) < 0)
        return false;
    isDirect = direct;
    return true;
}

void SceneFile::ChooseWayOfWriting()
{
    if (windowBytes < kWindowBytes)
        return;
    const double rate = static_cast<double>(windowBytes) /
                        static_cast<double>(std::max<std::int64_t>(1, windowNanoseconds));
    windowBytes = 0;
    windowNanoseconds = 0;
    rates[isDirect] = rate;
    if (!mayWriteDirect || isDirectFixed)
        return;
    const double other = rates[!isDirect];
    const bool change = other == 0.0 ? !isDirect && rate < kFastCacheRate : other > rate;
    // A file that cannot leave direct writes stays in whole blocks.
    if (change && !SetDirect(!isDirect) && !isDirect)
        mayWriteDirect = false;
}

void SceneFile::Flush(bool isLast)
{
    std::size_t length = static_cast<std::size_t>(cursor - buffer.get());
    // While the thread writes, the file's way of writing is its own: the
    // rest waits for it only at the end.
    const bool isQueued = writer.joinable() && !isLast;
    if (!isQueued)
        WaitForWriter();
    if (hasFailed || descriptor < 0 || length == 0)
    {
        cursor = buffer.get();
        return;
    }
    if (mayWriteDirect && !isQueued)
        ChooseWayOfWriting();
    if (isLast)
    {
        // Whole blocks directly, the rest through the cache.
        cursor = buffer.get();
        const std::size_t whole = isDirect ? length - length % kDirectAlignment : 0;
        // The first step that fails ends it.
        if ((whole > 0 && !WriteChunk(buffer.get(), whole)) ||
            (whole < length && isDirect && !SetDirect(false)) ||
            (whole < length && !WriteChunk(buffer.get() + whole, length - whole)))
            Fail(errno);
        return;
    }
    // A file that may be written directly is handed over in whole blocks, the
    // rest staying buffered, so that every write starts on a block.
    const std::size_t tail = isHandedInBlocks ? length % kDirectAlignment : 0;
    length -= tail;
    if (length == 0)
        return;
    // Only a well-filled buffer of a large file written directly starts the
    // thread: the device then takes the bytes while this one makes more.
    // Through the cache the copy keeps a core busy either way, and long
    // texts go in from where they lie (WriteStraight). Once the thread runs,
    // everything goes through it, in order. Where no thread can be had, this
    // one writes.
    if (!isQueued && length >= kBufferSize / 2 && writtenBytes >= writerAfter &&
        Parallel::Jobs() > 1 && isDirect)
    {
        blockCount = 1 + freeBlocks.size();
        // The interruptions stay with the other threads: the handler must
        // not run while a blocked thread is changing the name it removes.
        const InterruptionBlock block;
        try
        {
            writer = std::thread(&SceneFile::RunWriter, this);
        }
        catch (const std::system_error&)
        {
        }
    }
    if (!writer.joinable())
    {
        writtenBytes += length;
        if (!WriteChunk(buffer.get(), length))
            Fail(errno);
        if (tail > 0)
            std::memmove(buffer.get(), buffer.get() + length, tail);
        cursor = buffer.get() + tail;
        return;
    }
    HandToWriter(length, tail);
}

bool SceneFile::WriteStraight(std::string_view text)
{
    if (descriptor < 0 || hasFailed || writer.joinable())
        return false;
    if (mayWriteDirect)
        ChooseWayOfWriting();
    if (isDirect)
        return false;
    // The buffered text made up to a whole block from the text (less than a
    // block, and the buffer is whole blocks long), so that the file's end
    // stays on a block should direct writes be taken up later.
    const std::size_t buffered = static_cast<std::size_t>(cursor - buffer.get());
    const std::size_t fill =
        isHandedInBlocks ? (kDirectAlignment - buffered % kDirectAlignment) % kDirectAlignment : 0;
    if (fill >= text.size())
        return false;
    std::memcpy(cursor, text.data(), fill);
    text.remove_prefix(fill);
    const std::size_t length = buffered + fill;
    cursor = buffer.get();
    writtenBytes += length;
    if (length > 0 && !WriteChunk(buffer.get(), length))
    {
        Fail(errno);
        return true;
    }
    const std::size_t whole =
        isHandedInBlocks ? text.size() - text.size() % kDirectAlignment : text.size();
    writtenBytes += whole;
    if (whole > 0 && !WriteChunk(text.data(), whole))
    {
        Fail(errno);
        return true;
    }
    text.remove_prefix(whole);
    if (!text.empty())
        std::memcpy(cursor, text.data(), text.size());
    cursor += text.size();
    return true;
}

void SceneFile::WriteLong(std::string_view text)
{
    if (text.size() >= kStraightText && WriteStraight(text))
        return;
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
    Flush(true);
    StopWriter();
    if (isUnnamed && !hasFailed)
        NameUnnamedFile();
    const int closed = ownsDescriptor ? ::close(descriptor) : 0;
    descriptor = -1;
    if (closed != 0)
        Fail(errno);
    if (!temporaryPath.empty())
    {
        const InterruptionBlock block;
        if (!hasFailed && !ReplaceWith(temporaryPath, targetPath))
            Fail(errno);
        if (hasFailed)
            (void)unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    EndGuard();
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
    StopWriter();
    if (descriptor >= 0)
    {
        if (ownsDescriptor)
            (void)::close(descriptor);
        descriptor = -1;
    }
    if (!temporaryPath.empty())
    {
        const InterruptionBlock block;
        (void)unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
    EndGuard();
    cursor = buffer.get();
}
