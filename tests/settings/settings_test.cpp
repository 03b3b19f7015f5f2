// The settings file read and written byte for byte, the derived paths and the lookup path.
#include "settings.h"

#include "messages.h"
#include "recorded.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

class settings_test : public testing::Test {
protected:
    void SetUp() override { clear_recorded(); }

    // Loads as a program "kestrel.exe" in the test's folder would, with the given settings
    // file (none when bytes is nullptr).
    void load_with(const char *bytes, std::size_t length)
    {
        if (bytes)
            folder.write("tabsync.ini", std::string(bytes, length));
        ASSERT_EQ(load_settings_for(folder.file("kestrel.exe").c_str()), 1);
    }
    void load_with(const std::string &bytes) { load_with(bytes.data(), bytes.size()); }
    void load_without_file() { load_with(nullptr, 0); }

    void expect_defaults_after_folder()
    {
        EXPECT_STREQ(settings.lookup_name, "");
        EXPECT_EQ(settings.line_length, 0);
        EXPECT_EQ(settings.key1_offset, 1);
        EXPECT_EQ(settings.key1_length, 1);
        EXPECT_EQ(settings.key2_offset, 0);
        EXPECT_EQ(settings.key2_length, 0);
        EXPECT_EQ(settings.com_index, 0);
        EXPECT_EQ(settings.baud_index, 1);
        EXPECT_EQ(settings.show_dialog, 1);
        EXPECT_EQ(settings.send_mode, 1);
    }

    test_folder folder;
};

const char EXAMPLE[] = "D:\\dane\\\r\nLOOKUP.TXT\r\n40\r\n1\r\n13\r\n0\r\n0\r\n2\r\n2\r\n1\r\n";

TEST_F(settings_test, missing_file_gives_defaults_and_paths_beside_the_program)
{
    // Earlier values must not survive a load.
    settings.key1_offset = 77;
    settings.show_dialog = 0;
    load_without_file();
    EXPECT_EQ(std::string(settings.folder), folder.path());
    expect_defaults_after_folder();
    EXPECT_EQ(std::string(settings_path), folder.file("tabsync.ini"));
    EXPECT_EQ(std::string(temp_base), folder.file("~tmpdbf"));
    EXPECT_EQ(std::string(db0_path), folder.file("DBF1.db0"));
    EXPECT_EQ(std::string(db1_path), folder.file("DBF1.db1"));
    EXPECT_EQ(std::string(db2_path), folder.file("DBF1.db2"));
    EXPECT_EQ(message_call_count, 0);
}

TEST_F(settings_test, running_program_folder_is_the_default_folder)
{
    ASSERT_EQ(load_settings(), 1);
    EXPECT_EQ(std::string(db0_path), program_folder() + "DBF1.db0");
    EXPECT_EQ(std::string(settings_path), program_folder() + "tabsync.ini");
}

TEST_F(settings_test, example_file_reads_to_its_values)
{
    load_with(EXAMPLE, sizeof EXAMPLE - 1);
    EXPECT_STREQ(settings.folder, "D:\\dane\\");
    EXPECT_STREQ(settings.lookup_name, "LOOKUP.TXT");
    EXPECT_EQ(settings.line_length, 40);
    EXPECT_EQ(settings.key1_offset, 1);
    EXPECT_EQ(settings.key1_length, 13);
    EXPECT_EQ(settings.key2_offset, 0);
    EXPECT_EQ(settings.key2_length, 0);
    EXPECT_EQ(settings.com_index, 1);
    EXPECT_EQ(settings.baud_index, 1);
    EXPECT_EQ(settings.show_dialog, 1);
}

