// The platform's wait for the native build. It sits in a file of its own so that tests can
// link a recording wait in its place.
#include "platform.h"

#include <cerrno>
#include <ctime>

void platform_sleep_ms(unsigned milliseconds)
{
    timespec wait;
    wait.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    wait.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
