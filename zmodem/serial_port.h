// The serial port of the batch send: one COM port per process, opened once per transfer, used
// through one-byte writes and one-byte reads with a time-out, and the abort that every failed
// transfer goes through. State: port_handle.
//
// The portable half (serial_port.cpp) keeps the rules: the ten-read time-out, the cancel
// sequence, the order of an abort. The raw calls below it are the platform's:
// serial_port_win32.cpp on Windows, serial_port_posix.cpp natively, a scripted receiver in
// the tests.
#ifndef KESTREL_SERIAL_PORT_H
#define KESTREL_SERIAL_PORT_H

#include <cstdint>

// A platform port handle: a Windows HANDLE value or a POSIX file descriptor.
typedef std::intptr_t raw_port;
const raw_port RAW_PORT_NONE = -1;

// The one port of the process; RAW_PORT_NONE while no port is open.
extern raw_port port_handle;

// Opens COM1..COM6 (com_index 0..5) at 115200, 57600, 38400, 19200 or 9600 bit/s (baud_index
// 0..4), 8N1, no flow control. Returns 1 when the port is open and set up; otherwise shows
// "Can't open COM port." and returns 0 with no port open.
int open_com_port(unsigned char com_index, unsigned char baud_index);
// Writes the low 8 bits of b; returns the platform write's result (not acted on by anyone).
// Does nothing and returns 0 while no port is open.
int send_raw_byte(int b);
// The next byte from the line. Ten reads that each waited about four seconds without a byte
// (a byte that arrives during the tenth does not count) end the process with status 1 after
// aborting with "Timeout error".
unsigned char receive_byte();
// Sends the cancel sequence, closes the port, closes the Progress box, shows text in an
// "Error" box, and returns.
void abort_transfer(const char *text);
// Waits until the port's output queue has gone out.
void flush_port();
// Closes the port if one is open.
void close_port();

// The raw seam: one implementation per platform, chosen at link time.
// Opens the device of COM<com_index + 1>. RAW_PORT_NONE when it cannot be opened.
raw_port raw_port_open(int com_index);
// Sets queues, rate (bit/s), 8N1 without flow control, and the time-outs. 1 when the platform
// took the line settings, 0 when it refused them.
int raw_port_setup(raw_port port, std::uint32_t baud);
// Writes one byte; the platform write's result (1 written, 0 not). A port may hold written
// bytes back, but hands them all to the line before a read, a flush or a close.
int raw_port_write_byte(raw_port port, unsigned char b);
// Reads one byte, returning as soon as one is there or after about four seconds without.
// Returns the number of bytes read, 0 or 1.
int raw_port_read_byte(raw_port port, unsigned char *b);
void raw_port_flush(raw_port port);
void raw_port_close(raw_port port);
// Ends the process at once with the given status.
[[noreturn]] void raw_process_exit(int status);

#endif
