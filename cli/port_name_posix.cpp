// PORT on Linux: COM1 to COM6, which the serial port maps to /dev/ttyS0 to /dev/ttyS5 (or to
// what KESTREL_COM1..6 name), or the path of any device, which the send opens as COM1.
#include "cli.h"
#include "line_table.h"
#include "serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

const char PORT_HELP[] =
    "PORT is the path of a serial device (/dev/ttyUSB0, /dev/ttyS1, ...), or COM1 to COM6,\n"
    "which stand for /dev/ttyS0 to /dev/ttyS5.";

int choose_port(const char *port)
{
    int com_index = parse_com_name(port);
    if (com_index >= 0 && com_index < COM_PORT_COUNT)
        return com_index;
    if (com_index < 0 && std::strchr(port, '/') && set_com_device(0, port))
        return 0;
    complain("no such port: %s (a device path, or COM1 to COM6)", port);
    return -1;
}

const char *port_reason(const char *port)
{
    static char reason[96];
    const char *device = std::strchr(port, '/') ? port : chosen_com_device(parse_com_name(port));
    struct stat info;
    if (!device || stat(device, &info) == 0) {
        if (device && !S_ISCHR(info.st_mode))
            return " (not a device)";
        return "";
    }
    std::snprintf(reason, sizeof reason, " (%s)", errno == ENOENT ? "no such device"
                                                                   : std::strerror(errno));
    return reason;
}

const char *line_error_text(int error)
{
    return std::strerror(error);
}
