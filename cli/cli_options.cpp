// The console program's argument helpers: options, numbers, rates, port names, and the
// status of a send's outcome. Arguments are read in place; only port lists are copied, into
// their own fixed buffers.
#include "cli.h"
#include "console.h"
#include "convert_job.h"
#include "interrupt.h"
#include "line_table.h"
#include "platform.h"
#include "settings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

char lock_path[PATH_BUFFER_SIZE + 8];
platform_file folder_lock = PLATFORM_FILE_INVALID;

} // namespace

int hold_folder()
{
    std::snprintf(lock_path, sizeof lock_path, "%s.lck", temp_base);
    int busy = 0;
    folder_lock = platform_lock(lock_path, &busy);
    if (folder_lock != PLATFORM_FILE_INVALID)
        return CLI_OK;
    if (busy) {
        complain("another run is using the working files of this folder (%s is locked); "
                 "nothing was done",
                 lock_path);
        return CLI_BUSY;
    }
    complain("cannot make the lock file %s", lock_path);
    return CLI_CONVERSION;
}

void release_folder()
{
    if (folder_lock != PLATFORM_FILE_INVALID)
        platform_unlock(folder_lock, lock_path);
    folder_lock = PLATFORM_FILE_INVALID;
}

void complain_set_fault()
{
    const set_fault &fault = last_set_fault;
    if (!fault.action)
        return;
    if (fault.target)
        complain("cannot %s %s to %s: %s", fault.action, fault.path, fault.target,
                 std::strerror(fault.error));
    else
        complain("cannot %s %s: %s", fault.action, fault.path, std::strerror(fault.error));
}

void complain(const char *format, ...)
{
    char text[1024];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    progress_end_line();
    console_print("kestrel-cli: %s\n", text);
}

int take_option(int count, char **args, int *at, const char *name, const char **value)
{
    const char *arg = args[*at];
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0)
        return 0;
    if (arg[length] == '=') {
        *value = arg + length + 1;
        *at += 1;
        return 1;
    }
    if (arg[length] != '\0')
        return 0;
    if (*at + 1 >= count) {
        complain("%s needs a value", name);
        return -1;
    }
    *value = args[*at + 1];
    *at += 2;
    return 1;
}

int is_help(const char *text)
{
    return std::strcmp(text, "--help") == 0 || std::strcmp(text, "-h") == 0;
}

int parse_number(const char *text, int min, int max, int *value)
{
    if (*text == '\0')
        return 0;
    long number = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        number = number * 10 + (*p - '0');
        if (number > max)
            return 0;
    }
    if (number < min)
        return 0;
    *value = static_cast<int>(number);
    return 1;
}

int parse_rate(const char *text)
{
    for (int i = 0; i < LINE_RATE_COUNT; i++) {
        if (std::strcmp(text, LINE_RATE_NAMES[i]) == 0)
            return i;
    }
    complain("no such rate: %s (115200, 57600, 38400, 19200 or 9600)", text);
    return -1;
}

int parse_com_name(const char *text)
{
    const bool com = (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
                     (text[2] == 'M' || text[2] == 'm');
    int number = 0;
    if (!com || text[3] == '0' || !parse_number(text + 3, 1, 256, &number))
        return -1;
    return number - 1;
}

int add_ports(port_list *list, const char *value)
{
    for (const char *at = value;;) {
        const char *comma = std::strchr(at, ',');
        const std::size_t length = comma ? static_cast<std::size_t>(comma - at) : std::strlen(at);
        if (length == 0) {
            complain("--port %s: an empty port name", value);
            return 0;
        }
        if (list->count == PORTS_MAX ||
            list->used + length + 1 > sizeof list->text) {
            complain("at most %d ports at once", PORTS_MAX);
            return 0;
        }
        char *name = list->text + list->used;
        std::memcpy(name, at, length);
        name[length] = '\0';
        list->used += static_cast<int>(length) + 1;
        list->names[list->count++] = name;
        if (!comma)
            return 1;
        at = comma + 1;
    }
}

int send_status(const send_outcome *outcome)
{
    switch (outcome->kind) {
    case SEND_DONE: return CLI_OK;
    case SEND_NO_PORT: return CLI_PORT;
    case SEND_CANCELLED: return interrupt_status() != 0 ? interrupt_status() : 130;
    default: return CLI_TRANSFER;
    }
}

int is_readable(const char *path)
{
    // Shared: the children of a rack look at the same files at once.
    platform_file file = platform_open_shared(path);
    if (file == PLATFORM_FILE_INVALID)
        return 0;
    platform_close(file);
    return 1;
}

int check_readable(const char *path, const char *what)
{
    if (is_readable(path))
        return 1;
    complain("%s: cannot read %s", what, path);
    return 0;
}