TEST_F(settings_test, save_writes_the_ten_lines_exactly)
{
    load_without_file();
    std::strcpy(settings.folder, "D:\\dane\\");
    std::strcpy(settings.lookup_name, "LOOKUP.TXT");
    settings.line_length = 40;
    settings.key1_offset = 1;
    settings.key1_length = 13;
    settings.key2_offset = 0;
    settings.key2_length = 0;
    settings.com_index = 1;
    settings.baud_index = 1;
    settings.show_dialog = 1;
    save_settings();
    EXPECT_EQ(folder.read("tabsync.ini"), std::string(EXAMPLE));

    settings.key1_offset = -5;
    settings.key2_offset = INT_MIN;
    settings.key2_length = INT_MAX;
    settings.com_index = -1;
    settings.baud_index = 8;
    settings.show_dialog = 0;
    settings.line_length = 255;
    save_settings();
    EXPECT_EQ(folder.read("tabsync.ini"),
              "D:\\dane\\\r\nLOOKUP.TXT\r\n255\r\n-5\r\n13\r\n-2147483648\r\n2147483647\r\n"
              "0\r\n9\r\n0\r\n");
}

struct round_trip_case {
    const char *folder;
    const char *lookup_name;
    unsigned char line_length;
    int key1_offset, key1_length, key2_offset, key2_length;
    int com_index, baud_index, show_dialog;
};

TEST_F(settings_test, every_value_the_dialog_can_produce_reads_back)
{
    const round_trip_case cases[] = {
        {"", "", 0, 0, 0, 0, 0, -1, -1, 0},
        {"C:\\x\\", "a b.txt", 255, INT_MIN, INT_MAX, -1, 1, 8, 8, 1},
        {"\\\\server\\share", "\xB3\xB9\xEA.TXT", 1, 250, 250, 7, 3, 5, 4, 0},
        {"rel", "n", 128, -2147483647, 12345, 2, 0, 0, 0, 1},
    };
    for (const round_trip_case &c : cases) {
        SCOPED_TRACE(c.lookup_name);
        load_without_file();
        std::strcpy(settings.folder, c.folder);
        std::strcpy(settings.lookup_name, c.lookup_name);
        settings.line_length = c.line_length;
        settings.key1_offset = c.key1_offset;
        settings.key1_length = c.key1_length;
        settings.key2_offset = c.key2_offset;
        settings.key2_length = c.key2_length;
        settings.com_index = c.com_index;
        settings.baud_index = c.baud_index;
        settings.show_dialog = c.show_dialog;
        save_settings();

        ASSERT_EQ(load_settings_for(folder.file("kestrel.exe").c_str()), 1);
        EXPECT_STREQ(settings.folder, c.folder);
        EXPECT_STREQ(settings.lookup_name, c.lookup_name);
        EXPECT_EQ(settings.line_length, c.line_length);
        EXPECT_EQ(settings.key1_offset, c.key1_offset);
        EXPECT_EQ(settings.key1_length, c.key1_length);
        EXPECT_EQ(settings.key2_offset, c.key2_offset);
        EXPECT_EQ(settings.key2_length, c.key2_length);
        EXPECT_EQ(settings.com_index, c.com_index);
        EXPECT_EQ(settings.baud_index, c.baud_index);
        EXPECT_EQ(settings.show_dialog, c.show_dialog);
    }
}

TEST_F(settings_test, digit_zero_on_line_eight_is_no_port_and_is_written_again)
{
    load_with(std::string("F\\\r\nL\r\n1\r\n1\r\n1\r\n0\r\n0\r\n0\r\n1\r\n1\r\n"));
    EXPECT_EQ(settings.com_index, -1);
    EXPECT_EQ(settings.baud_index, 0);
    save_settings();
    EXPECT_EQ(folder.read("tabsync.ini"), "F\\\r\nL\r\n1\r\n1\r\n1\r\n0\r\n0\r\n0\r\n1\r\n1\r\n");
}

