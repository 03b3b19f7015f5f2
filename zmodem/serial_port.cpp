// The portable rules of the serial port over the platform's raw calls (serial_port.h).
// State: port_handle, cancel_request, the buffers of written bytes not yet handed to the
// driver and of arrived bytes not yet taken, gone_error, and chosen_devices, the devices the
// program named for ports.
#include "serial_port.h"

#include "line_table.h"
#include "message_box.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "zm_proto.h"

#include <cstring>

raw_port port_handle = RAW_PORT_NONE;
volatile std::sig_atomic_t cancel_request;

enum { RESUME_BYTES = 16 };

static unsigned char out_buffer[1024];
static int out_count;
// Bytes held before they go to the driver: a few after each read, so that the line starts at
// once when the sender resumes (the rest of a subpacket takes longer to make than those few
// take on the line), then a whole buffer while it keeps the line busy.
static int out_limit = (int)sizeof out_buffer;
static unsigned char in_buffer[256];
static int in_count;
static int in_next;
// Milliseconds waited in vain since the last read that brought a byte.
static int silent_ms;
// The line's rate, and the bytes written since the last read: how long an answer may take.
static std::uint32_t line_baud;
static int written_since_read;
// The system's error number of the read that found the line gone; 0 while it works. Kept
// through the close of the abort, so that the program's exit can tell why the wait ended.
static int gone_error;

static void reset_buffers()
{
    out_count = 0;
    out_limit = (int)sizeof out_buffer;
    in_count = in_next = 0;
    silent_ms = 0;
    written_since_read = 0;
}

static void push_output()
{
    if (out_count > 0 && port_handle != RAW_PORT_NONE)
        raw_port_write(port_handle, out_buffer, out_count);
    out_count = 0;
}

// One byte from the line: from what arrived earlier, else from one platform read of up to
// wait_ms, before which everything written goes out. 1 with the byte, 0 after a read that
// waited in vain or found the line gone (gone_error set; not while a cancel is asked for,
// which a read cut short may look like).
static int read_line_byte(unsigned char *b, int wait_ms)
{
    if (in_next < in_count) {
        *b = in_buffer[in_next++];
        return 1;
    }
    push_output();
    out_limit = RESUME_BYTES;
    written_since_read = 0;
    int error = 0;
    int got = raw_port_read(port_handle, in_buffer, (int)sizeof in_buffer, wait_ms, &error);
    if (got < 0 && !cancel_request)
        gone_error = error;
    in_count = got > 0 ? got : 0;
    in_next = 0;
    if (in_count == 0)
        return 0;
    *b = in_buffer[in_next++];
    return 1;
}

// The devices named by set_com_device: a program names one or two, so a short list is kept
// rather than a path for each of the 256 ports.
enum { CHOSEN_MAX = 8, DEVICE_PATH_SIZE = 256 };
static struct {
    int com_index; // -1: a free entry
    char path[DEVICE_PATH_SIZE];
} chosen_devices[CHOSEN_MAX] = {{-1, ""}, {-1, ""}, {-1, ""}, {-1, ""},
                                {-1, ""}, {-1, ""}, {-1, ""}, {-1, ""}};

int set_com_device(int com_index, const char *path)
{
    if (com_index < 0 || com_index > 255 || std::strlen(path) >= DEVICE_PATH_SIZE)
        return 0;
    for (auto &entry : chosen_devices) {
        if (entry.com_index == com_index || entry.com_index < 0) {
            entry.com_index = com_index;
            std::strcpy(entry.path, path);
            return 1;
        }
    }
    return 0;
}

const char *chosen_com_device(int com_index)
{
    for (const auto &entry : chosen_devices) {
        if (entry.com_index == com_index)
            return entry.path;
    }
    return nullptr;
}

