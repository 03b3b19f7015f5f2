// Whole conversations of the batch send with a scripted receiver: what goes out, in which
// order, what the user sees, and how each failure ends.
#include "recorded.h"
#include "scripted_port.h"
#include "serial_port.h"
#include "wire.h"
#include "zm_proto.h"
#include "zmodem.h"

#include "messages.h"
#include "progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

bytes random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    bytes out(size);
    for (auto &b : out)
        b = (unsigned char)(generator() >> 24);
    return out;
}

// A file of the running test: CTest runs the tests in parallel, each in a process of its own,
// so the test's own name keeps their files apart.
std::string write_file(const std::string &name, const bytes &content)
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string owner = std::string(test->test_suite_name()) + "." + test->name();
    for (char &c : owner)
        if (c == '/')
            c = '_';
    std::string path = testing::TempDir() + "zm_send_" + owner + "_" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f) {
        if (!content.empty())
            std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    return path;
}

// Runs zmodem_send_files on the given files, announced as the given names.
int send(const std::vector<std::string> &paths, const std::vector<std::string> &names,
         unsigned char com_index = 0, unsigned char baud_index = 0)
{
    static char name_list[4][256];
    const char *path_list[4];
    for (std::size_t i = 0; i < paths.size() && i < 4; i++) {
        path_list[i] = paths[i].c_str();
        std::snprintf(name_list[i], sizeof name_list[i], "%s", names[i].c_str());
    }
    return zmodem_send_files((int)paths.size(), path_list, name_list, com_index, baud_index);
}

void reply(const std::string &label, int type, std::uint32_t pos = 0)
{
    script_reply(label, hex_header(type, pos));
}

// The replies of a receiver that takes every file from the start and acknowledges each full
// subpacket.
void script_willing_receiver(const std::vector<std::size_t> &sizes)
{
    reply("ZRINIT", ZRINIT);
    for (std::size_t size : sizes) {
        reply("ZRPOS 0", ZRPOS, 0);
        for (std::size_t k = 0; k < size / 1001; k++)
            reply("ZACK", ZACK, (std::uint32_t)(1001 * (k + 1)));
        reply("ZRINIT", ZRINIT);
    }
    reply("ZFIN", ZFIN);
}

// What a willing receiver sees of one file, from ZFILE to the ZRINIT after ZEOF.
std::string expected_file(const std::string &name, std::size_t size)
{
    std::string s = "ZFILE | info " + name + " " + std::to_string(size) + " | < ZRPOS 0 | ZDATA 0";
    std::size_t at = 0;
    for (; at + 1001 <= size; at += 1001)
        s += " | flush | data 1001 ZCRCW | < ZACK | ZDATA " + std::to_string(at + 1001);
    s += " | data " + std::to_string(size - at) + " ZCRCE | ZEOF " + std::to_string(size) +
         " | < ZRINIT";
    return s;
}

const char *const end_of_batch = "ZFIN | < ZFIN | OO | flush | close";

std::string last_message()
{
    if (message_call_count == 0)
        return "(none)";
    const recorded_message &m = message_calls[message_call_count - 1];
    return std::string(m.caption) + ": " + m.text;
}

class Send : public testing::Test {
protected:
    void SetUp() override
    {
        reset_port();
        clear_recorded();
    }
};

class SendSizes : public Send, public testing::WithParamInterface<std::size_t> {};

TEST_P(SendSizes, WholeConversationAndFileArrive)
{
    std::size_t size = GetParam();
    bytes content = random_bytes(size, (unsigned)size);
    std::string path = write_file("sizes.bin", content);
    script_willing_receiver({size});

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    transcript t = decode_sent();
    EXPECT_EQ(joined(t), "flush | ZRQINIT | < ZRINIT | " + expected_file("dbf1.db0", size) +
                             " | " + end_of_batch);
    EXPECT_EQ(t.files["dbf1.db0"], content);
    EXPECT_EQ(port.script.size() - port.next, 3u) << "every reply read but the last line end";
    EXPECT_EQ(last_message(), "Transfer OK: Files succesfully transferred");
    EXPECT_EQ(message_calls[0].owner, OWNER_ACTIVE);
    EXPECT_EQ(message_call_count, 1);
    EXPECT_EQ(progress_box_open, 0);
}

