// kestrel-cli's process exit, linked in place of the platform's (platform_exit_*.cpp): the
// sender ends the process through it after "Timeout error", the same for a terminal that fell
// silent and for a line that went away under the transfer. Here the two are told apart: after
// the box, the reason when the line has gone. And what the run would have removed had the send
// returned goes all the same. State: the files to remove then (exit_paths, exit_count).
#include "cli.h"
#include "convert_job.h"
#include "platform.h"
#include "serial_port.h"

#include <cstdio>
#include <cstdlib>

static const char *const *exit_paths;
static int exit_count;

void remove_at_timeout(const char *const *paths, int count)
{
    exit_paths = paths;
    exit_count = count;
}

void platform_exit(int status)
{
    const int error = line_gone_error();
    if (error != 0)
        complain("the line is gone (%s): the port's device went away during the transfer",
                 line_error_text(error));
    if (exit_paths && remove_set(exit_paths, exit_count) >= 0)
        complain_set_fault();
    release_folder();
    // As the platform's own: standard output flushed, then the end without handlers at exit
    // (std::_Exit is ExitProcess on Windows, _exit on POSIX).
    std::fflush(stdout);
    std::_Exit(status);
}