// Eight CAN, then ten backspaces (to wipe the CAN from a terminal that shows them), then one
// NUL: cancels the receiver whatever state it is in.
static void send_cancel()
{
    for (int i = 0; i < 8; i++)
        send_raw_byte(CAN);
    for (int i = 0; i < 10; i++)
        send_raw_byte(ZCAN_BS);
    send_raw_byte(0);
}

static void show_cant_open()
{
    message_box(OWNER_ACTIVE, MSG_CANT_OPEN_PORT, MSG_CAPTION_ERROR, MSGBOX_OK);
}

int open_com_port(unsigned char com_index, unsigned char baud_index)
{
    // A rate typed into the dialog is stored as -1 (255 here): a port without a rate is no
    // port, so it fails before anything is opened.
    if ((com_index >= COM_PORT_COUNT && !chosen_com_device(com_index)) ||
        baud_index >= LINE_RATE_COUNT) {
        show_cant_open();
        return 0;
    }
    reset_buffers();
    gone_error = 0;
    port_handle = raw_port_open(com_index);
    if (port_handle == RAW_PORT_NONE) {
        show_cant_open();
        return 0;
    }
    // Line settings the platform refuses would leave the port at a rate and framing nobody
    // chose; that is treated as a port that cannot be opened.
    line_baud = LINE_RATES[baud_index];
    if (!raw_port_setup(port_handle, line_baud)) {
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
    written_since_read++;
    out_buffer[out_count++] = (unsigned char)(b & 0xFF);
    if (out_count >= out_limit) {
        push_output();
        out_limit = (int)sizeof out_buffer;
    }
    return 1;
}

// One read of up to wait_ms, counted toward the limit of ten silent reads of READ_WAIT_MS. A
// line found gone ends the wait at once the same way: no byte can come any more, and the
// reads would only fail on until the limit.
static int read_within(unsigned char *b, int wait_ms)
{
    if (cancel_request) {
        *b = CAN;
        silent_ms = 0;
        return 1;
    }
    int got = port_handle == RAW_PORT_NONE ? 0 : read_line_byte(b, wait_ms);
    silent_ms += wait_ms;
    if (silent_ms >= 10 * READ_WAIT_MS || (!got && gone_error != 0)) {
        abort_transfer(MSG_TIMEOUT);
        platform_exit(1);
    }
    if (got)
        silent_ms = 0;
    return got;
}

int receive_byte_or_silence(unsigned char *b)
{
    return read_within(b, READ_WAIT_MS);
}

int receive_answer_or_silence(unsigned char *b)
{
    long long line_ms = line_baud ? (long long)written_since_read * 10000 / line_baud : 0;
    long long wait_ms = line_ms + ANSWER_MARGIN_MS;
    return read_within(b, wait_ms < READ_WAIT_MS ? (int)wait_ms : READ_WAIT_MS);
}

int receive_byte_if_waiting(unsigned char *b)
{
    if (cancel_request) {
        *b = CAN;
        return 1;
    }
    if (port_handle == RAW_PORT_NONE)
        return 0;
    if (in_next == in_count && raw_port_pending(port_handle) <= 0)
        return 0;
    if (!read_line_byte(b, READ_WAIT_MS))
        return 0;
    silent_ms = 0;
    return 1;
}

unsigned char receive_byte()
{
    unsigned char b = 0;
    while (!receive_byte_or_silence(&b)) {
    }
    return b;
}

int line_gone_error()
{
    return gone_error;
}

void cancel_transfer()
{
    send_cancel();
    close_port();
    show_progress(PROGRESS_CLOSE, 0);
}

void abort_transfer(const char *text)
{
    cancel_transfer();
    message_box(OWNER_ACTIVE, text, MSG_CAPTION_ERROR, MSGBOX_OK);
}

void flush_port()
{
    if (port_handle != RAW_PORT_NONE) {
        push_output();
        raw_port_flush(port_handle);
    }
}

void close_port()
{
    if (port_handle != RAW_PORT_NONE) {
        push_output();
        raw_port_close(port_handle);
    }
    port_handle = RAW_PORT_NONE;
    reset_buffers();
}