INSTANTIATE_TEST_SUITE_P(EdgeSizes, SendSizes, testing::Values(0, 1, 1000, 1001, 1002, 1500, 2002, 5000));

TEST_F(Send, TwoFilesReadTheZrinitBetweenThemOnce)
{
    bytes a = random_bytes(1500, 1), b = random_bytes(10, 2);
    std::string pa = write_file("a", a), pb = write_file("b", b);
    script_willing_receiver({1500, 10});

    EXPECT_EQ(send({pa, pb}, {"dbf1.db0", "dbf1.db1"}), 2);

    transcript t = decode_sent();
    EXPECT_EQ(joined(t), "flush | ZRQINIT | < ZRINIT | " + expected_file("dbf1.db0", 1500) + " | " +
                             expected_file("dbf1.db1", 10) + " | " + end_of_batch);
    EXPECT_EQ(t.files["dbf1.db0"], a);
    EXPECT_EQ(t.files["dbf1.db1"], b);
}

TEST_F(Send, AnythingButZrinitBetweenFilesIsNotReady)
{
    std::string pa = write_file("a", random_bytes(10, 1));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS);
    reply("ZACK", ZACK);

    EXPECT_EQ(send({pa, pa}, {"dbf1.db0", "dbf1.db1"}), -1);

    EXPECT_EQ(joined(decode_sent()), "flush | ZRQINIT | < ZRINIT | ZFILE | info dbf1.db0 10 | < ZRPOS 0 | "
                                     "ZDATA 0 | data 10 ZCRCE | ZEOF 10 | < ZACK | cancel | close");
    EXPECT_EQ(last_message(), "Error: Receiver not ready.");
}

TEST_F(Send, NameIsAnnouncedExactlyAsGiven)
{
    std::string path = write_file("DBF1.db2", random_bytes(3, 3));
    script_willing_receiver({3});
    EXPECT_EQ(send({path}, {"Some Name.DB2"}), 1);
    transcript t = decode_sent();
    EXPECT_EQ(t.lines[4], "info Some Name.DB2 3");
}

// A receiver that was listening before the port opened: its start-up ZRINIT waits in the line,
// the ZRQINIT draws a second one, and ZFILE is answered after that.
TEST_F(Send, RepeatedZrinitBeforeTheAnswerToZfileIsSkipped)
{
    std::string path = write_file("r", random_bytes(5, 4));
    reply("ZRINIT", ZRINIT);
    for (int i = 0; i < 10; i++)
        reply("ZRINIT again", ZRINIT);
    reply("ZRPOS 0", ZRPOS);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);
    EXPECT_EQ(last_message(), "Transfer OK: Files succesfully transferred");
}

TEST_F(Send, ElevenRepeatedZrinitAreTooMany)
{
    std::string path = write_file("r", random_bytes(5, 4));
    reply("ZRINIT", ZRINIT);
    for (int i = 0; i < 11; i++)
        reply("ZRINIT again", ZRINIT);
    reply("ZRPOS 0", ZRPOS);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    EXPECT_EQ(last_message(), "Error: excepting file offset in ZRPOS header...");
}

TEST_F(Send, ZskipForZfileEndsTheTransfer)
{
    std::string path = write_file("s", random_bytes(5, 5));
    reply("ZRINIT", ZRINIT);
    reply("ZSKIP", ZSKIP);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);

    EXPECT_EQ(joined(decode_sent()),
              "flush | ZRQINIT | < ZRINIT | ZFILE | info dbf1.db0 5 | < ZSKIP | cancel | close");
    EXPECT_EQ(last_message(), "Error: excepting file offset in ZRPOS header...");
    EXPECT_EQ(progress_box_open, 0);
}

