// The receiver's view of the wire for tests, written independently of the sender: bitwise
// CRCs, headers as a receiver sends them, and a decoder that turns what the sender wrote into
// a transcript of frames.
#ifndef KESTREL_TEST_WIRE_H
#define KESTREL_TEST_WIRE_H

#include "scripted_port.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef std::vector<unsigned char> bytes;

// CRC-16/XMODEM and the standard CRC-32, one bit at a time.
std::uint16_t bitwise_crc16(const unsigned char *data, std::size_t length);
std::uint32_t bitwise_crc32(const unsigned char *data, std::size_t length);

// A hex header as receivers send it: ZPAD ZPAD ZDLE 'B', hex digits, CR 0x8A XON.
bytes hex_header(int type, std::uint32_t pos, bool upper = false);
// A binary CRC-32 header, escaped as a sender would escape it.
bytes bin32_header(int type, std::uint32_t pos);

// What the decoder found in the sender's output.
struct transcript {
    std::vector<std::string> lines;       // one frame or event each
    std::map<std::string, bytes> files;   // name -> bytes placed by ZDATA positions
    std::string error;                    // the first thing it could not decode, if any
};

// Decodes everything written so far, merging the port's events in by offset. Lines:
// "ZRQINIT", "ZFILE", "info NAME SIZE", "ZDATA 1001", "data 1001 ZCRCW", "ZEOF 1500", "ZFIN",
// "OO", "cancel", and the events "flush", "close", "< LABEL".
transcript decode_sent();
// The lines joined with " | ", for readable comparisons.
std::string joined(const transcript &t);

#endif
