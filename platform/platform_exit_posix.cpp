// The platform's process exit for the native build, in a file of its own so that a test or a
// fuzz target can link its own in its place.
#include "platform.h"

#include <cstdio>
#include <cstdlib>

void platform_exit(int status)
{
    std::fflush(stdout);
    std::_Exit(status);
}
