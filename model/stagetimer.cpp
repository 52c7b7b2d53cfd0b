#include "model/stagetimer.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <sys/resource.h>

namespace
{

bool isEnabled = false;
std::chrono::steady_clock::time_point previousMark;
double previousCpu = 0.0;

// User plus system time of the whole process so far, in milliseconds.
double ProcessCpuMilliseconds()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    const auto ms = [](const timeval& t)
    { return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace

void StageTimer::Enable()
{
    isEnabled = true;
    previousMark = std::chrono::steady_clock::now();
    previousCpu = ProcessCpuMilliseconds();
}

// Resident memory now and at its peak so far, in megabytes (Linux); 0 when
// it cannot be read.
static void ReadResidentMemory(double& current, double& peak)
{
    current = peak = 0.0;
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr)
    {
        long kilobytes = 0;
        if (std::sscanf(line, "VmRSS: %ld", &kilobytes) == 1)
            current = static_cast<double>(kilobytes) / 1024.0;
        else if (std::sscanf(line, "VmHWM: %ld", &kilobytes) == 1)
            peak = static_cast<double>(kilobytes) / 1024.0;
    }
    std::fclose(status);
}

void StageTimer::Mark(const char* stage)
{
    if (!isEnabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double milliseconds =
        std::chrono::duration<double, std::milli>(now - previousMark).count();
    double residentMegabytes = 0.0;
    double peakMegabytes = 0.0;
    ReadResidentMemory(residentMegabytes, peakMegabytes);
    const double cpu = ProcessCpuMilliseconds();
    char line[240];
    std::snprintf(line, sizeof line,
                  "time %s: %.3f ms (cpu %.1f ms, resident %.1f MB, peak %.1f MB)\n", stage,
                  milliseconds, cpu - previousCpu, residentMegabytes, peakMegabytes);
    previousCpu = cpu;
    std::cerr << line << std::flush;
    previousMark = std::chrono::steady_clock::now();
}

void StageTimer::NoteInput(const char* path)
{
    // One write for the line: the error stream is unbuffered, and a program
    // that reads hundreds of files would otherwise make three system calls
    // a file.
    if (isEnabled)
        std::cerr << (std::string("input ") + path + '\n');
}
