#include "app/heap.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/limits.h"
#include "model/parallel.h"

namespace
{

constexpr std::size_t kTopPad = std::size_t(32) << 20;
constexpr std::uint64_t kMostRoom = std::uint64_t(64) << 30;
constexpr std::size_t kLeastRoom = std::size_t(64) << 20;

// The room made ahead, once made.
std::uintptr_t roomBegin = 0;
std::uintptr_t roomEnd = 0;
// The block kept below the room's first huge page.
void* roomHead = nullptr;

// Asks for [begin, end) in huge pages, rounded inwards to whole pages.
void AdviseHugePages(std::uintptr_t begin, std::uintptr_t end)
{
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(pageSize);
    begin = (begin + page - 1) & ~(page - 1);
    end &= ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// The room's start rarely falls on a huge page: the memory below the first
// huge page boundary is faulted in page by page, up to 511 small faults of
// about 10 µs each where faults go through a hypervisor (a huge page's
// costs about 14 times as much, for 512 times the memory).
// A block that fills the room up to that boundary is cut first and kept,
// never touched, so that the conversion's blocks start at the boundary.
// `begin` is where the freed block of the room started; the heap cuts the
// next block there unless memory freed before can hold it, and that block
// is then handed back unchanged.
void StartAtHugePage(std::uintptr_t begin, std::uintptr_t end)
{
    constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;
    // A block's header lies in the 16 bytes before it, its length in the 8
    // bytes before that; blocks are whole multiples of 16 bytes long, with
    // at least 32 bytes.
    constexpr std::uintptr_t kHeader = 16;
    constexpr std::uintptr_t kLeastBlock = 32;
    std::uintptr_t head = ((begin + kHugePage - 1) & ~(kHugePage - 1)) - begin;
    if (head != 0 && head < kLeastBlock)
        head += kHugePage;
    if (head == 0 || begin + head >= end)
        return;
    void* filler = std::malloc(head - kHeader / 2);
    if (filler != nullptr && reinterpret_cast<std::uintptr_t>(filler) != begin)
        std::free(filler);
    else
        roomHead = filler;
}

}  // namespace

bool IsSanitized()
{
#ifdef PLINTHEX_SANITIZED
    return true;
#else
    return false;
#endif
}

std::size_t ConfigureHeap()
{
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    // Never handed back: the room made below stays the heap's.
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_TOP_PAD, static_cast<int>(kTopPad));
    // Sanitizers bring heaps of their own, which check every byte.
    if (IsSanitized())
        return 0;
    std::size_t room =
        static_cast<std::size_t>(std::min<std::uint64_t>(kMostRoom, PhysicalMemory() / 2));
    for (; room >= kLeastRoom; room /= 2)
    {
        // One block as large as the room, freed at once: the heap keeps it as
        // its free top, and later blocks are cut from it.
        void* block = std::malloc(room);
        if (block == nullptr)
            continue;
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(block);
        std::uintptr_t end = begin + room;
        // The heap grew by the block and its padding, right at the break;
        // a block the library had to map elsewhere is advised alone.
        const std::uintptr_t brk = reinterpret_cast<std::uintptr_t>(sbrk(0));
        if (brk >= end && brk - end <= 2 * kTopPad)
            end = brk;
        AdviseHugePages(begin, end);
        std::free(block);
        StartAtHugePage(begin, end);
        roomBegin = begin;
        roomEnd = end;
        return room;
    }
    return 0;
}

#ifdef MADV_POPULATE_WRITE
namespace
{

constexpr std::uintptr_t kStep = std::uintptr_t(2) << 20;  // a huge page
constexpr std::uintptr_t kLeastAhead = std::uintptr_t(2) << 20;
constexpr std::uintptr_t kMostAhead = std::uintptr_t(16) << 20;
constexpr std::uintptr_t kLookFar = std::uintptr_t(1) << 30;
constexpr std::uint64_t kLeastSpare = std::uint64_t(1) << 30;
constexpr unsigned kStepsBetweenAsking = 16;

// Page faults taken by every thread but the calling one.
long OthersFaults()
{
    rusage all{};
    rusage own{};
    getrusage(RUSAGE_SELF, &all);
    getrusage(RUSAGE_THREAD, &own);
    return all.ru_minflt - own.ru_minflt;
}

// The end of the highest step in [from, from + kLookFar) that holds a page
// in memory, or `from` when none does.
std::uintptr_t HighestTouched(std::uintptr_t from, std::vector<unsigned char>& resident,
                              std::uintptr_t pageSize)
{
    const std::uintptr_t length = std::min(roomEnd - from, kLookFar) & ~(kStep - 1);
    resident.resize(length / pageSize);
    if (length == 0 || mincore(reinterpret_cast<void*>(from), length, resident.data()) != 0)
        return from;
    for (std::uintptr_t step = length / kStep; step-- > 0;)
    {
        const auto first = resident.begin() + static_cast<std::ptrdiff_t>(step * kStep / pageSize);
        if (std::any_of(first, first + static_cast<std::ptrdiff_t>(kStep / pageSize),
                        [](unsigned char page) { return (page & 1) != 0; }))
            return from + (step + 1) * kStep;
    }
    return from;
}

// Whether a control group holds the process to less memory than the
// machine has (memory.max, or memory.limit_in_bytes in the older layout).
bool IsMemoryLimited()
{
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line))
    {
        // "id:controllers:path"
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        std::string file;
        if (controllers.empty())
            file = "/sys/fs/cgroup" + path + "/memory.max";
        else if (("," + controllers + ",").find(",memory,") != std::string::npos)
            file = "/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes";
        else
            continue;
        std::ifstream setting(file);
        std::uint64_t limit = 0;
        if (setting >> limit && limit < PhysicalMemory())
            return true;
    }
    return false;
}

