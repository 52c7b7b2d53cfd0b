#include "reader/folderlisting.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "reader/wholefile.h"

namespace
{

// Fewer entries list faster than a kept list is read back.
constexpr std::size_t kLeastKeptEntries = 512;
// Far more than the records of any real folder: a larger file is not read.
constexpr off_t kMostKeptBytes = off_t(64) << 20;
// A kept listing's modification time tells when it was last read back, to
// the day; one not read back for this long goes when another is kept, and so
// does the temporary file of a run stopped while keeping one, after a day.
constexpr std::time_t kDay = 24 * 60 * 60;
constexpr std::time_t kUnusedKeptSeconds = 30 * kDay;
constexpr char kKeptPrefix[] = "listing-";
constexpr char kTemporaryMark[] = ".new-";

// What a kept listing starts with: the folder's identity and time stamps as
// they were before it was listed, then the size and a checksum of the records.
struct KeptHeader
{
    char magic[8];
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t size;
    std::uint64_t changedSeconds;
    std::uint64_t changedNanoseconds;
    std::uint64_t modifiedSeconds;
    std::uint64_t modifiedNanoseconds;
    std::uint64_t entries;
    std::uint64_t recordBytes;
    std::uint64_t checksum;
};
constexpr char kMagic[8] = {'P', 'L', 'X', 'L', 'I', 'S', 'T', '1'};

struct Listing
{
    std::string records;
    std::size_t entries = 0;
    bool isPlain = true;  // no entry was a symbolic link or of a kind not told
};

Listing List(const std::string& folderPath)
{
    Listing listing;
    DIR* folder = opendir(folderPath.empty() ? "." : folderPath.c_str());
    if (folder == nullptr)
        return listing;
    const int descriptor = dirfd(folder);
    while (const dirent* entry = readdir(folder))
    {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        char kind = entry->d_type == DT_DIR   ? kFolderEntry
                    : entry->d_type == DT_REG ? kFileEntry
                                              : kOtherEntry;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
        {
            // What a link leads to may change while the folder does not.
            listing.isPlain = false;
            struct stat status;
            if (fstatat(descriptor, name, &status, 0) == 0)
                kind = S_ISDIR(status.st_mode)   ? kFolderEntry
                       : S_ISREG(status.st_mode) ? kFileEntry
                                                 : kOtherEntry;
        }
        listing.records += kind;
        listing.records.append(name);
        listing.records += '\0';
        ++listing.entries;
    }
    closedir(folder);
    return listing;
}

std::uint64_t Checksum(std::string_view bytes)
{
    return HashWords(bytes, [](std::uint64_t word) { return word; });
}

KeptHeader HeaderOf(const struct stat& folder)
{
    KeptHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.device = folder.st_dev;
    header.inode = folder.st_ino;
    header.size = static_cast<std::uint64_t>(folder.st_size);
    header.changedSeconds = static_cast<std::uint64_t>(folder.st_ctim.tv_sec);
    header.changedNanoseconds = static_cast<std::uint64_t>(folder.st_ctim.tv_nsec);
    header.modifiedSeconds = static_cast<std::uint64_t>(folder.st_mtim.tv_sec);
    header.modifiedNanoseconds = static_cast<std::uint64_t>(folder.st_mtim.tv_nsec);
    return header;
}

bool IsSameFolderState(const KeptHeader& a, const KeptHeader& b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.changedSeconds == b.changedSeconds && a.changedNanoseconds == b.changedNanoseconds &&
           a.modifiedSeconds == b.modifiedSeconds && a.modifiedNanoseconds == b.modifiedNanoseconds;
}

// Whether `records` are well formed: `entries` of them, each of a known kind
// and named by something that stays inside the folder.
bool AreWellFormed(std::string_view records, std::uint64_t entries)
{
    if (!records.empty() && records.back() != '\0')
        return false;
    std::uint64_t count = 0;
    bool isWellFormed = true;
    ForEachEntry(records,
                 [&](std::string_view name, bool, bool)
                 {
                     const char kind = name.data()[-1];
                     isWellFormed =
                         isWellFormed &&
                         (kind == kOtherEntry || kind == kFolderEntry || kind == kFileEntry) &&
                         !name.empty() && name != "." && name != ".." &&
                         name.find('/') == std::string_view::npos;
                     ++count;
                 });
    return isWellFormed && count == entries;
}

// The records kept in `kept` (a whole kept file, made the records in place)
// when they describe the folder in the state `now`.
bool TakeKeptRecords(std::string& kept, const KeptHeader& now)
{
    KeptHeader header;
    if (kept.size() < sizeof header)
        return false;
    std::memcpy(&header, kept.data(), sizeof header);
    const std::string_view records(kept.data() + sizeof header, kept.size() - sizeof header);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || !IsSameFolderState(header, now) ||
        header.recordBytes != records.size() || header.checksum != Checksum(records) ||
        !AreWellFormed(records, header.entries))
        return false;
    kept.erase(0, sizeof header);
    return true;
}

