#include "app/driver.h"
#include "app/hugepages.h"

int main(int argc, char** argv)
{
    RestartWithHugePages(argv);
    return RunPlinthex(argc, argv);
}
