// Child processes whose standard error the parent reads through a pipe: the console program
// serves each port of a rack with a child of its own. Nothing here waits without a bound.
// Each handle is the caller's own; the seam keeps no state.
#ifndef KESTREL_PROCESS_H
#define KESTREL_PROCESS_H

#include <cstdint>

struct child_process {
    std::intptr_t id;   // the process (a pid, or a Windows process handle)
    std::intptr_t pipe; // the read end of the child's standard error; -1 once closed
    std::intptr_t pid;  // the process id, on Windows too
};

// Starts the program argv[0] with the arguments argv[1..] (argv ends with a null), with this
// process's standard input and output and its standard error into a pipe. 1 when it runs,
// 0 when it could not be started.
int child_start(child_process *child, const char *const *argv);
// Waits until some running child's pipe has bytes or has closed, or milliseconds have passed.
void child_wait_any(const child_process *children, int count, int milliseconds);
// What the child has written to its standard error, without waiting: the number of bytes
// read into buffer (at most size), 0 when none are waiting, -1 once the pipe has closed and
// everything was read (the pipe is then closed here too).
int child_read(child_process *child, char *buffer, int size);
// 1 with the exit status in *status when the child has ended (128 plus the signal's number
// for a POSIX child ended by a signal), 0 while it runs. Does not wait. Once it has said 1,
// the child is gone: nothing else may be asked about it.
int child_ended(child_process *child, int *status);
// Asks the child to stop as an interrupt would (SIGTERM, or Ctrl-Break on Windows).
void child_interrupt(child_process *child);
// Ends the child at once.
void child_kill(child_process *child);

#endif
