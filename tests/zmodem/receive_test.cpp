// Header reception against the receiver's byte sequences: hex and binary headers, escapes,
// CRC failures, and what the lead-in search skips.
#include "scripted_port.h"
#include "serial_port.h"
#include "wire.h"
#include "zm_proto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct received {
    const char *name;
    bytes line;
    int result;
    int type;
    unsigned char pos[4];
    std::size_t left; // bytes of the line not read by the call
};

void PrintTo(const received &r, std::ostream *os)
{
    *os << r.name;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes text(const char *s)
{
    return bytes(s, s + std::strlen(s));
}

// A ZACK whose ZP0 0x2C arrives as ZDLE 0x6C.
bytes zrub0_header()
{
    bytes line = bin32_header(3, 0x2C);
    line[4] = 0x6C;
    line.insert(line.begin() + 4, 0x18);
    return line;
}

class ReceiveGolden : public testing::TestWithParam<received> {};

TEST_P(ReceiveGolden, DecodesTypePositionAndCrcResult)
{
    const received &r = GetParam();
    reset_port();
    script_reply("header", r.line);
    ASSERT_EQ(open_com_port(0, 0), 1);
    rx_type = 0xEE;
    std::memset(rx_pos, 0, sizeof rx_pos);
    crc32_acc = 0x12345678; // the running CRC of a subpacket still being sent
    int result = receive_header();
    EXPECT_EQ(result, r.result);
    EXPECT_EQ(rx_type, r.type);
    EXPECT_EQ(bytes(rx_pos, rx_pos + 4), bytes(r.pos, r.pos + 4));
    EXPECT_EQ(port.script.size() - port.next, r.left);
    EXPECT_EQ(crc32_acc, 0x12345678u) << "the reader keeps out of the sender's CRC";
    crc32_acc = 0xFFFFFFFF;
}

const bytes zrinit_23 = cat({{0x2A, 0x2A, 0x18, 0x42}, text("0100000023be50"), {0x0D, 0x0A, 0x11}});

INSTANTIATE_TEST_SUITE_P(
    Headers, ReceiveGolden,
    testing::Values(
        received{"hex_zrinit_lower", zrinit_23, 0, 1, {0, 0, 0, 0x23}, 3},
        received{"hex_zrinit_upper",
                 cat({{0x2A, 0x2A, 0x18, 0x42}, text("0100000023BE50"), {0x0D, 0x0A, 0x11}}), 0, 1,
                 {0, 0, 0, 0x23}, 3},
        received{"hex_as_rz_sends_it", hex_header(9, 123456), 0, 9, {0x40, 0xE2, 0x01, 0}, 3},
        received{"bin32_zrpos_1001",
                 {0x2A, 0x18, 0x43, 0x09, 0xE9, 0x03, 0x00, 0x00, 0x87, 0x25, 0x03, 0x62}, 0, 9,
                 {0xE9, 0x03, 0, 0}, 0},
        received{"bin32_zrpos_escaped_position",
                 {0x2A, 0x18, 0x43, 0x09, 0x18, 0x58, 0x18, 0x51, 0x00, 0x00, 0x5B, 0x23, 0x7B, 0x43},
                 0, 9, {0x18, 0x11, 0, 0}, 0},
        received{"bin32_all_escapes", bin32_header(3, 0x93FF1391), 0, 3, {0x91, 0x13, 0xFF, 0x93}, 0},
        // 0x18 0x6C is not ZRUB1: it stands for 0x2C, as any other escape.
        received{"bin32_zrub0_is_plain_escape", zrub0_header(), 0, 3, {0x2C, 0, 0, 0}, 0},
        received{"hex_bad_low_crc",
                 cat({{0x2A, 0x2A, 0x18, 0x42}, text("0100000023be51"), {0x0D, 0x0A, 0x11}}), 1, 1,
                 {0, 0, 0, 0x23}, 3},
        received{"hex_bad_high_crc_leaves_low_pair",
                 cat({{0x2A, 0x2A, 0x18, 0x42}, text("0100000023bf50"), {0x0D, 0x0A, 0x11}}), 1, 1,
                 {0, 0, 0, 0x23}, 5},
        received{"bin32_bad_crc_leaves_rest",
                 {0x2A, 0x18, 0x43, 0x09, 0xE9, 0x03, 0x00, 0x00, 0x87, 0x26, 0x03, 0x62}, 1, 9,
                 {0xE9, 0x03, 0, 0}, 2},
        received{"garbage_and_lone_lead_ins_skipped",
                 cat({{0x0D, 0x8A, 0x11, 0x2A, 0x41, 0x18, 0x00, 0x2A, 0x2A, 0x2A, 0x18, 0x18, 0x55}, zrinit_23}),
                 0, 1, {0, 0, 0, 0x23}, 3},
        received{"zbin_header_skipped",
                 cat({{0x2A, 0x18, 0x41, 0x03, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34}, bin32_header(9, 7)}),
                 0, 9, {7, 0, 0, 0}, 0},
        received{"one_zpad_is_enough_for_hex",
                 cat({{0x2A, 0x18, 0x42}, text("0100000023be50")}), 0, 1, {0, 0, 0, 0x23}, 0},
        // Five CAN in a row are the receiver's cancel: the search ends there, nothing decoded.
        received{"five_can_are_a_cancel",
                 cat({text("A"), bytes(8, 0x18), bytes(10, 0x08)}), 3, 0xEE, {0, 0, 0, 0}, 13},
        received{"four_can_are_not", cat({bytes(4, 0x18), zrinit_23}), 0, 1, {0, 0, 0, 0x23}, 3},
        // The pair rule: a non-digit first byte stands for itself, a non-digit second byte
        // leaves the first digit alone.
        received{"pair_rule", cat({{0x2A, 0x2A, 0x18, 0x42}, text("9Z3-!!\x02q0000"), {0x0D}}), 1, 9,
                 {3, '!', 2, 0}, 1}),
    [](const testing::TestParamInfo<received> &p) { return std::string(p.param.name); });

// Two headers back to back: the CR LF XON of the first are skipped by the second search.
TEST(Receive, ConsecutiveHeadersShareTheLine)
{
    reset_port();
    script_reply("a", hex_header(1, 0x23000000));
    script_reply("b", bin32_header(9, 1001));
    script_reply("c", hex_header(8, 0, true));
    ASSERT_EQ(open_com_port(0, 0), 1);
    EXPECT_EQ(receive_header(), 0);
    EXPECT_EQ(rx_type, 1);
    EXPECT_EQ(receive_header(), 0);
    EXPECT_EQ(rx_type, 9);
    EXPECT_EQ(rx_pos[0], 0xE9);
    EXPECT_EQ(rx_pos[1], 0x03);
    EXPECT_EQ(receive_header(), 0);
    EXPECT_EQ(rx_type, 8);
    EXPECT_EQ(port.script.size() - port.next, 3u);
}

} // namespace
