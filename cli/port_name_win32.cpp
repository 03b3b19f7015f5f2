// PORT on Windows: COM1 to COM6, the ports the send can open.
#include "cli.h"

const char PORT_HELP[] = "PORT is COM1 to COM6.";

int choose_port(const char *port)
{
    int com_index = parse_com_name(port);
    if (com_index < 0)
        complain("no such port: %s (COM1 to COM6)", port);
    return com_index;
}
