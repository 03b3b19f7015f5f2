// The job's file moves, its wait and its call of the batch send, seen through the recording
// send and wait.
#include "convert_job.h"

#include "convert_fixture.h"
#include "progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char *const FINAL_NAMES[] = {"DBF1.db0", "DBF1.db1", "DBF1.db2"};
const char *const TEMP_NAMES[] = {"~tmpdbf.db0", "~tmpdbf.db1", "~tmpdbf.db2"};

class convert_job_test : public convert_test {
protected:
    void expect_no_converted_files() const
    {
        for (int i = 0; i < 3; i++) {
            EXPECT_FALSE(folder.exists(FINAL_NAMES[i])) << FINAL_NAMES[i];
            EXPECT_FALSE(folder.exists(TEMP_NAMES[i])) << TEMP_NAMES[i];
        }
    }
    // The conversion's box is open when the job starts, as the run sequence leaves it.
    void open_box() { show_progress(PROGRESS_OPEN, 0); }
};

TEST_F(convert_job_test, two_keys_send_three_files_by_full_path_under_fixed_names)
{
    settings.key2_offset = 5;
    settings.key2_length = 4;
    settings.com_index = 5;
    settings.baud_index = 4;
    for (int i = 0; i < 3; i++)
        folder.write(FINAL_NAMES[i], "left by an earlier run");
    open_lookup("AAAA1111\r\nBBBB2222\r\n");
    open_box();

    EXPECT_EQ(convert_and_send(), 1);

    ASSERT_EQ(send_call_count, 1);
    const recorded_send &call = send_calls[0];
    EXPECT_EQ(call.count, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(std::string(call.paths[i]), folder.file(FINAL_NAMES[i]));
        // Record file: 1024-byte header and two records of 8; the indexes are whole blocks.
        EXPECT_GT(call.sizes[i], 0) << i;
        EXPECT_NE(call.sizes[i], 22) << "the earlier run's file was sent: " << i;
    }
    EXPECT_EQ(call.sizes[0], 1024 + 2 * 8);
    EXPECT_STREQ(call.names[0], "dbf1.db0");
    EXPECT_STREQ(call.names[1], "dbf1.db1");
    EXPECT_STREQ(call.names[2], "dbf1.db2");
    EXPECT_EQ(call.com_index, 5);
    EXPECT_EQ(call.baud_index, 4);
    EXPECT_EQ(call.progress_open, 0) << "the conversion's box must be closed before the send";
    EXPECT_EQ(call.waits_before, 1);
    ASSERT_EQ(wait_call_count, 1);
    EXPECT_EQ(wait_calls[0], 3000u);
    expect_no_converted_files();
}

TEST_F(convert_job_test, one_key_sends_two_files_and_clears_an_old_third)
{
    folder.write("DBF1.db2", "left by an earlier run");
    open_lookup("AAAA\r\n");
    open_box();
    EXPECT_EQ(convert_and_send(), 1);
    ASSERT_EQ(send_call_count, 1);
    EXPECT_EQ(send_calls[0].count, 2);
    EXPECT_STREQ(send_calls[0].names[0], "dbf1.db0");
    EXPECT_STREQ(send_calls[0].names[1], "dbf1.db1");
    EXPECT_EQ(std::string(send_calls[0].paths[1]), folder.file("DBF1.db1"));
    EXPECT_EQ(send_calls[0].com_index, 1);
    EXPECT_EQ(send_calls[0].baud_index, 1);
    expect_no_converted_files();
}

TEST_F(convert_job_test, port_and_rate_go_out_as_their_low_bytes)
{
    settings.com_index = -1;
    settings.baud_index = 0x104;
    open_lookup("AAAA\r\n");
    EXPECT_EQ(convert_and_send(), 1);
    ASSERT_EQ(send_call_count, 1);
    EXPECT_EQ(send_calls[0].com_index, 0xFF);
    EXPECT_EQ(send_calls[0].baud_index, 0x04);
}

TEST_F(convert_job_test, failed_conversion_neither_waits_nor_sends_and_leaves_nothing)
{
    settings.key2_offset = 5;
    settings.key2_length = 4;
    settings.key1_offset = 0;
    open_lookup("AAAA1111\r\n");
    open_box();
    EXPECT_EQ(convert_and_send(), 0);
    EXPECT_EQ(send_call_count, 0);
    EXPECT_EQ(wait_call_count, 0);
    EXPECT_EQ(progress_box_open, 0);
    expect_no_converted_files();
}

TEST_F(convert_job_test, failed_send_still_returns_the_conversion_result)
{
    send_result = -1;
    open_lookup("AAAA\r\n");
    EXPECT_EQ(convert_and_send(), 1);
    EXPECT_EQ(send_call_count, 1);
    expect_no_converted_files();
}

TEST_F(convert_job_test, send_mode_other_than_after_success_sends_nothing)
{
    for (int mode : {0, 2}) {
        settings.send_mode = mode;
        open_lookup("AAAA\r\n");
        EXPECT_EQ(convert_and_send(), 1);
        close_lookup();
    }
    EXPECT_EQ(send_call_count, 0);
    EXPECT_EQ(wait_call_count, 0);
    expect_no_converted_files();
}

// A damaged record file left under the temporary name makes one conversion fail; the job
// moves it away and deletes it, so the next run succeeds.
TEST_F(convert_job_test, damaged_leftover_fails_one_run_and_is_cleared)
{
    folder.write("~tmpdbf.db0", "not a record file");
    open_lookup("AAAA\r\n");
    EXPECT_EQ(convert_and_send(), 0);
    expect_no_converted_files();
    close_lookup();

    open_lookup("AAAA\r\n");
    EXPECT_EQ(convert_and_send(), 1);
    EXPECT_EQ(send_call_count, 1);
}

} // namespace
