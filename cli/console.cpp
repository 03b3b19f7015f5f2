// The portable part of the console output: formatted text through the platform's writer.
#include "console.h"

#include <cstdarg>
#include <cstdio>

void console_print(const char *format, ...)
{
    char text[1024];
    va_list values;
    va_start(values, format);
    int length = std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    if (length < 0)
        return;
    const int limit = static_cast<int>(sizeof text) - 1;
    console_write(text, length < limit ? length : limit);
}
