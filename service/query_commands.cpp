#include "service/commands.h"

#include <cstdio>

int lookup_command(int, char**)
{
    std::fputs("brantwicker-service lookup: not built yet\n", stderr);
    return 2;
}

int stats_command(int, char**)
{
    std::fputs("brantwicker-service stats: not built yet\n", stderr);
    return 2;
}
