// The sender's side of the ZMODEM wire: the protocol's byte values and frame types, the CRC
// tables, the frame encoders (zm_encode.cpp) and the header reader (zm_receive.cpp).
// Shared state: crc32_acc (the encoders' running CRC, which the reader never touches: a header
// read between a subpacket's data and its frame end must leave that CRC whole), rx_type and
// rx_pos (written by the reader, read by the batch send).
#ifndef KESTREL_ZM_PROTO_H
#define KESTREL_ZM_PROTO_H

#include <cstdint>

enum {
    ZPAD = 0x2A,   // '*', header lead-in
    ZDLE = 0x18,   // escape prefix
    ZHEX = 0x42,   // 'B', hex header with CRC-16
    ZBIN32 = 0x43, // 'C', binary header with CRC-32
    ZCRCE = 0x68,  // 'h', last subpacket of a file, no answer expected
    ZCRCW = 0x6B,  // 'k', subpacket after which the receiver answers with a header
    ZRUB1 = 0x6D,  // 'm', escaped form of 0xFF
    XON = 0x11,
    XOFF = 0x13,
    CAN = 0x18,    // the cancel byte, the same value as ZDLE
    ZCAN_BS = 0x08 // the backspaces that follow the cancel bytes
};

// Frame types.
enum {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11
};

// CRC-16/XMODEM (poly 0x1021, MSB first): entry i is the CRC of the byte i from zero.
extern const std::uint16_t crc16_table[256];
// Reflected CRC-32 (poly 0xEDB88320) as in IEEE 802.3 and zlib.
extern const std::uint32_t crc32_table[256];

// The running CRC-32 of what is being written; 0xFFFFFFFF between frames.
extern std::uint32_t crc32_acc;

inline std::uint32_t crc32_step(std::uint32_t crc, unsigned char b)
{
    return crc32_table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

inline void crc32_update(unsigned char b)
{
    crc32_acc = crc32_step(crc32_acc, b);
}

// Encoders: every byte goes to the port at once through send_raw_byte.
void send_escaped_byte(int b);
void send_zrqinit();
void send_bin32_header(int type, int p0, int p1, int p2, int p3);
void send_data_byte(int b);
void send_data_block(const unsigned char *data, int length);
void send_frame_end(int end);

// The frame type and the four bytes ZP0..ZP3 of the last header read (ZP0 lowest).
extern unsigned char rx_type;
extern unsigned char rx_pos[4];

// Results of the header readers.
enum {
    HEADER_GOOD = 0,    // the CRC matched
    HEADER_BAD_CRC = 1, // it did not: rx_type and rx_pos hold whatever noise made of them
    HEADER_SILENT = 2,  // await_header only: the line fell silent before a header began
    HEADER_CANCELLED = 3 // CANCEL_RUN CAN in a row instead of a header: the receiver gave up
};

enum { CANCEL_RUN = 5 };

// Waits for the next hex or binary CRC-32 header and decodes it into rx_type and rx_pos.
// Returns HEADER_GOOD or HEADER_BAD_CRC (rx_type and rx_pos are set either way), or
// HEADER_CANCELLED (every reader below can return it too; rx_type and rx_pos untouched).
int receive_header();
// receive_header for a wait that acts on silence: returns HEADER_SILENT, with rx_type and
// rx_pos untouched, when a read before the header's lead-in finds nothing for about four
// seconds (that read counts toward receive_byte's limit).
int await_header();
// await_header for an answer due now: silence is a read that finds nothing in the time the
// frames just written take on the line and a margin (receive_answer_or_silence).
int await_answer();
// A header that has begun to arrive, for a look at what the receiver said before it could
// have heard the sender's last frame: skips the bytes that have arrived up to a ZPAD and
// reads from there as await_header does; HEADER_SILENT at once when no ZPAD has arrived.
int receive_waiting_header();
// The rest of a binary CRC-32 header after its lead-in; same results. Only receive_header
// calls it.
int receive_bin32_header();

#endif
