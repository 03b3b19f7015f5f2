// The console program's argument helpers: options, numbers, rates, port names. Arguments are
// read in place; nothing is copied or allocated.
#include "cli.h"
#include "console.h"
#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char *const RATES[5] = {"115200", "57600", "38400", "19200", "9600"};

} // namespace

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
    for (int i = 0; i < 5; i++) {
        if (std::strcmp(text, RATES[i]) == 0)
            return i;
    }
    complain("no such rate: %s (115200, 57600, 38400, 19200 or 9600)", text);
    return -1;
}

int parse_com_name(const char *text)
{
    const bool com = (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
                     (text[2] == 'M' || text[2] == 'm');
    if (!com || text[3] < '1' || text[3] > '6' || text[4] != '\0')
        return -1;
    return text[3] - '1';
}

int is_readable(const char *path)
{
    platform_file file = platform_open_read(path);
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