// The memory the system could still give, as it estimates it; 0 when it
// does not say.
std::uint64_t AvailableMemory()
{
    std::ifstream info("/proc/meminfo");
    std::string name;
    std::uint64_t kilobytes = 0;
    while (info >> name >> kilobytes)
    {
        if (name == "MemAvailable:")
            return kilobytes * 1024;
        info.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

bool Populate(std::uintptr_t step)
{
    return madvise(reinterpret_cast<void*>(step), kStep, MADV_POPULATE_WRITE) == 0;
}

std::int64_t ThreadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Which kind of page the room past the warm steps is faulted in with. The
// system's free memory decides which kind is cheap: a huge page comes from
// a free block of 2 MiB, which the host of a virtual machine takes back
// once it has been free for a couple of seconds, so that touching it again
// costs 4 to 6 ms; memory freed just before costs 0.3 ms. Small pages come
// from smaller free blocks, which the host keeps (0.5 to 0.7 ms for 2 MiB
// of them), until those run short. Each step is timed in the warming
// thread's own CPU time, which a busier thread taking the core does not
// add to: one dear huge page turns the rest of the room to small pages,
// and two dear steps of small pages in a row turn it back.
class PageKind
{
public:
    // Called with what faulting in a step cost; `rest` is where the room
    // not faulted in yet begins, at a step's start.
    void Learn(std::int64_t cost, std::uintptr_t rest)
    {
        if (switches == kMostSwitches || rest >= RoomEnd())
            return;
        if (isHuge)
        {
            if (cost > kDearHugeStep)
                Turn(rest, false);
            return;
        }
        dearSmallSteps = cost > kDearSmallStep ? dearSmallSteps + 1 : 0;
        if (dearSmallSteps == 2)
            Turn(rest, true);
    }

private:
    static constexpr std::int64_t kDearHugeStep = 1500000;
    static constexpr std::int64_t kDearSmallStep = 3000000;
    static constexpr unsigned kMostSwitches = 4;

    // The room's end at a step's end.
    static std::uintptr_t RoomEnd() { return roomEnd & ~(kStep - 1); }

    void Turn(std::uintptr_t rest, bool huge)
    {
        ++switches;
        dearSmallSteps = 0;
        if (madvise(reinterpret_cast<void*>(rest), RoomEnd() - rest,
                    huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE) == 0)
            isHuge = huge;
    }

    bool isHuge = true;
    unsigned dearSmallSteps = 0;
    unsigned switches = 0;
};

// The heap's room is used from its start upwards. Below `warm` every step
// is in memory or about to be; steps the conversion touched past it (a
// large block just cut, being filled from its start) are faulted in from
// their far end down, to meet the filling thread halfway, and then the
// room up to an eighth of what is in use past them (at least 2, at most
// 16 MiB). Memory is only taken ahead of need while the system has plenty
// to spare: not under a control group's limit, and not once it has less
// than 1 GiB available.
void WarmAhead(long pageSize)
{
    sched_param lowest{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
    if (IsMemoryLimited())
        return;
    const auto page = static_cast<std::uintptr_t>(pageSize);
    std::vector<unsigned char> resident;
    std::uintptr_t warm = (roomBegin + kStep - 1) & ~(kStep - 1);
    std::uintptr_t used = warm;  // the end of the highest step touched
    std::uintptr_t gapBegin = warm;
    std::uintptr_t gapEnd = warm;  // steps still to fault in, from the top
    long faults = -1;
    PageKind pageKind;
    unsigned stepsSinceAsked = kStepsBetweenAsking - 1;
    for (;;)
    {
        // Faults elsewhere (or below `warm`) say when to look.
        const long now = OthersFaults();
        if (now != faults)
        {
            faults = now;
            const std::uintptr_t touched = HighestTouched(warm, resident, page);
            if (touched > warm)
            {
                gapBegin = gapEnd > gapBegin ? gapBegin : warm;
                gapEnd = touched - kStep;
                warm = used = touched;
            }
        }
        std::uintptr_t step = 0;
        if (gapEnd > gapBegin)
            step = gapEnd -= kStep;
        else if (warm + kStep <= roomEnd &&
                 warm < used + std::clamp((used - roomBegin) / 8, kLeastAhead, kMostAhead))
        {
            step = warm;
            warm += kStep;
        }
        if (step != 0)
        {
            if (++stepsSinceAsked == kStepsBetweenAsking)
            {
                stepsSinceAsked = 0;
                if (AvailableMemory() < kLeastSpare)
                    return;
            }
            const std::int64_t before = ThreadCpuNanoseconds();
            if (!Populate(step))
                return;
            pageKind.Learn(ThreadCpuNanoseconds() - before, gapEnd > gapBegin ? gapBegin : warm);
            continue;
        }
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace
#endif

void WarmHeapAhead()
{
#ifdef MADV_POPULATE_WRITE
    static std::atomic<bool> isStarted{false};
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (roomEnd == 0 || pageSize <= 0 || kStep % static_cast<std::uintptr_t>(pageSize) != 0 ||
        Parallel::Jobs() < 2 || Parallel::Cores() < 2 || isStarted.exchange(true))
        return;
    Parallel::StartWithoutInterruptions(
        [pageSize]
        {
            try
            {
                std::thread(WarmAhead, pageSize).detach();
            }
            catch (const std::system_error&)
            {
                // No thread to be had: the conversion faults its pages in
                // itself.
            }
        });
#endif
}
