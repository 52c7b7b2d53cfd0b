#include "model/stagetimer.h"

#include <chrono>
#include <cstdio>
#include <iostream>

namespace
{

bool isEnabled = false;
std::chrono::steady_clock::time_point previousMark;

} // namespace

void StageTimer::Enable()
{
    isEnabled = true;
    previousMark = std::chrono::steady_clock::now();
}

bool StageTimer::IsEnabled()
{
    return isEnabled;
}

void StageTimer::Mark(const char* stage)
{
    if (!isEnabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double milliseconds =
        std::chrono::duration<double, std::milli>(now - previousMark).count();
    char line[160];
    std::snprintf(line, sizeof line, "time %s: %.3f ms\n", stage, milliseconds);
    std::cerr << line << std::flush;
    previousMark = std::chrono::steady_clock::now();
}

void StageTimer::NoteInput(const char* path)
{
    if (isEnabled)
        std::cerr << "input " << path << '\n';
}