// The offset of the ZRPOS that answers ZFILE is not used; a later ZRPOS moves the sender.
TEST_F(Send, ZrposAfterAFullSubpacketRepositions)
{
    bytes content = random_bytes(3000, 6);
    std::string path = write_file("p", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 500", ZRPOS, 500);
    reply("ZRPOS 200", ZRPOS, 200);
    for (int i = 0; i < 5; i++)
        reply("ZACK", ZACK);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    // After the lost subpacket the next four are shorter.
    transcript t = decode_sent();
    EXPECT_EQ(joined(t), "flush | ZRQINIT | < ZRINIT | ZFILE | info dbf1.db0 3000 | < ZRPOS 500 | "
                         "ZDATA 0 | flush | data 1001 ZCRCW | < ZRPOS 200 | flush | "
                         "ZDATA 200 | data 0 ZCRCW | < ZACK | "
                         "ZDATA 200 | flush | data 512 ZCRCW | < ZACK | "
                         "ZDATA 712 | flush | data 512 ZCRCW | < ZACK | "
                         "ZDATA 1224 | flush | data 512 ZCRCW | < ZACK | "
                         "ZDATA 1736 | flush | data 512 ZCRCW | < ZACK | "
                         "ZDATA 2248 | data 752 ZCRCE | ZEOF 3000 | < ZRINIT | " +
                             std::string(end_of_batch));
    EXPECT_EQ(t.files["dbf1.db0"], content);
    // Progress follows the position: 1 at 1024 bytes, again 1 after moving back to 200, then 2.
    std::vector<int> values;
    for (int i = 0; i < progress_call_count; i++)
        if (progress_calls[i].mode == PROGRESS_UPDATE)
            values.push_back(progress_calls[i].value);
    EXPECT_EQ(values, (std::vector<int>{1, 2}));
}

TEST_F(Send, TenMoreZrposAfterARepositionAreTolerated)
{
    bytes content = random_bytes(1001, 7);
    std::string path = write_file("q", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS 0", ZRPOS, 0);
    for (int i = 0; i < 10; i++)
        reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK", ZACK);
    reply("ZACK", ZACK, 1001); // the data acknowledged with the receiver's offset after them
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);
    EXPECT_EQ(decode_sent().files["dbf1.db0"], content);
}

// A receiver that rejects a subpacket's header asks for its offset twice, and then
// acknowledges both repositions that drew: the second ZACK is not the answer to the data that
// follow, or every later answer would be paired with the frame after its own.
TEST_F(Send, ZackOwedToARepositionSentTwiceIsNotTheAnswerToTheData)
{
    bytes content = random_bytes(2500, 18);
    std::string path = write_file("e", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS 0 again", ZRPOS, 0);
    reply("ZACK 0", ZACK, 0);
    reply("ZACK 0 owed", ZACK, 0);
    for (std::uint32_t at = 512; at <= 2048; at += 512)
        reply("ZACK " + std::to_string(at), ZACK, at);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    transcript t = decode_sent();
    EXPECT_EQ(joined(t), "flush | ZRQINIT | < ZRINIT | ZFILE | info dbf1.db0 2500 | < ZRPOS 0 | "
                         "ZDATA 0 | flush | data 1001 ZCRCW | < ZRPOS 0 | "
                         "flush | ZDATA 0 | data 0 ZCRCW | < ZRPOS 0 again | "
                         "flush | ZDATA 0 | data 0 ZCRCW | < ZACK 0 | "
                         "ZDATA 0 | flush | data 512 ZCRCW | < ZACK 0 owed | < ZACK 512 | "
                         "ZDATA 512 | flush | data 512 ZCRCW | < ZACK 1024 | "
                         "ZDATA 1024 | flush | data 512 ZCRCW | < ZACK 1536 | "
                         "ZDATA 1536 | flush | data 512 ZCRCW | < ZACK 2048 | "
                         "ZDATA 2048 | data 452 ZCRCE | ZEOF 2500 | < ZRINIT | " +
                             std::string(end_of_batch));
    EXPECT_EQ(t.files["dbf1.db0"], content);
}

// The ZACKs owed to a reposition sent several times arrive while the next subpacket is still
// going out and are read before its frame end: that read must not disturb the subpacket's
// running CRC. The decoder checks every subpacket's CRC with the tests' own bitwise CRC.
TEST_F(Send, HeadersReadBeforeAFrameEndLeaveItsCrcWhole)
{
    bytes content = random_bytes(3000, 19);
    std::string path = write_file("c", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    for (int i = 0; i < 4; i++)
        reply("ZRPOS 500", ZRPOS, 500);
    bytes ack = hex_header(ZACK, 500), owed(ack.end() - 3, ack.end()); // from its line end
    script_reply("ZACK 500", bytes(ack.begin(), ack.end() - 3));
    for (int i = 0; i < 3; i++)
        owed.insert(owed.end(), ack.begin(), ack.end());
    script_early_reply("early ZACKs 500", owed);
    for (std::uint32_t at = 1012; at <= 2548; at += 512)
        reply("ZACK " + std::to_string(at), ZACK, at);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    transcript t = decode_sent();
    EXPECT_EQ(t.error, "") << joined(t);
    EXPECT_NE(joined(t).find("ZDATA 500 | flush | < early ZACKs 500 | data 512 ZCRCW | "
                             "< ZACK 1012"),
              std::string::npos)
        << joined(t);
    EXPECT_EQ(t.files["dbf1.db0"], content);
}

// A receiver that gives up sends its cancel; the transfer fails at once, with no wait.
TEST_F(Send, ReceiversCancelEndsTheTransferAtOnce)
{
    std::string path = write_file("x", random_bytes(3000, 20));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    bytes cancel(10, 0x18);
    cancel.insert(cancel.end(), 10, 0x08);
    script_reply("cancel", cancel);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);

    EXPECT_EQ(port.empty_reads, 0);
    std::string t = joined(decode_sent());
    EXPECT_NE(t.find("data 1001 ZCRCW | < cancel | cancel | close"), std::string::npos) << t;
    EXPECT_EQ(last_message(), "Error: Transfer error...");
}

std::string shrinking_path;

// A file cut to 1500 bytes while its second subpacket is due: the transfer fails instead of
// reporting success, and no byte that the file no longer has goes out.
TEST_F(Send, FileThatShrinksWhileSentFailsAndSendsNothingItNoLongerHas)
{
    bytes content = random_bytes(5000, 21);
    shrinking_path = write_file("shrinks", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK 1001", ZACK, 1001);
    port.on_reply = [](const std::string &label) {
        if (label == "ZACK 1001")
            std::filesystem::resize_file(shrinking_path, 1500);
    };

    EXPECT_EQ(send({shrinking_path}, {"dbf1.db0"}), -1);

    transcript t = decode_sent();
    EXPECT_NE(joined(t).find("< ZACK 1001 | cancel | close"), std::string::npos)
        << joined(t);
    EXPECT_EQ(t.files["dbf1.db0"], bytes(content.begin(), content.begin() + 1001));
    EXPECT_EQ(last_message(), "Error: Transfer error...");
}

// A cancel requested (by a signal handler) during the data: the cancel sequence goes out, the
// port and the Progress box close, no box is shown, and the send returns -1 at once.
TEST_F(Send, CancelRequestedDuringTheDataStopsTheSendQuietly)
{
    std::string path = write_file("k", random_bytes(5000, 22));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK 1001", ZACK, 1001);
    port.on_reply = [](const std::string &label) {
        if (label == "ZACK 1001")
            zmodem_request_cancel();
    };

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);

    EXPECT_EQ(zmodem_send_cancelled(), 1);
    EXPECT_EQ(message_call_count, 0);
    EXPECT_EQ(progress_box_open, 0);
    EXPECT_EQ(port.empty_reads, 0);
    ASSERT_EQ(port.events.back().what, "close");
    const bytes cancel = {24, 24, 24, 24, 24, 24, 24, 24, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0};
    EXPECT_EQ(bytes(port.written.end() - 19, port.written.end()), cancel);
    EXPECT_EQ(port.events.back().at, port.written.size());

    reset_port(); // the request is spent: the next send goes through
    script_willing_receiver({5});
    EXPECT_EQ(send({write_file("k5", random_bytes(5, 23))}, {"dbf1.db0"}), 1);
    EXPECT_EQ(zmodem_send_cancelled(), 0);
}

// A bad line: each lost subpacket (a ZRPOS, a damaged answer, a silence) makes the next ones
// a step shorter; four answered in a row make them a step longer, back to 1001.
TEST_F(Send, LossesShortenSubpacketsAndAnswersLengthenThem)
{
    bytes content = random_bytes(6000, 24);
    std::string path = write_file("b", content);
    bytes damaged = hex_header(ZACK, 0);
    damaged[17] ^= 0x01;
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS 0", ZRPOS, 0); // the first subpacket is lost
    reply("ZACK", ZACK);
    script_reply("damaged", damaged); // the second
    reply("ZACK", ZACK);
    script_silence(1); // the third
    reply("ZACK", ZACK);
    for (int i = 0; i < 14; i++)
        reply("ZACK", ZACK);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    transcript t = decode_sent();
    std::vector<int> lengths;
    for (const std::string &line : t.lines)
        if (line.rfind("data ", 0) == 0 && line != "data 0 ZCRCW")
            lengths.push_back(std::stoi(line.substr(5)));
    EXPECT_EQ(lengths, (std::vector<int>{1001, 512, 256, 128, 128, 128, 128, 256, 256, 256, 256,
                                         512, 512, 512, 512, 1001, 1001, 414}))
        << joined(t);
    EXPECT_EQ(t.files["dbf1.db0"], content);
}

TEST_F(Send, TwelfthHeaderAfterARepositionFailsWhateverItIs)
{
    std::string path = write_file("q", random_bytes(1001, 7));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS 0", ZRPOS, 0);
    for (int i = 0; i < 11; i++)
        reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK", ZACK);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    EXPECT_EQ(port.script.size() - port.next, 3u) << "all but the last header's line end read";
    EXPECT_EQ(last_message(), "Error: Transfer error...");
    std::string t = joined(decode_sent());
    EXPECT_NE(t.find("< ZACK | cancel | close"), std::string::npos) << t;
}

TEST_F(Send, ZrposBeyondWhatTheSenderCanSeekIsATransferError)
{
    std::string path = write_file("q", random_bytes(1001, 7));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZRPOS far", ZRPOS, 0xFFFFFFF0u);
    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    EXPECT_EQ(last_message(), "Error: Transfer error...");
}

TEST_F(Send, ZnakOrZskipAfterASubpacketMeansGoOn)
{
    bytes content = random_bytes(2100, 8);
    std::string path = write_file("n", content);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS);
    reply("ZNAK", ZNAK);
    reply("ZSKIP", ZSKIP);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);
    transcript t = decode_sent();
    EXPECT_NE(joined(t).find("< ZNAK | ZDATA 1001 | flush | data 1001 ZCRCW | < ZSKIP | ZDATA 2002"),
              std::string::npos);
    EXPECT_EQ(t.files["dbf1.db0"], content);
}

