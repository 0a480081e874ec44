#include "tools/stdin_binary.h"

bool set_stdin_binary()
{
    return true;  // POSIX streams are always binary
}
