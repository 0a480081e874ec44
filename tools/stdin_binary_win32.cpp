#include "tools/stdin_binary.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

bool set_stdin_binary()
{
    return _setmode(_fileno(stdin), _O_BINARY) != -1;
}