TEST_F(settings_test, short_files_keep_the_defaults_of_the_lines_they_lack)
{
    // Ends right after line 7: lines 8 to 10 keep their defaults.
    load_with(std::string("F\\\r\nL\r\n9\r\n2\r\n3\r\n4\r\n5\r\n"));
    EXPECT_EQ(settings.key2_length, 5);
    EXPECT_EQ(settings.com_index, 0);
    EXPECT_EQ(settings.baud_index, 1);
    EXPECT_EQ(settings.show_dialog, 1);

    // Line 8 only, then line 9 without its line end: the positions decide.
    load_with(std::string("F\\\r\nL\r\n9\r\n2\r\n3\r\n4\r\n5\r\n3\r\n5"));
    EXPECT_EQ(settings.com_index, 2);
    EXPECT_EQ(settings.baud_index, 4);
    EXPECT_EQ(settings.show_dialog, 1);

    // Line 4 has no line end: it is read, nothing after it is.
    load_with(std::string("F\\\r\nL\r\n9\r\n21"));
    EXPECT_EQ(settings.line_length, 9);
    EXPECT_EQ(settings.key1_offset, 21);
    EXPECT_EQ(settings.key1_length, 1);
    EXPECT_EQ(settings.com_index, 0);
}

TEST_F(settings_test, line_ends_other_than_cr_lf_end_the_reading)
{
    // LF alone: line 1 is never ended properly, so it is the whole text.
    load_with(std::string("D:\\dane\\\nLOOKUP.TXT\n40\n"));
    EXPECT_STREQ(settings.folder, "D:\\dane\\\nLOOKUP.TXT\n40\n");
    expect_defaults_after_folder();

    // A lone CR in line 2: line 2 runs to the end of the text.
    load_with(std::string("D:\\\r\nA\rB\r\n40\r\n"));
    EXPECT_STREQ(settings.folder, "D:\\");
    EXPECT_STREQ(settings.lookup_name, "A\rB\r\n40\r\n");
    EXPECT_EQ(settings.line_length, 0);
}

TEST_F(settings_test, empty_file_empties_the_folder_only)
{
    load_with("", 0);
    EXPECT_STREQ(settings.folder, "");
    expect_defaults_after_folder();
    EXPECT_EQ(std::string(temp_base), folder.file("~tmpdbf"));
}

TEST_F(settings_test, number_lines_read_as_atoi_within_their_line)
{
    load_with(std::string("F\r\nL\r\n300\r\n12abc\r\nabc\r\n  -7x\r\n+8\r\n1\r\n1\r\n1\r\n"));
    EXPECT_EQ(settings.line_length, 44);
    EXPECT_EQ(settings.key1_offset, 12);
    EXPECT_EQ(settings.key1_length, 0);
    EXPECT_EQ(settings.key2_offset, -7);
    EXPECT_EQ(settings.key2_length, 8);

    // An empty number line is 0; it does not borrow the next line's number.
    load_with(std::string("F\r\nL\r\n\r\n5\r\n\r\n6\r\n7\r\n1\r\n1\r\n1\r\n"));
    EXPECT_EQ(settings.line_length, 0);
    EXPECT_EQ(settings.key1_offset, 5);
    EXPECT_EQ(settings.key1_length, 0);
    EXPECT_EQ(settings.key2_offset, 6);

    load_with(std::string("F\r\nL\r\n-1\r\n99999999999\r\n"));
    EXPECT_EQ(settings.line_length, 255);
    EXPECT_EQ(settings.key1_offset, static_cast<int>(99999999999LL & 0xFFFFFFFF));
}

TEST_F(settings_test, file_longer_than_the_buffer_is_read_as_far_as_it_fits)
{
    std::string long_folder(1500, 'x');
    load_with(long_folder + "\r\nL\r\n40\r\n");
    EXPECT_EQ(std::strlen(settings.folder), 1023u);
    EXPECT_EQ(settings.line_length, 0);

    // The buffer's end cuts line 2 short of its CR LF: it is taken as it stands.
    std::string near(1015, 'y');
    load_with(near + "\r\nLOOKUP.TXT\r\n40\r\n");
    EXPECT_STREQ(settings.lookup_name, "LOOKUP");
    EXPECT_EQ(settings.line_length, 0);
}

