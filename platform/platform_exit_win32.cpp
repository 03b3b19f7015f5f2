// The platform's process exit for Windows, in a file of its own so that a test can link its
// own in its place.
#include "platform.h"

#include <windows.h>

#include <cstdio>

void platform_exit(int status)
{
    std::fflush(stdout);
    ExitProcess(static_cast<UINT>(status));
}
