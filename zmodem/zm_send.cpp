// The ZMODEM batch send: zmodem_send_files, the whole protocol logic of the sender. It keeps
// no state of its own beyond one call; it reads rx_type and rx_pos (zm_receive.cpp) and the
// Progress box's status_text is filled once per file.
//
// One file of 1500 bytes on the line (S sender, R receiver):
//
//   S  "rz" CR, ZRQINIT (hex)
//   R  ZRINIT
//   S  ZFILE, [name NUL size NUL] ZCRCW
//   R  ZRPOS 0
//   S  ZDATA 0, [bytes 0..1000] ZCRCW                  (flushed before the frame end)
//   R  ZACK                                            (anything but ZRPOS means go on)
//   S  ZDATA 1001, [bytes 1001..1499] ZCRCE, ZEOF 1500
//   R  ZRINIT
//   S  ZFIN
//   R  ZFIN
//   S  "OO"
//
// Stop and wait: at most one subpacket is ever unanswered, with 1001 file bytes each; the
// receiver's buffer size and capability flags are not looked at.
//
// Habits of real receivers this copes with:
// - A receiver sends ZRINIT when it starts and again for every ZRQINIT it reads. One that was
//   already listening when the port opened has its first ZRINIT waiting in the line, answers
//   "rz" CR ZRQINIT with a second one, and answers ZFILE only after that: up to ten ZRINIT are
//   skipped while the answer to ZFILE is awaited.
// - Hex headers come with lower-case digits and end in CR, 0x8A (LF with the high bit set)
//   and XON; the header search skips whatever precedes the next lead-in.
// - After its ZFIN a receiver waits for "OO" and gives up on it after some seconds; the sender
//   drains the port before closing it, so "OO" is on the line when the port goes.
#include "zmodem.h"

#include "message_box.h"
#include "messages.h"
#include "progress.h"
#include "serial_port.h"
#include "zm_proto.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

enum {
    SUBPACKET_BYTES = 1001,
    WAIT_LIMIT = 10 // headers a wait tolerates beyond the first
};

static std::uint32_t rx_position()
{
    return (std::uint32_t)rx_pos[0] | (std::uint32_t)rx_pos[1] << 8 |
           (std::uint32_t)rx_pos[2] << 16 | (std::uint32_t)rx_pos[3] << 24;
}

static void send_position_header(int type, std::uint32_t position)
{
    send_bin32_header(type, (int)(position & 0xFF), (int)(position >> 8 & 0xFF),
                      (int)(position >> 16 & 0xFF), (int)(position >> 24 & 0xFF));
}

// The rule of every wait: while the header it awaits has not come, it reads the header that
// opens it and up to WAIT_LIMIT more. Reads the next header of a wait that has read *read so
// far and returns 1; returns 0 without reading when the wait has read all it may.
static int read_in_wait(int *read)
{
    if (*read > WAIT_LIMIT)
        return 0;
    receive_header();
    (*read)++;
    return 1;
}

// Size by reading to the end, then back to the start.
static std::uint32_t measure_file(std::FILE *file)
{
    unsigned char buffer[4096];
    std::uint32_t size = 0;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        size += (std::uint32_t)got;
    std::clearerr(file);
    std::fseek(file, 0, SEEK_SET);
    return size;
}

// [name NUL size-in-decimal NUL] ZCRCW, after its ZFILE header
static void send_file_information(const char *name, std::uint32_t size)
{
    char digits[16];
    int length = std::snprintf(digits, sizeof digits, "%lu", (unsigned long)size);
    crc32_acc = 0xFFFFFFFF;
    send_data_block((const unsigned char *)name, (int)strnlen(name, 256));
    send_data_byte(0);
    send_data_block((const unsigned char *)digits, length);
    send_data_byte(0);
    send_frame_end(ZCRCW);
}

static int fail(const char *text, std::FILE *file)
{
    if (file)
        std::fclose(file);
    abort_transfer(text);
    return -1;
}

// ZFILE and the file information, then the wait for the receiver's ZRPOS, through the
// ZRINIT that a receiver listening before the port opened still owes. Returns 0, or -1 after
// aborting.
static int offer_file(std::FILE *file, const char *name, std::uint32_t size)
{
    send_bin32_header(ZFILE, 0, 0, 0, 1); // ZF0 = ZCBIN: binary, no conversion
    send_file_information(name, size);
    int read = 0;
    read_in_wait(&read);
    while (rx_type == ZRINIT && read_in_wait(&read)) {
    }
    if (rx_type != ZRPOS)
        return fail(MSG_EXPECTING_ZRPOS, file);
    return 0;
}