TEST_F(settings_test, program_folder_too_long_for_the_paths_is_refused)
{
    // The longest folder that leaves room for "tabsync.ini" and its terminator: 1012 bytes.
    std::string fits = "/" + std::string(1010, 'a') + "/";
    ASSERT_EQ(fits.size(), 1012u);
    EXPECT_EQ(load_settings_for((fits + "k.exe").c_str()), 1);
    EXPECT_EQ(std::string(settings_path), fits + "tabsync.ini");
    EXPECT_EQ(message_call_count, 0);

    std::string too_long = "/" + std::string(1011, 'a') + "/";
    EXPECT_EQ(load_settings_for((too_long + "k.exe").c_str()), 0);
    EXPECT_STREQ(settings_path, "");
    EXPECT_STREQ(temp_base, "");
    EXPECT_STREQ(db2_path, "");
    ASSERT_EQ(message_call_count, 1);
    EXPECT_STREQ(message_calls[0].text, MSG_FOLDER_TOO_LONG);
    EXPECT_STREQ(message_calls[0].caption, "Error");
}

TEST_F(settings_test, save_into_a_missing_folder_writes_nothing)
{
    ASSERT_EQ(load_settings_for(folder.file("no-such-folder/kestrel.exe").c_str()), 1);
    save_settings();
    EXPECT_FALSE(folder.exists("no-such-folder"));
    EXPECT_EQ(message_call_count, 0);
}

TEST(compose_lookup_path_test, joins_folder_and_name_with_one_backslash)
{
    std::strcpy(settings.lookup_name, "LOOKUP.TXT");
    std::strcpy(settings.folder, "D:\\dane");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "D:\\dane\\LOOKUP.TXT");
    std::strcpy(settings.folder, "D:\\dane\\");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "D:\\dane\\LOOKUP.TXT");
    settings.folder[0] = '\0';
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "LOOKUP.TXT");
    settings.lookup_name[0] = '\0';
    std::strcpy(settings.folder, "D:\\dane");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "D:\\dane\\");
}

TEST(compose_lookup_path_test, joins_a_folder_written_with_slashes_with_a_slash)
{
    std::strcpy(settings.lookup_name, "LOOKUP.TXT");
    std::strcpy(settings.folder, "/srv/tables");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "/srv/tables/LOOKUP.TXT");
    std::strcpy(settings.folder, "/srv/tables/");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "/srv/tables/LOOKUP.TXT");
    std::strcpy(settings.folder, "D:\\dane/sub");
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "D:\\dane/sub\\LOOKUP.TXT");
}

TEST(compose_lookup_path_test, path_too_long_for_its_buffer_is_left_empty)
{
    std::memset(settings.folder, 'f', 1000);
    settings.folder[1000] = '\0';
    std::memset(settings.lookup_name, 'n', 22);
    settings.lookup_name[22] = '\0';
    compose_lookup_path();
    EXPECT_EQ(std::strlen(lookup_path), 1023u);
    settings.lookup_name[22] = 'n';
    settings.lookup_name[23] = '\0';
    compose_lookup_path();
    EXPECT_STREQ(lookup_path, "");
}

TEST(second_key_test, needs_both_settings_above_zero)
{
    const int cases[][3] = {{1, 1, 1}, {0, 1, 0}, {1, 0, 0}, {-1, 5, 0}, {5, -1, 0}, {0, 0, 0},
                            {INT_MAX, INT_MAX, 1}, {INT_MIN, 1, 0}};
    for (const auto &c : cases) {
        settings.key2_offset = c[0];
        settings.key2_length = c[1];
        EXPECT_EQ(second_key_configured(), c[2]) << c[0] << " " << c[1];
    }
}

} // namespace
