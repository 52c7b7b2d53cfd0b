#pragma once

// Wall-clock time of each stage of a conversion, for profiling. Off unless
// the driver enables it (environment variable PLINTHEX_TIMINGS); when on,
// every Mark writes one line "time <stage>: <milliseconds> ms (cpu
// <milliseconds> ms, resident <megabytes> MB, peak <megabytes> MB)" to
// standard error, measured from the previous mark (cpu: user plus system
// time of all threads), and every input file read is listed.
class StageTimer
{
public:
    static void Enable();
    static void Mark(const char* stage);
    // Notes an input file that was read, as a line "input <path>".
    static void NoteInput(const char* path);
};
