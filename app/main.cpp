#include <malloc.h>

#include "app/driver.h"

int main(int argc, char** argv)
{
    // Blocks of 4 MiB and more (the arrays of large meshes) are mapped on
    // their own and given back when freed, so that the memory of a merged or
    // split mesh is gone at once rather than held as free heap; smaller ones
    // are kept for reuse rather than handed back and faulted (and cleared)
    // in again, since meshes grow and are emptied many times in one run.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    mallopt(M_TOP_PAD, 32 * 1024 * 1024);
    return RunPlinthex(argc, argv);
}