TEST_F(Send, WrongAnswerToZfin)
{
    std::string path = write_file("f", random_bytes(5, 9));
    script_willing_receiver({5});
    port.script.resize(port.script.size() - hex_header(ZFIN, 0).size());
    port.labels.resize(port.script.size());
    reply("ZACK", ZACK);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    std::string t = joined(decode_sent());
    EXPECT_NE(t.find("ZFIN | < ZACK | cancel | close"), std::string::npos) << t;
    EXPECT_EQ(t.find("OO"), std::string::npos);
    EXPECT_EQ(last_message(), "Error: Unexpected zmodem header (expect ZFIN)");
}

// The receiver's ZRPOS after ZEOF, between two files, asks for the end of the first file
// again: the sender goes back there instead of taking it for "not ready".
TEST_F(Send, ZrposAfterZeofSendsAgainFromItsOffset)
{
    bytes a = random_bytes(1500, 15), b = random_bytes(10, 16);
    std::string pa = write_file("a", a), pb = write_file("b", b);
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK", ZACK, 1001);
    reply("ZRPOS 1001", ZRPOS, 1001);
    reply("ZACK", ZACK, 1001);
    script_willing_receiver({10});

    EXPECT_EQ(send({pa, pb}, {"dbf1.db0", "dbf1.db1"}), 2);

    transcript t = decode_sent();
    EXPECT_NE(joined(t).find("data 499 ZCRCE | ZEOF 1500 | < ZRPOS 1001 | flush | ZDATA 1001 | data 0 ZCRCW | "
                             "< ZACK | ZDATA 1001 | data 499 ZCRCE | ZEOF 1500 | < ZRINIT | ZFILE"),
              std::string::npos)
        << joined(t);
    EXPECT_EQ(t.files["dbf1.db0"], a);
    EXPECT_EQ(t.files["dbf1.db1"], b);
}

