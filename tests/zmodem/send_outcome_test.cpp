// What a batch send tells its caller besides its count: the kind of ending and the message
// of the box it showed, and a cancel asked for in the middle of a wait.
#include "messages.h"
#include "progress.h"
#include "recorded.h"
#include "scripted_port.h"
#include "serial_port.h"
#include "wire.h"
#include "zm_proto.h"
#include "zmodem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class SendOutcome : public testing::Test {
protected:
    std::string path = testing::TempDir() + "zm_outcome.bin";
    char names[1][256] = {"dbf1.db0"};

    void SetUp() override
    {
        reset_port();
        clear_recorded();
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        for (int i = 0; i < 3000; i++)
            std::fputc(i & 0xFF, f);
        std::fclose(f);
    }
    void TearDown() override { cancel_request = 0; }

    int send(send_outcome *outcome)
    {
        const char *paths[1] = {path.c_str()};
        return zmodem_send_files(1, paths, names, 0, 0, outcome);
    }
};

TEST_F(SendOutcome, EachEndingTellsItsKindAndTheMessageOfItsBox)
{
    struct ending {
        const char *what;
        send_kind kind;
        const char *message;
    };
    const ending endings[] = {{"done", SEND_DONE, MSG_TRANSFER_DONE},
                              {"no port", SEND_NO_PORT, MSG_CANT_OPEN_PORT},
                              {"skipped", SEND_REFUSED, MSG_EXPECTING_ZRPOS},
                              {"not ready", SEND_REFUSED, MSG_RECEIVER_NOT_READY},
                              {"no end", SEND_FAILED, MSG_EXPECTED_ZRINIT}};
    for (const ending &e : endings) {
        SCOPED_TRACE(e.what);
        reset_port();
        clear_recorded();
        const std::string what = e.what;
        port.refuse_open = what == "no port";
        script_reply("ZRINIT", hex_header(what == "not ready" ? ZACK : ZRINIT, 0));
        script_reply("answer", hex_header(what == "skipped" ? ZSKIP : ZRPOS, 0));
        for (int k = 1; k <= 2; k++)
            script_reply("ZACK", hex_header(ZACK, 1001u * k));
        for (int k = 0; k < (what == "no end" ? 12 : 1); k++)
            script_reply("after ZEOF", hex_header(what == "no end" ? ZACK : ZRINIT, 3000));
        script_reply("ZFIN", hex_header(ZFIN, 0));

        send_outcome outcome = {SEND_CANCELLED, nullptr};
        EXPECT_EQ(send(&outcome), e.kind == SEND_DONE ? 1 : -1);
        EXPECT_EQ(outcome.kind, e.kind);
        ASSERT_TRUE(outcome.message);
        EXPECT_STREQ(outcome.message, e.message);
        ASSERT_GT(message_call_count, 0);
        EXPECT_STREQ(message_calls[message_call_count - 1].text, e.message);
    }
}

// Asked while it waits for the answer to ZFILE: the receiver is told at once, the port and
// the box close, no box is shown, and the call returns.
TEST_F(SendOutcome, CancelDuringAWaitSendsTheCancelSequenceAndShowsNothing)
{
    const bytes ready = hex_header(ZRINIT, 0);
    script_reply("ZRINIT", ready);
    script_silence(20);
    port.cancel_at_read = static_cast<int>(ready.size()) + 1;

    send_outcome outcome = {SEND_DONE, MSG_TRANSFER_DONE};
    EXPECT_EQ(send(&outcome), -1);
    EXPECT_EQ(outcome.kind, SEND_CANCELLED);
    EXPECT_EQ(outcome.message, nullptr);
    EXPECT_EQ(message_call_count, 0);
    EXPECT_EQ(progress_box_open, 0);
    EXPECT_LE(port.reads, port.cancel_at_read + 1) << "the send went on waiting";
    const bytes cancel = {24, 24, 24, 24, 24, 24, 24, 24, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0};
    ASSERT_GE(port.written.size(), cancel.size());
    EXPECT_EQ(bytes(port.written.end() - 19, port.written.end()), cancel);
    ASSERT_FALSE(port.events.empty());
    EXPECT_EQ(port.events.back().what, "close");
}

} // namespace
