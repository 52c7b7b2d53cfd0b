#pragma once

// Restarts the program, once, with the C library's heap backed by transparent
// huge pages (the GLIBC_TUNABLES setting glibc.malloc.hugetlb=1), unless the
// environment already says how the heap should be set up. A conversion
// touches hundreds of megabytes once; faulting them in 4 KiB pages cost as
// much time as the conversion itself on virtual machines. Returns only when
// no restart happened; the program then runs as it is.
void RestartWithHugePages(char** argv);