// A header whose CRC failed is not acted on as what it decoded to: after ZEOF a damaged
// ZRINIT does not end the file; the data not yet answered go again.
TEST_F(Send, DamagedZrinitAfterZeofIsNotTakenForOne)
{
    bytes content = random_bytes(1500, 17);
    std::string path = write_file("d", content);
    bytes damaged = hex_header(ZRINIT, 0);
    damaged[17] ^= 0x01; // the last CRC digit
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS, 0);
    reply("ZACK", ZACK, 1001);
    script_reply("damaged ZRINIT", damaged);
    reply("ZACK", ZACK, 1001);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);

    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    transcript t = decode_sent();
    EXPECT_NE(joined(t).find("ZEOF 1500 | < damaged ZRINIT | flush | ZDATA 1001 | data 0 ZCRCW | < ZACK | "
                             "ZDATA 1001 | data 499 ZCRCE | ZEOF 1500 | < ZRINIT | ZFIN"),
              std::string::npos)
        << joined(t);
    EXPECT_EQ(t.files["dbf1.db0"], content);
}

// The end of the batch reads up to eleven headers for its ZRINIT.
TEST_F(Send, TenOtherHeadersBeforeTheLastZrinit)
{
    std::string path = write_file("z", random_bytes(5, 10));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS);
    for (int i = 0; i < 10; i++)
        reply("ZACK", ZACK);
    reply("ZRINIT", ZRINIT);
    reply("ZFIN", ZFIN);
    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);
}