bool WriteAll(int descriptor, const char* bytes, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t count = ::write(descriptor, bytes, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

// Writes the kept file beside its place and renames it there, so that a
// reader sees the old one or the new one whole.
void Keep(const std::string& cacheFolder, const std::string& keptPath, KeptHeader header,
          const Listing& listing)
{
    if (mkdir(cacheFolder.c_str(), 0700) != 0 && errno == ENOENT)
    {
        // $HOME/.cache may not be there yet.
        const std::size_t slash = cacheFolder.find_last_of('/');
        if (slash == std::string::npos || slash == 0 ||
            (mkdir(cacheFolder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) ||
            (mkdir(cacheFolder.c_str(), 0700) != 0 && errno != EEXIST))
            return;
    }
    header.entries = listing.entries;
    header.recordBytes = listing.records.size();
    header.checksum = Checksum(listing.records);
    const std::string temporary = keptPath + ".new-" + std::to_string(getpid()) + "-" +
                                  std::to_string(static_cast<long>(syscall(SYS_gettid)));
    // Where it can, the file has no name until it is whole: an interrupted
    // run leaves nothing behind.
    int descriptor = -1;
#ifdef O_TMPFILE
    descriptor = open(cacheFolder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
    const bool isUnnamed = descriptor >= 0;
    if (!isUnnamed)
        descriptor =
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0)
        return;
    bool isWritten = WriteAll(descriptor, reinterpret_cast<const char*>(&header), sizeof header) &&
                     WriteAll(descriptor, listing.records.data(), listing.records.size());
    if (isWritten && isUnnamed)
        isWritten = linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(descriptor)).c_str(),
                           AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
    if (close(descriptor) != 0 || !isWritten || rename(temporary.c_str(), keptPath.c_str()) != 0)
        unlink(temporary.c_str());
}

// Removes the kept listings of `cacheFolder` not read back for a while,
// which are most often those of folders that are gone, and temporary files
// left behind.
void RemoveUnused(const std::string& cacheFolder, std::time_t now)
{
    DIR* folder = opendir(cacheFolder.c_str());
    if (folder == nullptr)
        return;
    const int descriptor = dirfd(folder);
    while (const dirent* entry = readdir(folder))
    {
        const std::string_view name = entry->d_name;
        if (name.compare(0, sizeof kKeptPrefix - 1, kKeptPrefix) != 0)
            continue;
        const std::time_t unused =
            name.find(kTemporaryMark) != std::string_view::npos ? kDay : kUnusedKeptSeconds;
        struct stat status;
        if (fstatat(descriptor, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_mtim.tv_sec + unused < now)
            unlinkat(descriptor, entry->d_name, 0);
    }
    closedir(folder);
}

std::string Hexadecimal(std::uint64_t value)
{
    char text[16];
    return std::string(text, std::to_chars(text, text + sizeof text, value, 16).ptr);
}

}  // namespace

std::string ListFolder(const std::string& folderPath)
{
    return List(folderPath).records;
}

std::string ListFolderKept(const std::string& folderPath, const std::string& cacheFolder,
                           long settledSeconds)
{
    struct stat before;
    if (cacheFolder.empty() || stat(folderPath.empty() ? "." : folderPath.c_str(), &before) != 0 ||
        !S_ISDIR(before.st_mode))
        return ListFolder(folderPath);
    const KeptHeader state = HeaderOf(before);
    const std::string keptPath =
        cacheFolder + "/listing-" + Hexadecimal(state.device) + "-" + Hexadecimal(state.inode);
    std::string kept;
    struct stat keptStatus;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (stat(keptPath.c_str(), &keptStatus) == 0 && keptStatus.st_size <= kMostKeptBytes &&
        ReadWholeFile(keptPath, false, kept).IsRead() && TakeKeptRecords(kept, state))
    {
        // Read back today: noted once a day, as its modification time.
        if (keptStatus.st_mtim.tv_sec + kDay < now.tv_sec)
            utimensat(AT_FDCWD, keptPath.c_str(), nullptr, 0);
        return kept;
    }

    Listing listing = List(folderPath);
    struct stat after;
    if (listing.isPlain && listing.entries >= kLeastKeptEntries &&
        before.st_ctim.tv_sec + settledSeconds <= now.tv_sec &&
        stat(folderPath.empty() ? "." : folderPath.c_str(), &after) == 0 &&
        IsSameFolderState(state, HeaderOf(after)))
    {
        Keep(cacheFolder, keptPath, state, listing);
        RemoveUnused(cacheFolder, now.tv_sec);
    }
    return std::move(listing.records);
}

std::string DefaultListingCacheFolder()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/')
        return std::string(cache) + "/plinthex";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + (home[1] == '\0' ? "" : "/") + ".cache/plinthex";
    return std::string();
}
