// The portable rules of the serial port over the platform's raw calls (serial_port.h).
// State: port_handle.
#include "serial_port.h"

#include "message_box.h"
#include "messages.h"
#include "progress.h"

raw_port port_handle = RAW_PORT_NONE;

static const std::uint32_t baud_rates[5] = {115200, 57600, 38400, 19200, 9600};

// Eight CAN, ten backspaces, one NUL: cancels the receiver whatever state it is in.
static const unsigned char cancel_sequence[19] = {
    0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18,
    0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08,
    0x00};

static void show_cant_open()
{
    message_box(OWNER_ACTIVE, MSG_CANT_OPEN_PORT, MSG_CAPTION_ERROR, MSGBOX_OK);
}

int open_com_port(unsigned char com_index, unsigned char baud_index)
{
    // A rate typed into the dialog is stored as -1 (255 here): a port without a rate is no
    // port, so it fails before anything is opened.
    if (com_index > 5 || baud_index > 4) {
        show_cant_open();
        return 0;
    }
    port_handle = raw_port_open(com_index);
    if (port_handle == RAW_PORT_NONE) {
        show_cant_open();
        return 0;
    }
    // Line settings the platform refuses would leave the port at a rate and framing nobody
    // chose; that is treated as a port that cannot be opened.
    if (!raw_port_setup(port_handle, baud_rates[baud_index])) {
        close_port();
        show_cant_open();
        return 0;
    }
    return 1;
}

int send_raw_byte(int b)
{
    if (port_handle == RAW_PORT_NONE)
        return 0;
    return raw_port_write_byte(port_handle, (unsigned char)(b & 0xFF));
}

unsigned char receive_byte()
{
    unsigned char b = 0;
    int got = 0;
    int calls = 0;
    while (got == 0) {
        got = port_handle == RAW_PORT_NONE ? 0 : raw_port_read_byte(port_handle, &b);
        calls++;
        if (calls == 10) {
            abort_transfer(MSG_TIMEOUT);
            raw_process_exit(1);
        }
    }
    return b;
}

void abort_transfer(const char *text)
{
    for (unsigned char b : cancel_sequence)
        send_raw_byte(b);
    close_port();
    show_progress(PROGRESS_CLOSE, 0);
    message_box(OWNER_ACTIVE, text, MSG_CAPTION_ERROR, MSGBOX_OK);
}

void flush_port()
{
    if (port_handle != RAW_PORT_NONE)
        raw_port_flush(port_handle);
}

void close_port()
{
    if (port_handle != RAW_PORT_NONE)
        raw_port_close(port_handle);
    port_handle = RAW_PORT_NONE;
}