// The receiver asked for the data from rx_pos: seek there, send ZDATA and an empty ZCRCW
// subpacket, and wait until the receiver asks for something else. Returns 0 with *position
// moved, or -1 after aborting.
static int reposition(std::FILE *file, std::uint32_t *position)
{
    flush_port();
    *position = rx_position();
    if (*position > 0x7FFFFFFF || std::fseek(file, (long)*position, SEEK_SET) != 0)
        return fail(MSG_TRANSFER_ERROR, file);
    send_position_header(ZDATA, *position);
    send_frame_end(ZCRCW);
    int read = 0;
    while (rx_type == ZRPOS) {
        if (!read_in_wait(&read)) {
            receive_header(); // one more is read, and the transfer fails whatever it is
            return fail(MSG_TRANSFER_ERROR, file);
        }
    }
    return 0;
}

// The data from offset 0 in subpackets of SUBPACKET_BYTES, each full one answered before the
// next goes out; then the last subpacket, ZCRCE, and ZEOF. Returns 0, or -1 after aborting.
static int send_file_data(std::FILE *file)
{
    // The offset of the ZRPOS that answered ZFILE is not used: every file starts at 0.
    std::uint32_t position = 0;
    int n = 1;
    send_position_header(ZDATA, position);
    for (int c; (c = std::getc(file)) != EOF;) {
        send_data_byte(c);
        position++;
        if (position % 1024 == 0)
            show_progress(PROGRESS_UPDATE, (int)(position / 1024));
        if (n < SUBPACKET_BYTES) {
            n++;
            continue;
        }
        flush_port();
        send_frame_end(ZCRCW);
        receive_header();
        if (rx_type == ZRPOS && reposition(file, &position) != 0)
            return -1;
        send_position_header(ZDATA, position);
        n = 1;
    }
    send_frame_end(ZCRCE);
    std::fclose(file);
    send_position_header(ZEOF, position);
    return 0;
}

// Sends one file after its ZRINIT has been read. Returns 0, or -1 after aborting.
static int send_one_file(const char *path, const char *name)
{
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return fail(MSG_ERROR_OPENING_FILE, nullptr);
    std::uint32_t size = measure_file(file);
    // snprintf cuts a label that would not fit, however long the name or large the file.
    std::snprintf(status_text, sizeof status_text, MSG_PROGRESS_SENDING, name, size / 1024.0);
    if (offer_file(file, name, size) != 0)
        return -1;
    return send_file_data(file);
}

int zmodem_send_files(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index)
{
    if (count <= 0)
        return fail(MSG_NO_FILES, nullptr);
    show_progress(PROGRESS_OPEN, 0);
    if (!open_com_port(com_index, baud_index)) {
        show_progress(PROGRESS_CLOSE, 0);
        return -1;
    }
    flush_port();
    send_zrqinit();

    for (int i = 0; i < count; i++) {
        // Between files this reads the ZRINIT that answers the previous ZEOF, once.
        receive_header();
        if (rx_type != ZRINIT)
            return fail(MSG_RECEIVER_NOT_READY, nullptr);
        if (send_one_file(paths[i], names[i]) != 0)
            return -1;
    }

    // The last header of the last file is never ZRINIT, so the one after ZEOF is read here.
    int read = 0;
    while (rx_type != ZRINIT) {
        if (!read_in_wait(&read)) {
            receive_header(); // one more is read, and the transfer fails whatever it is
            return fail(MSG_EXPECTED_ZRINIT, nullptr);
        }
    }
    send_bin32_header(ZFIN, 0, 0, 0, 0);
    receive_header();
    if (rx_type != ZFIN)
        return fail(MSG_EXPECTED_ZFIN, nullptr);
    send_raw_byte('O');
    send_raw_byte('O');
    flush_port();
    close_port();
    show_progress(PROGRESS_CLOSE, 0);
    message_box(OWNER_ACTIVE, MSG_TRANSFER_DONE, MSG_CAPTION_TRANSFER_OK, MSGBOX_OK);
    return count;
}
