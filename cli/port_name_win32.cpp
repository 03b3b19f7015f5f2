// PORT on Windows: COM1 to COM256. COM1 to COM6 are opened by their plain names, as
// kestrel.exe opens them; the others by their device names (\\.\COM17), the only form in which
// Windows opens ports from COM10 on.
#include "cli.h"
#include "line_table.h"
#include "serial_port.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

const char PORT_HELP[] = "PORT is COM1 to COM256.";

int choose_port(const char *port)
{
    int com_index = parse_com_name(port);
    if (com_index < 0) {
        complain("no such port: %s (COM1 to COM256)", port);
        return -1;
    }
    if (com_index >= COM_PORT_COUNT) {
        char device[16];
        std::snprintf(device, sizeof device, "\\\\.\\COM%d", com_index + 1);
        set_com_device(com_index, device);
    }
    return com_index;
}

// Windows says no more than that the port did not open.
const char *port_reason(const char *)
{
    return "";
}

// The system's message without its full stop and line end, or the number when it has none.
const char *line_error_text(int error)
{
    static char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text, sizeof text,
                                  nullptr);
    while (length > 0 && std::strchr(" .\r\n", text[length - 1]))
        length--;
    text[length] = '\0';
    if (length == 0)
        std::snprintf(text, sizeof text, "system error %d", error);
    return text;
}
