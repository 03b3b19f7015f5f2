// The platform's wait for Windows. It sits in a file of its own so that tests can link a
// recording wait in its place.
#include "platform.h"

#include <windows.h>

void platform_sleep_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}
