// Standard error on Linux. Terminals and logs there read UTF-8, so the program's
// Windows-1250 letters are written as UTF-8; text that is UTF-8 already (a file name given on
// the command line) goes out unchanged. No state.
#include "console.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

// The characters of Windows-1250 bytes 0x80 to 0xFF; U+FFFD for the five it leaves undefined.
const std::uint16_t cp1250_upper[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// The length of the well-formed UTF-8 sequence at text (at most left bytes), 0 when there is
// none. Only the shapes matter here, not overlong forms: a Windows-1250 letter between ASCII
// bytes never has the shape of one.
int utf8_length(const unsigned char *text, int left)
{
    int length = text[0] >= 0xF0 && text[0] <= 0xF4 ? 4
               : text[0] >= 0xE0                    ? 3
               : text[0] >= 0xC2                    ? 2
                                                    : 0;
    if (length == 0 || length > left)
        return 0;
    for (int i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

// Puts the UTF-8 form of a character below U+10000 at out; returns its length.
int put_utf8(unsigned char *out, unsigned code)
{
    if (code < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | code >> 6);
        out[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | code >> 12);
    out[1] = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 3;
}

} // namespace

int console_is_terminal()
{
    return isatty(STDERR_FILENO) ? 1 : 0;
}

void console_write(const char *text, int length)
{
    const unsigned char *in = reinterpret_cast<const unsigned char *>(text);
    unsigned char out[512];
    int used = 0;
    for (int i = 0; i < length;) {
        if (used > static_cast<int>(sizeof out) - 4) {
            std::fwrite(out, 1, static_cast<std::size_t>(used), stderr);
            used = 0;
        }
        int sequence = in[i] < 0x80 ? 1 : utf8_length(in + i, length - i);
        if (sequence > 0) {
            for (int k = 0; k < sequence; k++)
                out[used++] = in[i + k];
            i += sequence;
        } else {
            used += put_utf8(out + used, cp1250_upper[in[i++] - 0x80]);
        }
    }
    std::fwrite(out, 1, static_cast<std::size_t>(used), stderr);
    std::fflush(stderr);
}

void console_cursor_up(int lines)
{
    if (lines > 0)
        std::fprintf(stderr, "\x1b[%dA\r", lines);
    else
        std::fputc('\r', stderr);
    std::fflush(stderr);
}
