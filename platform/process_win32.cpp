// Child processes on Windows: CreateProcessA with the child's standard error on an anonymous
// pipe. Anonymous pipes cannot be waited on with the others, so they are looked at with
// PeekNamedPipe between short sleeps. Each child is a process group of its own, so that
// Ctrl-Break can be sent to it alone. No state.
#include "process.h"

#include <windows.h>

#include <cstring>

namespace {

enum { COMMAND_LINE_MAX = 32768, PEEK_EVERY_MS = 20 };

char command_line[COMMAND_LINE_MAX];

// Appends one argument quoted as the C runtime's parser reads it back: backslashes are
// doubled only before a quote, quotes are escaped. 0 when the line is full.
int append_argument(std::size_t *at, const char *arg)
{
    char *out = command_line;
    const std::size_t limit = sizeof command_line - 4;
    if (*at > 0)
        out[(*at)++] = ' ';
    out[(*at)++] = '"';
    for (const char *p = arg;; p++) {
        std::size_t slashes = 0;
        while (*p == '\\') {
            slashes++;
            p++;
        }
        const std::size_t copies = *p == '"' || *p == '\0' ? slashes * 2 : slashes;
        if (*at + copies + 2 >= limit)
            return 0;
        for (std::size_t i = 0; i < copies; i++)
            out[(*at)++] = '\\';
        if (*p == '\0')
            break;
        if (*p == '"')
            out[(*at)++] = '\\';
        out[(*at)++] = *p;
    }
    out[(*at)++] = '"';
    out[*at] = '\0';
    return 1;
}

HANDLE pipe_of(const child_process *child)
{
    return reinterpret_cast<HANDLE>(child->pipe);
}

// Bytes waiting in the child's pipe; -1 when the pipe has closed.
long waiting(const child_process *child)
{
    DWORD available = 0;
    if (!PeekNamedPipe(pipe_of(child), nullptr, 0, nullptr, &available, nullptr))
        return -1;
    return static_cast<long>(available);
}

} // namespace

int child_start(child_process *child, const char *const *argv)
{
    std::size_t at = 0;
    for (int i = 0; argv[i]; i++) {
        if (!append_argument(&at, argv[i]))
            return 0;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0))
        return 0;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start;
    std::memset(&start, 0, sizeof start);
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = write_end;
    PROCESS_INFORMATION made;
    const BOOL started = CreateProcessA(argv[0], command_line, nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &start, &made);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return 0;
    }
    CloseHandle(made.hThread);
    child->id = reinterpret_cast<std::intptr_t>(made.hProcess);
    child->pid = static_cast<std::intptr_t>(made.dwProcessId);
    child->pipe = reinterpret_cast<std::intptr_t>(read_end);
    return 1;
}

void child_wait_any(const child_process *children, int count, int milliseconds)
{
    for (int waited = 0;; waited += PEEK_EVERY_MS) {
        for (int i = 0; i < count; i++) {
            if (children[i].pipe != -1 && waiting(&children[i]) != 0)
                return;
        }
        if (waited >= milliseconds)
            return;
        Sleep(PEEK_EVERY_MS);
    }
}

int child_read(child_process *child, char *buffer, int size)
{
    if (child->pipe == -1)
        return -1;
    const long available = waiting(child);
    if (available == 0)
        return 0;
    DWORD got = 0;
    const DWORD want = available > size ? static_cast<DWORD>(size) : static_cast<DWORD>(available);
    if (available < 0 || !ReadFile(pipe_of(child), buffer, want, &got, nullptr) || got == 0) {
        CloseHandle(pipe_of(child));
        child->pipe = -1;
        return -1;
    }
    return static_cast<int>(got);
}

int child_ended(child_process *child, int *status)
{
    HANDLE process = reinterpret_cast<HANDLE>(child->id);
    if (!process || WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return 0;
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    *status = static_cast<int>(code);
    CloseHandle(process);
    child->id = 0;
    return 1;
}

void child_interrupt(child_process *child)
{
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(child->pid));
}

void child_kill(child_process *child)
{
    if (child->id)
        TerminateProcess(reinterpret_cast<HANDLE>(child->id), 1);
}