TEST_F(Send, NoZrinitAtTheEnd)
{
    std::string path = write_file("z", random_bytes(5, 10));
    reply("ZRINIT", ZRINIT);
    reply("ZRPOS 0", ZRPOS);
    for (int i = 0; i < 11; i++)
        reply("ZACK", ZACK);
    reply("ZRINIT too late", ZRINIT);
    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    EXPECT_EQ(port.script.size() - port.next, 3u) << "the late ZRINIT is read, then refused";
    EXPECT_EQ(last_message(), "Error: Unexpected zmodem header (expected ZRINIT)");
}

TEST_F(Send, FirstHeaderNotZrinit)
{
    std::string path = write_file("z", random_bytes(5, 10));
    reply("ZFIN", ZFIN);
    EXPECT_EQ(send({path}, {"dbf1.db0"}), -1);
    EXPECT_EQ(last_message(), "Error: Receiver not ready.");
}

TEST_F(Send, MissingFile)
{
    reply("ZRINIT", ZRINIT);
    EXPECT_EQ(send({testing::TempDir() + "no such file"}, {"dbf1.db0"}), -1);
    EXPECT_EQ(joined(decode_sent()), "flush | ZRQINIT | < ZRINIT | cancel | close");
    EXPECT_EQ(last_message(), "Error: Error opening file.");
}

TEST_F(Send, NoFilesSendsNothingAndOpensNothing)
{
    EXPECT_EQ(send({}, {}), -1);
    EXPECT_EQ(port.opens, 0);
    EXPECT_TRUE(port.written.empty());
    EXPECT_EQ(last_message(), "Error: No files!");
    EXPECT_EQ(message_call_count, 1);
}

struct unopenable {
    const char *name;
    unsigned char com, baud;
    bool refuse_open, refuse_setup;
    int opens;
};

void PrintTo(const unopenable &u, std::ostream *os)
{
    *os << u.name;
}

class SendUnopenable : public Send, public testing::WithParamInterface<unopenable> {};

TEST_P(SendUnopenable, CantOpenComPortAndNothingIsSent)
{
    const unopenable &u = GetParam();
    port.refuse_open = u.refuse_open;
    port.refuse_setup = u.refuse_setup;
    std::string path = write_file("u", random_bytes(5, 11));

    EXPECT_EQ(send({path}, {"dbf1.db0"}, u.com, u.baud), -1);

    EXPECT_EQ(port.opens, u.opens);
    EXPECT_TRUE(port.written.empty());
    EXPECT_EQ(port_handle, RAW_PORT_NONE);
    EXPECT_EQ(last_message(), "Error: Can't open COM port.");
    EXPECT_EQ(message_call_count, 1);
    ASSERT_EQ(progress_call_count, 2);
    EXPECT_EQ(progress_calls[0].mode, PROGRESS_OPEN);
    EXPECT_EQ(progress_calls[1].mode, PROGRESS_CLOSE);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, SendUnopenable,
    testing::Values(unopenable{"absent", 0, 0, true, false, 1},
                    unopenable{"settings_refused", 0, 0, false, true, 1},
                    unopenable{"typed_rate", 0, 255, false, false, 0},
                    unopenable{"rate_index_5", 0, 5, false, false, 0},
                    unopenable{"no_port_chosen", 255, 0, false, false, 0},
                    unopenable{"com7", 6, 0, false, false, 0}),
    [](const testing::TestParamInfo<unopenable> &p) { return std::string(p.param.name); });

