// The serial lines the programs offer: the rates by baud_index and the COM ports by
// com_index, as the settings file stores them and the Properties dialog lists them. Every
// list of rates or ports in the program is this one.
#ifndef KESTREL_LINE_TABLE_H
#define KESTREL_LINE_TABLE_H

#include <cstdint>

enum {
    LINE_RATE_COUNT = 5, // baud_index 0 to 4
    COM_PORT_COUNT = 6   // com_index 0 to 5: COM1 to COM6, the ports of kestrel.exe
};

// Bits per second, fastest first.
constexpr std::uint32_t LINE_RATES[LINE_RATE_COUNT] = {115200, 57600, 38400, 19200, 9600};
// The same rates as the dialog and the command line write them.
constexpr const char *LINE_RATE_NAMES[LINE_RATE_COUNT] = {"115200", "57600", "38400", "19200",
                                                          "9600"};
// The ports by com_index, as the dialog lists them.
constexpr const char *COM_PORT_NAMES[COM_PORT_COUNT] = {"COM1", "COM2", "COM3",
                                                        "COM4", "COM5", "COM6"};

#endif
