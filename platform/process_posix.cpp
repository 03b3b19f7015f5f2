// Child processes on Linux: posix_spawn with the child's standard error on a pipe, poll for
// the pipes, waitpid without waiting for the end. No state.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int child_start(child_process *child, const char *const *argv)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    pid_t pid = 0;
    // posix_spawn's argv is not const for historical reasons; it does not change the strings.
    int failed = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char *const *>(argv),
                             environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        return 0;
    }
    // Reads of the pipe never wait: a read finds what has arrived, or nothing.
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    child->id = pid;
    child->pid = pid;
    child->pipe = ends[0];
    return 1;
}

void child_wait_any(const child_process *children, int count, int milliseconds)
{
    enum { POLL_MAX = 64 };
    pollfd fds[POLL_MAX];
    int used = 0;
    for (int i = 0; i < count && used < POLL_MAX; i++) {
        if (children[i].pipe >= 0)
            fds[used++] = pollfd{static_cast<int>(children[i].pipe), POLLIN, 0};
    }
    if (used == 0) {
        poll(nullptr, 0, milliseconds);
        return;
    }
    poll(fds, static_cast<nfds_t>(used), milliseconds);
}

int child_read(child_process *child, char *buffer, int size)
{
    if (child->pipe < 0)
        return -1;
    ssize_t got = read(static_cast<int>(child->pipe), buffer, static_cast<std::size_t>(size));
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (got <= 0) {
        close(static_cast<int>(child->pipe));
        child->pipe = -1;
        return -1;
    }
    return static_cast<int>(got);
}

int child_ended(child_process *child, int *status)
{
    int raw = 0;
    pid_t got = waitpid(static_cast<pid_t>(child->id), &raw, WNOHANG);
    if (got != static_cast<pid_t>(child->id))
        return 0;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 1;
    return 1;
}

void child_interrupt(child_process *child)
{
    kill(static_cast<pid_t>(child->id), SIGTERM);
}

void child_kill(child_process *child)
{
    kill(static_cast<pid_t>(child->id), SIGKILL);
}