TEST_F(Send, PortAndRateIndexes)
{
    const std::uint32_t rates[5] = {115200, 57600, 38400, 19200, 9600};
    for (int baud = 0; baud < 5; baud++) {
        reset_port();
        ASSERT_EQ(open_com_port((unsigned char)(5 - baud), (unsigned char)baud), 1);
        EXPECT_EQ(port.baud, rates[baud]);
        EXPECT_EQ(port.open_index, 5 - baud);
    }
    close_port();
}

TEST_F(Send, ProgressLabelAndValues)
{
    std::string path = write_file("g", random_bytes(12345, 12));
    script_willing_receiver({12345});
    EXPECT_EQ(send({path}, {"dbf1.db0"}), 1);

    ASSERT_GE(progress_call_count, 3);
    EXPECT_EQ(progress_calls[0].mode, PROGRESS_OPEN);
    EXPECT_EQ(progress_calls[progress_call_count - 1].mode, PROGRESS_CLOSE);
    std::vector<int> values;
    for (int i = 1; i < progress_call_count - 1; i++) {
        EXPECT_EQ(progress_calls[i].mode, PROGRESS_UPDATE);
        EXPECT_STREQ(progress_calls[i].status_text, " Wysy\xB3" "anie pliku dbf1.db0 ( 12 kb): ");
        values.push_back(progress_calls[i].value);
    }
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

// A name as long as the list allows and a size in the gigabytes still fit the label.
TEST_F(Send, ProgressLabelFitsForAnyNameAndSize)
{
    std::string path = write_file("l", random_bytes(5, 13));
    std::string name(255, 'n');
    script_willing_receiver({5});
    EXPECT_EQ(send({path}, {name}), 1);
    EXPECT_LT(std::strlen(status_text), sizeof status_text);
    EXPECT_EQ(std::string(status_text).substr(0, 19), " Wysy\xB3" "anie pliku nn");
}

// The receive_byte rule: a byte on the ninth read still counts; the tenth read is the end.
TEST_F(Send, AByteOnTheNinthReadCounts)
{
    script_silence(8);
    script_reply("x", {0x41});
    ASSERT_EQ(open_com_port(0, 0), 1);
    EXPECT_EQ(receive_byte(), 0x41);
    EXPECT_EQ(port.reads, 9);
}

TEST_F(Send, AbortWithoutAPortStillShowsItsBox)
{
    abort_transfer("something");
    EXPECT_TRUE(port.written.empty());
    EXPECT_EQ(last_message(), "Error: something");
    ASSERT_EQ(progress_call_count, 1);
    EXPECT_EQ(progress_calls[0].mode, PROGRESS_CLOSE);
}

using SendDeathTest = Send;

// A byte that arrives during the tenth read does not save the transfer.
TEST_F(SendDeathTest, TenthReadEndsTheProcessEvenWithAByte)
{
    script_silence(9);
    script_reply("late", hex_header(ZRINIT, 0));
    ASSERT_EQ(open_com_port(0, 0), 1);
    EXPECT_EXIT(receive_byte(), testing::ExitedWithCode(1), "Error: Timeout error");
}

TEST_F(SendDeathTest, SilentReceiverEndsTheProcessWithStatusOne)
{
    std::string path = write_file("d", random_bytes(5, 14));
    EXPECT_EXIT(send({path}, {"dbf1.db0"}), testing::ExitedWithCode(1),
                "cancel sent, then Error: Timeout error");
}

TEST_F(SendDeathTest, SilenceInTheMiddleOfAHeader)
{
    std::string path = write_file("d", random_bytes(5, 14));
    bytes half = hex_header(ZRINIT, 0);
    half.resize(9);
    script_reply("half", half);
    EXPECT_EXIT(send({path}, {"dbf1.db0"}), testing::ExitedWithCode(1), "Error: Timeout error");
}

} // namespace
