#include "app/driver.h"

int main(int argc, char** argv)
{
    return RunPlinthex(argc, argv);
}
