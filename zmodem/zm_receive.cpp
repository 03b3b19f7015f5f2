// Header reception: finds the next header a receiver sends, hex with CRC-16 or binary with
// CRC-32, and decodes it. State: rx_type and rx_pos, the last header's type and ZP0..ZP3,
// each written the moment it is decoded, before its CRC is tested.
//
// Everything before a header is skipped: the CR LF XON after a receiver's hex header, noise,
// a binary header with CRC-16 ('A', never asked for). Five CAN in a row end the search: that
// is a receiver's cancel (receivers send eight or ten, then backspaces), and no header holds
// two ZDLE (the same byte) in a row. No time-out here: receive_byte owns it; a wait that acts
// on silence (await_header) hears of each read that found nothing before a lead-in.
#include "zm_proto.h"

#include "messages.h"
#include "serial_port.h"

#include <cstdio>

unsigned char rx_type;
unsigned char rx_pos[4];

static int hex_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Two bytes as a hex number of at most two digits: a first byte that is no digit stands for
// itself, a second that is none leaves the first digit alone.
static unsigned receive_hex_pair()
{
    unsigned char first = receive_byte();
    unsigned char second = receive_byte();
    int high = hex_digit(first);
    int low = hex_digit(second);
    if (high < 0)
        return first;
    if (low < 0)
        return (unsigned)high;
    return (unsigned)(high * 16 + low);
}

static std::uint32_t crc16_step(std::uint32_t crc, unsigned value)
{
    return (crc16_table[(crc >> 8) & 0xFF] ^ (crc << 8) ^ value) & 0xFFFF;
}

// type ZP0 ZP1 ZP2 ZP3 CRC-16 (high, low), each as two hex digits of either case
static int receive_hex_header()
{
    unsigned type = receive_hex_pair();
    rx_type = (unsigned char)type;
    std::uint32_t crc = type & 0xFFFF;
    for (int i = 0; i < 4; i++) {
        unsigned value = receive_hex_pair();
        rx_pos[i] = (unsigned char)value;
        crc = crc16_step(crc, value);
    }
    crc = crc16_step(crc, 0);
    crc = crc16_step(crc, 0);
    if (receive_hex_pair() != ((crc >> 8) & 0xFF))
        return HEADER_BAD_CRC;
    if (receive_hex_pair() != (crc & 0xFF)) {
        std::printf("%s\n", MSG_BAD_HEX_CRC);
        return HEADER_BAD_CRC;
    }
    return HEADER_GOOD;
}

// How the search hears silence.
enum {
    SILENCE_WAITED_OUT, // it reads on: only receive_byte's limit ends the wait
    SILENCE_ENDS,       // a read of about four seconds that finds nothing ends the search
    SILENCE_SHORT       // so does a read that finds nothing in the time an answer takes
};

// The next byte of the search for a lead-in: 1 with it in *c, or 0 after a read that found
// nothing, when the caller acts on silence.
static int search_byte(unsigned char *c, int silence)
{
    for (;;) {
        int got = silence == SILENCE_SHORT ? receive_answer_or_silence(c)
                                           : receive_byte_or_silence(c);
        if (got)
            return 1;
        if (silence != SILENCE_WAITED_OUT)
            return 0;
    }
}

// The CAN in a row so far, with the byte c: CANCEL_RUN of them are a receiver's cancel.
static int count_cancel(int run, unsigned char c)
{
    return c == CAN ? run + 1 : 0;
}

// The search for a lead-in from the byte c on.
static int find_header(unsigned char c, int silence)
{
    unsigned char older = 0;
    unsigned char newer = 0;
    int cans = 0;
    for (;;) {
        cans = count_cancel(cans, c);
        if (cans >= CANCEL_RUN)
            return HEADER_CANCELLED;
        if (c == ZBIN32 && newer == ZDLE && older == ZPAD)
            return receive_bin32_header();
        if (c == ZHEX && newer == ZDLE && older == ZPAD)
            return receive_hex_header();
        older = newer;
        newer = c;
        if (!search_byte(&c, silence))
            return HEADER_SILENT;
    }
}

int receive_header()
{
    return find_header(receive_byte(), SILENCE_WAITED_OUT);
}

int await_header()
{
    unsigned char c;
    if (!search_byte(&c, SILENCE_ENDS))
        return HEADER_SILENT;
    return find_header(c, SILENCE_ENDS);
}

int await_answer()
{
    unsigned char c;
    if (!search_byte(&c, SILENCE_SHORT))
        return HEADER_SILENT;
    return find_header(c, SILENCE_SHORT);
}

int receive_waiting_header()
{
    unsigned char c;
    int cans = 0;
    do {
        if (!receive_byte_if_waiting(&c))
            return HEADER_SILENT;
        cans = count_cancel(cans, c);
        if (cans >= CANCEL_RUN)
            return HEADER_CANCELLED;
    } while (c != ZPAD);
    return find_header(c, SILENCE_ENDS);
}

// The value of b as read from the line: b itself, or for ZDLE the byte it escapes, which is
// read next (ZRUB1 stands for 0xFF, anything else for itself XOR 0x40).
static unsigned char unescape(unsigned char b)
{
    if (b != ZDLE)
        return b;
    unsigned char e = receive_byte();
    return e == ZRUB1 ? 0xFF : (unsigned char)(e ^ 0x40);
}

// type ZP0 ZP1 ZP2 ZP3 | CRC-32 low byte first, all ZDLE-escaped. The CRC is a local of its
// own: crc32_acc may hold the running CRC of a subpacket whose frame end is still to go out.
int receive_bin32_header()
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (int i = 0; i < 5; i++) {
        unsigned char b = receive_byte();
        if (i == 0)
            rx_type = b; // types a receiver sends are never escaped
        b = unescape(b);
        if (i > 0)
            rx_pos[i - 1] = b;
        crc = crc32_step(crc, b);
    }
    crc = ~crc;
    for (int i = 0; i < 4; i++) {
        if (unescape(receive_byte()) != ((crc >> (8 * i)) & 0xFF)) {
            std::printf("%s\n", MSG_BAD_BIN32_CRC);
            return HEADER_BAD_CRC;
        }
    }
    return HEADER_GOOD;
}
