// The test-side wire: bitwise CRCs, receiver headers, and the decoder of the sender's output.
#include "wire.h"

#include <cstdio>

std::uint16_t bitwise_crc16(const unsigned char *data, std::size_t length)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; i++) {
        crc ^= (std::uint16_t)(data[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? (std::uint16_t)((crc << 1) ^ 0x1021) : (std::uint16_t)(crc << 1);
    }
    return crc;
}

std::uint32_t bitwise_crc32(const unsigned char *data, std::size_t length)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < length; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

static void put_escaped(bytes &out, unsigned char b)
{
    if (b == 0x11 || b == 0x13 || b == 0x18 || b == 0x91 || b == 0x93) {
        out.push_back(0x18);
        out.push_back(b ^ 0x40);
    } else if (b == 0xFF) {
        out.push_back(0x18);
        out.push_back(0x6D);
    } else {
        out.push_back(b);
    }
}

bytes hex_header(int type, std::uint32_t pos, bool upper)
{
    unsigned char fields[5] = {(unsigned char)type, (unsigned char)pos, (unsigned char)(pos >> 8),
                               (unsigned char)(pos >> 16), (unsigned char)(pos >> 24)};
    std::uint16_t crc = bitwise_crc16(fields, 5);
    char text[32];
    std::snprintf(text, sizeof text, upper ? "%02X%02X%02X%02X%02X%04X" : "%02x%02x%02x%02x%02x%04x",
                  fields[0], fields[1], fields[2], fields[3], fields[4], crc);
    bytes out = {0x2A, 0x2A, 0x18, 0x42};
    for (const char *p = text; *p; p++)
        out.push_back((unsigned char)*p);
    out.push_back(0x0D);
    out.push_back(0x8A);
    out.push_back(0x11);
    return out;
}

bytes bin32_header(int type, std::uint32_t pos)
{
    unsigned char fields[5] = {(unsigned char)type, (unsigned char)pos, (unsigned char)(pos >> 8),
                               (unsigned char)(pos >> 16), (unsigned char)(pos >> 24)};
    std::uint32_t crc = bitwise_crc32(fields, 5);
    bytes out = {0x2A, 0x18, 0x43};
    for (unsigned char f : fields)
        put_escaped(out, f);
    for (int i = 0; i < 4; i++)
        put_escaped(out, (unsigned char)(crc >> (8 * i)));
    return out;
}

namespace {

const char *const type_names[] = {"ZRQINIT", "ZRINIT", "ZSINIT", "ZACK", "ZFILE", "ZSKIP",
                                  "ZNAK",    "ZABORT", "ZFIN",   "ZRPOS", "ZDATA", "ZEOF"};

struct decoder {
    const bytes &in;
    std::size_t at = 0;
    transcript &out;
    std::vector<std::pair<std::size_t, std::string>> lines; // offset, text

    bool more() const { return at < in.size(); }

    // One unescaped byte; -1 at the end, -2 for a frame end (ZDLE and h, i, j, k), whose
    // byte is left in frame_end.
    int frame_end = 0;
    int next_unescaped()
    {
        if (!more())
            return -1;
        unsigned char b = in[at++];
        if (b != 0x18)
            return b;
        if (!more())
            return -1;
        unsigned char e = in[at++];
        if (e >= 0x68 && e <= 0x6B) {
            frame_end = e;
            return -2;
        }
        if (e == 0x6D)
            return 0xFF;
        if (e != 0x51 && e != 0x53 && e != 0x58 && e != 0xD1 && e != 0xD3)
            return -3; // escaped a byte the sender never escapes
        return e ^ 0x40;
    }

    bool fail(const std::string &what)
    {
        char where[32];
        std::snprintf(where, sizeof where, " at byte %zu", at);
        if (out.error.empty())
            out.error = what + where;
        return false;
    }

    bool expect_raw(unsigned char b, const char *what)
    {
        if (!more() || in[at] != b)
            return fail(std::string("expected ") + what);
        at++;
        return true;
    }

    // A subpacket after ZFILE or ZDATA: its data, its end, its CRC over data and end.
    bool subpacket(bytes &data, int &end)
    {
        data.clear();
        for (;;) {
            int b = next_unescaped();
            if (b == -2)
                break;
            if (b < 0)
                return fail("unterminated subpacket");
            data.push_back((unsigned char)b);
        }
        end = frame_end;
        bytes covered = data;
        covered.push_back((unsigned char)end);
        std::uint32_t crc = bitwise_crc32(covered.data(), covered.size());
        for (int i = 0; i < 4; i++) {
            int b = next_unescaped();
            if (b != (int)((crc >> (8 * i)) & 0xFF))
                return fail("subpacket CRC");
        }
        return expect_raw(0x11, "XON after frame end");
    }

    bool header(int &type, std::uint32_t &pos)
    {
        unsigned char fields[5];
        for (int i = 0; i < 5; i++) {
            int b = next_unescaped();
            if (b < 0)
                return fail("short header");
            fields[i] = (unsigned char)b;
        }
        std::uint32_t crc = bitwise_crc32(fields, 5);
        for (int i = 0; i < 4; i++)
            if (next_unescaped() != (int)((crc >> (8 * i)) & 0xFF))
                return fail("header CRC");
        if (!expect_raw(0x11, "XON after header"))
            return false;
        type = fields[0];
        pos = fields[1] | fields[2] << 8 | fields[3] << 16 | (std::uint32_t)fields[4] << 24;
        return true;
    }

    void run()
    {
        static const char zrqinit[] = "rz\r**\x18" "B00000000000000\r\n\x11";
        static const unsigned char cancel[19] = {24, 24, 24, 24, 24, 24, 24, 24, 8, 8,
                                                 8,  8,  8,  8,  8,  8,  8,  8,  0};
        std::string current; // file being sent
        std::uint32_t position = 0;
        while (more()) {
            std::size_t start = at;
            if (in.size() - at >= 24 && std::equal(zrqinit, zrqinit + 24, in.begin() + at)) {
                at += 24;
                lines.push_back({start, "ZRQINIT"});
            } else if (in.size() - at >= 19 && std::equal(cancel, cancel + 19, in.begin() + at)) {
                at += 19;
                lines.push_back({start, "cancel"});
            } else if (in.size() - at >= 2 && in[at] == 'O' && in[at + 1] == 'O') {
                at += 2;
                lines.push_back({start, "OO"});
            } else if (in.size() - at >= 3 && in[at] == 0x2A && in[at + 1] == 0x18 &&
                       in[at + 2] == 0x43) {
                at += 3;
                int type;
                std::uint32_t pos;
                if (!header(type, pos))
                    return;
                std::string name = type < 12 ? type_names[type] : "type" + std::to_string(type);
                if (type == 4) {
                    if (pos != 0x01000000)
                        name += " flags " + std::to_string(pos);
                    lines.push_back({start, name});
                    bytes data;
                    int end;
                    std::size_t data_at = at;
                    if (!subpacket(data, end))
                        return;
                    std::string info(data.begin(), data.end());
                    std::size_t nul = info.find('\0');
                    std::string fname = info.substr(0, nul);
                    std::string rest = nul == std::string::npos ? "" : info.substr(nul + 1);
                    std::size_t nul2 = rest.find('\0');
                    std::string size = rest.substr(0, nul2);
                    bool tidy = nul2 != std::string::npos && nul2 + 1 == rest.size();
                    lines.push_back({data_at, "info " + fname + " " + size + (tidy ? "" : " (untidy)") +
                                                  (end == 0x6B ? "" : " (not ZCRCW)")});
                    current = fname;
                    out.files[current];
                } else if (type == 10) {
                    lines.push_back({start, name + " " + std::to_string(pos)});
                    position = pos;
                    bytes data;
                    int end;
                    std::size_t data_at = at;
                    if (!subpacket(data, end))
                        return;
                    // The data line sits at the frame end so that a flush before it shows.
                    std::size_t end_at = at;
                    bytes &file = out.files[current];
                    if (file.size() < position + data.size())
                        file.resize(position + data.size());
                    std::copy(data.begin(), data.end(), file.begin() + position);
                    position += (std::uint32_t)data.size();
                    // The data line sits at the frame end's ZDLE, so that a flush just
                    // before the frame end shows between the data and its end.
                    std::size_t frame_at = data_at;
                    for (std::size_t p = data_at; p + 1 < end_at; p += in[p] == 0x18 ? 2 : 1) {
                        if (in[p] == 0x18 && in[p + 1] >= 0x68 && in[p + 1] <= 0x6B) {
                            frame_at = p;
                            break;
                        }
                    }
                    lines.push_back({frame_at, "data " + std::to_string(data.size()) +
                                                   (end == 0x6B ? " ZCRCW" : end == 0x68 ? " ZCRCE"
                                                                                         : " other end")});
                } else if (type == 11) {
                    lines.push_back({start, name + " " + std::to_string(pos)});
                } else {
                    lines.push_back({start, pos ? name + " " + std::to_string(pos) : name});
                }
            } else {
                fail("unknown bytes");
                return;
            }
        }
    }
};

} // namespace

transcript decode_sent()
{
    transcript t;
    decoder d{port.written, 0, t, {}};
    d.run();
    // Events at offset X come before a line that starts at X or later.
    std::size_t e = 0;
    for (auto &line : d.lines) {
        while (e < port.events.size() && port.events[e].at <= line.first)
            t.lines.push_back(port.events[e++].what);
        t.lines.push_back(line.second);
    }
    while (e < port.events.size())
        t.lines.push_back(port.events[e++].what);
    if (!t.error.empty())
        t.lines.push_back("?? " + t.error);
    return t;
}

std::string joined(const transcript &t)
{
    std::string s;
    for (auto &line : t.lines) {
        if (!s.empty())
            s += " | ";
        s += line;
    }
    return s;
}
