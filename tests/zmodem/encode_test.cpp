// Frame encoding against golden bytes, and the CRC tables against bitwise CRCs.
#include "scripted_port.h"
#include "serial_port.h"
#include "wire.h"
#include "zm_proto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct golden {
    const char *name;
    void (*write)();
    bytes expected;
};

void PrintTo(const golden &g, std::ostream *os)
{
    *os << g.name;
}

class EncodeGolden : public testing::TestWithParam<golden> {};

// Everything the encoders wrote: the port holds written bytes until it is flushed or closed.
const bytes &sent_bytes()
{
    close_port();
    return port.written;
}

TEST_P(EncodeGolden, WritesExactlyTheseBytes)
{
    reset_port();
    ASSERT_EQ(open_com_port(0, 0), 1);
    crc32_acc = 0x12345678; // headers start their own CRC; subpackets are given theirs
    GetParam().write();
    EXPECT_EQ(sent_bytes(), GetParam().expected);
}

const unsigned char dbf1_info[] = {0x64, 0x62, 0x66, 0x31, 0x2E, 0x64, 0x62, 0x30,
                                   0x00, 0x31, 0x32, 0x33, 0x34, 0x35, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Frames, EncodeGolden,
    testing::Values(
        golden{"zrqinit", [] { send_zrqinit(); },
               {0x72, 0x7A, 0x0D, 0x2A, 0x2A, 0x18, 0x42, '0', '0', '0', '0', '0', '0', '0',
                '0', '0', '0', '0', '0', '0', '0', 0x0D, 0x0A, 0x11}},
        golden{"zfin", [] { send_bin32_header(8, 0, 0, 0, 0); },
               {0x2A, 0x18, 0x43, 0x08, 0x00, 0x00, 0x00, 0x00, 0xDC, 0xBC, 0x52, 0xF6, 0x11}},
        golden{"zdata_0", [] { send_bin32_header(10, 0, 0, 0, 0); },
               {0x2A, 0x18, 0x43, 0x0A, 0x00, 0x00, 0x00, 0x00, 0xBC, 0xEF, 0x92, 0x8C, 0x11}},
        golden{"zfile_binary", [] { send_bin32_header(4, 0, 0, 0, 1); },
               {0x2A, 0x18, 0x43, 0x04, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x61, 0xA5, 0x44, 0x11}},
        golden{"arguments_modulo_256", [] { send_bin32_header(8 + 256, 256, -256, 512, 0); },
               {0x2A, 0x18, 0x43, 0x08, 0x00, 0x00, 0x00, 0x00, 0xDC, 0xBC, 0x52, 0xF6, 0x11}},
        golden{"empty_zcrcw", [] { crc32_acc = 0xFFFFFFFF; send_frame_end(ZCRCW); },
               {0x18, 0x6B, 0x5D, 0x57, 0x62, 0x08, 0x11}},
        golden{"empty_zcrce_escaped_crc", [] { crc32_acc = 0xFFFFFFFF; send_frame_end(ZCRCE); },
               {0x18, 0x68, 0xE7, 0x06, 0x6B, 0x18, 0xD1, 0x11}},
        golden{"dbf1_file_information",
               [] {
                   crc32_acc = 0xFFFFFFFF;
                   send_data_block(dbf1_info, sizeof dbf1_info);
                   send_frame_end(ZCRCW);
               },
               {0x64, 0x62, 0x66, 0x31, 0x2E, 0x64, 0x62, 0x30, 0x00, 0x31, 0x32, 0x33, 0x34,
                0x35, 0x00, 0x18, 0x6B, 0x9A, 0x4D, 0x03, 0x89, 0x11}},
        golden{"escaped_set",
               [] {
                   const unsigned char all[] = {0x11, 0x13, 0x18, 0x91, 0x93, 0xFF};
                   for (unsigned char b : all)
                       send_escaped_byte(b);
               },
               {0x18, 0x51, 0x18, 0x53, 0x18, 0x58, 0x18, 0xD1, 0x18, 0xD3, 0x18, 0x6D}},
        golden{"near_misses_raw",
               [] {
                   const unsigned char raw[] = {0x10, 0x90, 0x0D, 0x8D, 0x7F, 0x2A, 0x00, 0x12, 0x92};
                   for (unsigned char b : raw)
                       send_escaped_byte(b);
               },
               {0x10, 0x90, 0x0D, 0x8D, 0x7F, 0x2A, 0x00, 0x12, 0x92}}),
    [](const testing::TestParamInfo<golden> &p) { return std::string(p.param.name); });

