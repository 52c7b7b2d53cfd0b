#include "app/driver.h"
#include "app/heap.h"

int main(int argc, char** argv)
{
    ConfigureHeap();
    return RunPlinthex(argc, argv);
}
