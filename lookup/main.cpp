#include "lookup/driver.h"

int main(int argc, char** argv)
{
    return lookup_main(argc, argv);
}
