#pragma once

// Wall-clock time of each stage of a conversion, for profiling. Off unless
// the driver enables it (environment variable PLINTHEX_TIMINGS); when on,
// every Mark writes one line "time <stage>: <milliseconds> ms" to standard
// error, measured from the previous mark.
class StageTimer
{
public:
    static void Enable();
    static bool IsEnabled();
    static void Mark(const char* stage);
};
