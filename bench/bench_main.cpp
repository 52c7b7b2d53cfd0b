// Benchmarks run with the allocator settings of the program itself.

#include <benchmark/benchmark.h>
#include <malloc.h>

int main(int argc, char** argv)
{
    // Keep freed blocks for reuse instead of handing them back to the system
    // and faulting fresh pages in again (costly on virtual machines).
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    mallopt(M_TOP_PAD, 16 * 1024 * 1024);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
