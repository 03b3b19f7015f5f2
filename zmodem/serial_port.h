// The serial port of the batch send: one COM port per process, opened once per transfer, used
// through one-byte writes and one-byte reads with a time-out, and the abort that every failed
// transfer goes through. State: port_handle, cancel_request, and the error of a line that has
// gone (line_gone_error).
//
// The portable half (serial_port.cpp) keeps the rules: the ten-read time-out, the cancel
// sequence, the order of an abort, and the buffering of the bytes in both directions. The raw
// calls below it are the platform's: serial_port_win32.cpp on Windows, serial_port_posix.cpp
// natively, a scripted receiver in the tests.
#ifndef KESTREL_SERIAL_PORT_H
#define KESTREL_SERIAL_PORT_H

#include <csignal>
#include <cstdint>

// A platform port handle: a Windows HANDLE value or a POSIX file descriptor.
typedef std::intptr_t raw_port;
const raw_port RAW_PORT_NONE = -1;

enum {
    READ_WAIT_MS = 4000, // a read that finds nothing gives up after this
    READ_SLICE_MS = 250, // and looks at cancel_request this often meanwhile
    ANSWER_MARGIN_MS = 250 // a receiver's answer comes this soon after the frame it answers
};

// The one port of the process; RAW_PORT_NONE while no port is open.
extern raw_port port_handle;
// Set (to 1) by zmodem_request_cancel, from a signal or console handler, possibly on another
// thread; cleared by the send that it ends. While it is set every read returns at once and
// the line seems to say CAN, the receiver's cancel: so every wait of the sender ends within
// a read's slice of about a quarter second, through the path a receiver's cancel takes.
extern volatile std::sig_atomic_t cancel_request;

// Opens COM<com_index + 1> at 115200, 57600, 38400, 19200 or 9600 bit/s (baud_index 0..4,
// line_table.h), 8N1, no flow control. com_index 0..5 (COM1..COM6) is always a port; a higher
// one only once set_com_device has named its device. Returns 1 when the port is open and set
// up; otherwise shows "Can't open COM port." and returns 0 with no port open.
int open_com_port(unsigned char com_index, unsigned char baud_index);
// Writes the low 8 bits of b. Returns 1 when the byte was taken for the line, 0 while no port
// is open (no caller acts on it). Written bytes are held until the next read, flush or close,
// or until 1024 are waiting (16 right after a read, so that the line starts at once when the
// sender resumes): one platform call per byte costs more than the byte's time on the line.
int send_raw_byte(int b);
// The next byte from the line (CAN while cancel_request is set). Ten reads that each waited
// about four seconds without a byte (a byte that arrives during the tenth does not count) end
// the process with status 1 (platform_exit) after aborting with "Timeout error". So does, at
// once, a read that finds the line gone (line_gone_error): its device does not come back.
unsigned char receive_byte();
// One read of the line for a caller that acts on silence: 1 with the next byte in *b, or 0
// when the read waited about four seconds in vain. The reads in a row without a byte count
// toward receive_byte's limit whichever function made them: the tenth ends the process all
// the same, so acting on silence never stretches it beyond about forty seconds.
int receive_byte_or_silence(unsigned char *b);
// The same for an answer due now: the read waits only as long as the bytes written since the
// last read take on the line, and ANSWER_MARGIN_MS more (at most four seconds). Its silence
// counts toward receive_byte's limit by the time it waited: forty seconds of silence end the
// process however they were waited for.
int receive_answer_or_silence(unsigned char *b);
// A byte that has already arrived, without waiting: 1 with it in *b, 0 when none has. Does
// not count toward the time-out.
int receive_byte_if_waiting(unsigned char *b);
// Sends the cancel sequence, closes the port, closes the Progress box, shows text in an
// "Error" box, and returns.
void abort_transfer(const char *text);
// The same without the box: a transfer stopped at the user's request.
void cancel_transfer();
// Waits until the port's output queue has gone out.
void flush_port();
// Closes the port if one is open.
void close_port();
// The system's error number (errno on POSIX, GetLastError on Windows) of the read that found
// the line gone under the transfer: its device removed, its far end closed. 0 while the line
// has not failed so; it stays after the port is closed, until the next open_com_port.
int line_gone_error();

// Makes COM<com_index + 1> (com_index 0 to 255) open the device at path for the rest of the
// process, in place of the platform's own device for it. Returns 1, or 0 when com_index is
// out of range or the path does not fit (the port then stays as it was).
int set_com_device(int com_index, const char *path);
// The device set_com_device named for com_index, or null when none was named.
const char *chosen_com_device(int com_index);

// The raw seam: one implementation per platform, chosen at link time.
// Opens the device of COM<com_index + 1>: the one set_com_device named (chosen_com_device),
// else the platform's own. RAW_PORT_NONE when it cannot be opened.
raw_port raw_port_open(int com_index);
// Sets queues, rate (bit/s), 8N1 without flow control, and the time-outs. 1 when the platform
// took the line settings, 0 when it refused them.
int raw_port_setup(raw_port port, std::uint32_t baud);
// Hands count bytes to the driver; bytes the line does not take within the write time-out
// are lost, as a timed-out write loses them.
void raw_port_write(raw_port port, const unsigned char *bytes, int count);
// Reads what has arrived, at most size bytes, returning as soon as at least one byte is there
// or after about wait_ms (at most READ_WAIT_MS) without. Returns the number of bytes read (0
// after the wait), or -1 when the line has failed for good (a hang-up, a read error: the
// device has gone), with the system's error number, never 0, in *error. The wait goes in
// slices of READ_SLICE_MS (on Windows it lasts whole slices): between two it returns 0 early
// once cancel_request is set; a read cut short for a cancel is no failure.
int raw_port_read(raw_port port, unsigned char *buffer, int size, int wait_ms, int *error);
// The number of bytes that have arrived and wait to be read.
int raw_port_pending(raw_port port);
void raw_port_flush(raw_port port);
void raw_port_close(raw_port port);

#endif
