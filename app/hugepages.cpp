#include "app/hugepages.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

void RestartWithHugePages(char** argv)
{
    const char* found = std::getenv("GLIBC_TUNABLES");
    // Already restarted, or set by the user: leave it as it is.
    if (found != nullptr && std::strstr(found, "glibc.malloc.hugetlb") != nullptr)
        return;
    const bool wasSet = found != nullptr;
    const std::string tunables = wasSet ? found : "";
    const std::string value =
        tunables.empty() ? "glibc.malloc.hugetlb=1" : tunables + ":glibc.malloc.hugetlb=1";
    if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    // No /proc, or the exec failed: go on with the heap as it is.
    if (wasSet)
        setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
    else
        unsetenv("GLIBC_TUNABLES");
}