// The escaped-position header's bytes come from the independent encoder in wire.cpp.
TEST(Encode, HeaderWithEscapedFieldsMatchesIndependentEncoder)
{
    reset_port();
    ASSERT_EQ(open_com_port(0, 0), 1);
    send_bin32_header(10, 0x18, 0x11, 0xFF, 0x93);
    bytes expected = bin32_header(10, 0x93FF1118);
    expected.push_back(0x11);
    EXPECT_EQ(sent_bytes(), expected);
}

// Every byte value through a subpacket: escaped as a receiver expects, CRC over the raw bytes.
TEST(Encode, SubpacketOfEveryByteValue)
{
    reset_port();
    ASSERT_EQ(open_com_port(0, 0), 1);
    unsigned char all[256];
    for (int i = 0; i < 256; i++)
        all[i] = (unsigned char)i;
    send_bin32_header(10, 0, 0, 0, 0);
    EXPECT_EQ(crc32_acc, 0xFFFFFFFFu) << "a header leaves no trace in the next subpacket's CRC";
    send_data_block(all, 256);
    send_frame_end(ZCRCE);
    EXPECT_EQ(crc32_acc, 0xFFFFFFFFu);
    sent_bytes();
    port.events.clear();
    transcript t = decode_sent();
    EXPECT_EQ(joined(t), "ZDATA 0 | data 256 ZCRCE");
    EXPECT_EQ(t.files[""], bytes(all, all + 256));
    // 256 bytes and six of them escaped, header 13 bytes, frame end 2 + 4 + 1 at least.
    EXPECT_GE(port.written.size(), 13u + 262u + 7u);
}

TEST(Encode, NothingIsWrittenWithoutAnOpenPort)
{
    reset_port();
    send_zrqinit();
    send_bin32_header(8, 0, 0, 0, 0);
    EXPECT_TRUE(port.written.empty());
}

TEST(Crc, BitwiseOraclesKnowTheCheckValues)
{
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(bitwise_crc32(digits, 9), 0xCBF43926u);
    EXPECT_EQ(bitwise_crc16(digits, 9), 0x31C3u);
}

TEST(Crc, TablesMatchBitwiseCrcOfEachByte)
{
    EXPECT_EQ(crc16_table[1], 0x1021);
    EXPECT_EQ(crc16_table[255], 0x1EF0);
    EXPECT_EQ(crc32_table[1], 0x77073096u);
    EXPECT_EQ(crc32_table[255], 0x2D02EF8Du);
    for (int i = 0; i < 256; i++) {
        unsigned char b = (unsigned char)i;
        EXPECT_EQ(crc16_table[i], bitwise_crc16(&b, 1)) << i;
        // A table entry is the reflected register after one byte from a zero register.
        std::uint32_t reg = (std::uint32_t)i;
        for (int bit = 0; bit < 8; bit++)
            reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        EXPECT_EQ(crc32_table[i], reg) << i;
    }
}

TEST(Crc, RunningAccumulatorGivesTheStandardCrc32)
{
    crc32_acc = 0xFFFFFFFF;
    for (const char *p = "123456789"; *p; p++)
        crc32_update((unsigned char)*p);
    EXPECT_EQ(~crc32_acc, 0xCBF43926u);
    crc32_acc = 0xFFFFFFFF;
}

} // namespace
