// kestrel-cli's process exit, linked in place of the platform's (platform_exit_*.cpp): the
// sender ends the process through it after "Timeout error", the same for a terminal that fell
// silent and for a line that went away under the transfer. Here the two are told apart: after
// the box, the reason when the line has gone. No state.
#include "cli.h"
#include "platform.h"
#include "serial_port.h"

#include <cstdio>
#include <cstdlib>

void platform_exit(int status)
{
    const int error = line_gone_error();
    if (error != 0)
        complain("the line is gone (%s): the port's device went away during the transfer",
                 line_error_text(error));
    // As the platform's own: standard output flushed, then the end without handlers at exit
    // (std::_Exit is ExitProcess on Windows, _exit on POSIX).
    std::fflush(stdout);
    std::_Exit(status);
}
