#include "service/commands.h"

#include <cstdio>

int import_command(int, char**)
{
    std::fputs("brantwicker-service import: not built yet\n", stderr);
    return 2;
}
