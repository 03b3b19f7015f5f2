// Conversions of crafted lookup files, checked through the record store and the checker.
#include "lookup_convert.h"

#include "convert_fixture.h"
#include "messages.h"
#include "progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace {

using strings = std::vector<std::string>;

// The index order the store must give: records sorted by the key bytes, compared unsigned.
strings sorted_by_key(strings records, int offset, int length)
{
    std::stable_sort(records.begin(), records.end(), [&](const std::string &a, const std::string &b) {
        return a.compare(static_cast<std::size_t>(offset), static_cast<std::size_t>(length), b,
                         static_cast<std::size_t>(offset), static_cast<std::size_t>(length)) < 0;
    });
    return records;
}

// Keys equal in a and b, ignoring the order among records with equal keys.
void expect_same_keys_in_order(const strings &got, const strings &want, int offset, int length)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); i++)
        EXPECT_EQ(got[i].substr(offset, length), want[i].substr(offset, length)) << "rank " << i;
    strings a = got, b = want;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
}

TEST_F(convert_test, every_cr_ends_a_line_and_lf_is_dropped)
{
    // CR LF, lone CR, lone LF (joins two lines), a blank line, CR CR, no final CR.
    open_lookup("AAAA\r\nBBBB\rCC\nDDDDDD\r\n\r\nX\r\rEE");
    ASSERT_EQ(convert_lookup(), 1);
    const std::size_t n = 8;
    EXPECT_EQ(records_of(temp()), (strings{record("AAAA", n), record("BBBB", n),
                                           record("CCDDDDDD", n), record("", n), record("X", n),
                                           record("", n), record("EE", n)}));
    expect_sound(temp());
    EXPECT_FALSE(folder.exists("~tmpdbf.db2"));
}

TEST_F(convert_test, final_cr_lf_adds_no_record_and_an_empty_file_converts_to_none)
{
    open_lookup("ONE\r\nTWO\r\n");
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(count_of(temp()), 2);
    close_lookup();

    open_lookup("");
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(count_of(temp()), 0);
    EXPECT_TRUE(index_order(temp(), 1).empty());
    expect_sound(temp());
}

TEST_F(convert_test, records_are_cut_or_zero_filled_never_carrying_earlier_lines)
{
    settings.line_length = 10;
    settings.key1_offset = 3;
    settings.key1_length = 4;
    open_lookup("ABCDEFGHIJKLM\r\nAB12\r\n0123456789\r\nZZ\r\n");
    ASSERT_EQ(convert_lookup(), 1);
    strings want = {"ABCDEFGHIJ", record("AB12", 10), "0123456789", record("ZZ", 10)};
    EXPECT_EQ(records_of(temp()), want);
    // ZZ's key is four zeros and sorts first; AB12's key is 1, 2 and two zeros.
    strings order = index_order(temp(), 1);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], record("ZZ", 10));
    EXPECT_EQ(order[1], record("AB12", 10));
    EXPECT_EQ(order[2], "0123456789");
    EXPECT_EQ(order[3], "ABCDEFGHIJ");
    expect_sound(temp());
}

TEST_F(convert_test, line_longer_than_the_line_buffer_is_cut_at_255_characters)
{
    settings.line_length = 255;
    settings.key1_offset = 250;
    settings.key1_length = 6;
    std::string long_line(300, 'L');
    for (std::size_t i = 0; i < long_line.size(); i++)
        long_line[i] = static_cast<char>('A' + i % 26);
    open_lookup(long_line + "\r\n" + std::string(255, 'M') + "\r\nshort\r\n" + long_line);
    ASSERT_EQ(convert_lookup(), 1);
    strings want = {long_line.substr(0, 255), std::string(255, 'M'), record("short", 255),
                    long_line.substr(0, 255)};
    EXPECT_EQ(records_of(temp()), want);
    expect_sound(temp());
}

TEST_F(convert_test, nul_tab_and_bytes_above_0x7f_are_kept_byte_for_byte)
{
    settings.line_length = 6;
    settings.key1_offset = 1;
    settings.key1_length = 2;
    const std::string lines[] = {std::string("\xB3\xFF\x80z\tq", 6), std::string("a\0b\tc", 5),
                                 std::string("\x01\x7F", 2)};
    open_lookup(lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n");
    ASSERT_EQ(convert_lookup(), 1);
    strings want = {record(lines[0], 6), record(lines[1], 6), record(lines[2], 6)};
    EXPECT_EQ(records_of(temp()), want);
    // Keys compare as unsigned bytes: 0x01 < 'a' < 0xB3.
    EXPECT_EQ(index_order(temp(), 1), (strings{want[2], want[1], want[0]}));
    expect_sound(temp());
}

TEST_F(convert_test, duplicate_keys_all_become_records_in_both_indexes)
{
    settings.key2_offset = 5;
    settings.key2_length = 4;
    std::string text;
    strings lines;
    for (int i = 0; i < 120; i++) {
        char line[16];
        std::snprintf(line, sizeof line, "K%03d%04d", i % 7, (i * 37) % 11);
        lines.push_back(line);
        text += std::string(line) + "\r\n";
    }
    open_lookup(text);
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(records_of(temp()), lines);
    expect_same_keys_in_order(index_order(temp(), 1), sorted_by_key(lines, 0, 4), 0, 4);
    expect_same_keys_in_order(index_order(temp(), 2), sorted_by_key(lines, 4, 4), 4, 4);
    expect_sound(temp());
}

// Lines of random lengths (blank and over-long ones included) and random line ends, so that
// lines and line ends straddle the reads (pieces of up to 4 KB) everywhere, against a plain
// model.
TEST_F(convert_test, random_files_match_a_model_of_the_line_rules)
{
    unsigned seed = 20240611;
    if (const char *env = std::getenv("SEED"))
        seed = static_cast<unsigned>(std::strtoul(env, nullptr, 10));
    SCOPED_TRACE("SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    settings.line_length = 40;
    settings.key1_offset = 3;
    settings.key1_length = 5;
    settings.key2_offset = 30;
    settings.key2_length = 11;

    std::string text;
    strings want;
    const char *ends[] = {"\r\n", "\r", "\r\n", "\n\r"};
    std::string line;
    for (int i = 0; i < 3000; i++) {
        int length = static_cast<int>(random() % 60);
        if (random() % 50 == 0)
            length = 256 + static_cast<int>(random() % 300);
        std::string part;
        for (int k = 0; k < length; k++)
            part += static_cast<char>(random() % 3 == 0 ? ' ' + random() % 95 : random() % 256);
        // LF and CR inside a line would be line rules of their own: keep them at the ends.
        for (char &c : part) {
            if (c == '\r' || c == '\n')
                c = '.';
        }
        const char *end = ends[random() % 4];
        text += part + end;
        line += part;
        if (line.size() > 255)
            line.resize(255);
        want.push_back(record(line, 40));
        line.clear();
    }
    open_lookup(text);
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(records_of(temp()), want);
    expect_same_keys_in_order(index_order(temp(), 1), sorted_by_key(want, 2, 5), 2, 5);
    expect_same_keys_in_order(index_order(temp(), 2), sorted_by_key(want, 29, 11), 29, 11);
    expect_sound(temp());
}

TEST_F(convert_test, progress_shows_every_fiftieth_record_with_its_label)
{
    std::string text;
    for (int i = 0; i < 149; i++)
        text += "LINE\r\n";
    text += "LAST"; // the 150th record has no CR: it gets no update
    open_lookup(text);
    ASSERT_EQ(convert_lookup(), 1);
    ASSERT_EQ(progress_call_count, 2);
    EXPECT_EQ(progress_calls[0].mode, PROGRESS_UPDATE);
    EXPECT_EQ(progress_calls[0].value, 50);
    EXPECT_STREQ(progress_calls[0].status_text, "       Konwersja pliku : ");
    EXPECT_EQ(progress_calls[1].mode, PROGRESS_UPDATE);
    EXPECT_EQ(progress_calls[1].value, 100);
    EXPECT_STREQ(status_text, MSG_PROGRESS_CONVERTING);
    EXPECT_EQ(count_of(temp()), 150);
    close_lookup();

    clear_recorded();
    std::string few;
    for (int i = 0; i < 49; i++)
        few += "FEW\r\n";
    open_lookup(few);
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(progress_call_count, 0);
}

TEST_F(convert_test, bad_first_key_settings_fail_the_conversion)
{
    struct bad { unsigned char line_length; int offset, length; } cases[] = {
        {8, 0, 4},   // offset below 1
        {8, -5, 4},
        {8, 6, 4},   // ends past line_length
        {8, 1, 0},   // no length
        {8, 1, -1},
        {0, 1, 1},   // line_length 0, as when no settings file exists
        {8, -2147483647 - 1, 1},
    };
    open_lookup("ABCDEFGH\r\n");
    for (const bad &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.line_length) << " " << c.offset << " " << c.length);
        settings.line_length = c.line_length;
        settings.key1_offset = c.offset;
        settings.key1_length = c.length;
        EXPECT_EQ(convert_lookup(), 0);
        // A record file of no bytes is refused before any key is looked at.
        EXPECT_EQ(last_convert_failure(),
                  c.line_length == 0 ? CONVERT_NOT_CREATED : CONVERT_NO_INDEX);
    }
}

TEST_F(convert_test, second_key_that_cannot_be_indexed_fails_and_absent_one_builds_one_index)
{
    open_lookup("ABCDEFGH\r\n");
    settings.key2_offset = 7;
    settings.key2_length = 3; // ends past line_length 8
    EXPECT_EQ(convert_lookup(), 0);
    EXPECT_EQ(last_convert_failure(), CONVERT_NO_INDEX);

    const int absent[][2] = {{0, 3}, {3, 0}, {-1, 3}};
    for (const auto &c : absent) {
        settings.key2_offset = c[0];
        settings.key2_length = c[1];
        platform_rewind(lookup_handle);
        ASSERT_EQ(convert_lookup(), 1);
        EXPECT_EQ(count_of(temp()), 1);
        EXPECT_TRUE(folder.exists("~tmpdbf.db1"));
        EXPECT_FALSE(folder.exists("~tmpdbf.db2"));
    }
}

// Every failure closes the record file: more failures than the store has slots must still
// leave room for a conversion that succeeds.
TEST_F(convert_test, failures_do_not_leak_record_store_slots)
{
    open_lookup("ABCDEFGH\r\n");
    settings.key2_offset = 8;
    settings.key2_length = 2;
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(convert_lookup(), 0) << i;
    settings.key2_length = 1;
    platform_rewind(lookup_handle);
    EXPECT_EQ(convert_lookup(), 1);
    EXPECT_EQ(count_of(temp()), 1);
}

TEST_F(convert_test, file_set_left_by_an_earlier_run_is_replaced)
{
    settings.key2_offset = 2;
    settings.key2_length = 2;
    open_lookup("OLD1\r\nOLD2\r\nOLD3\r\n");
    ASSERT_EQ(convert_lookup(), 1);
    close_lookup();

    settings.key2_offset = 0; // this run builds one index only
    open_lookup("NEW1\r\n");
    ASSERT_EQ(convert_lookup(), 1);
    EXPECT_EQ(records_of(temp()), strings{record("NEW1", 8)});
    EXPECT_FALSE(folder.exists("~tmpdbf.db2"));
    expect_sound(temp());
}

TEST_F(convert_test, file_in_place_that_is_no_record_file_fails_the_conversion)
{
    folder.write("~tmpdbf.db0", "this is not a record file");
    open_lookup("ABCD\r\n");
    EXPECT_EQ(convert_lookup(), 0);
    EXPECT_EQ(last_convert_failure(), CONVERT_NOT_CREATED);
    EXPECT_EQ(folder.read("~tmpdbf.db0"), "this is not a record file");
}

TEST_F(convert_test, read_that_fails_ends_the_conversion_instead_of_looping)
{
    // A handle open for writing only: its size is known, every read fails.
    platform_file write_only = platform_create_write(folder.file("LOOKUP.TXT").c_str());
    ASSERT_NE(write_only, PLATFORM_FILE_INVALID);
    platform_write(write_only, "ABCD\r\nEFGH\r\n", 12);
    platform_rewind(write_only);
    lookup_handle = write_only;
    EXPECT_EQ(convert_lookup(), 0);
    EXPECT_EQ(last_convert_failure(), CONVERT_READ_FAILED);
}

TEST_F(convert_test, lookup_file_beyond_what_a_file_set_holds_is_refused_unread)
{
    // Four lines, then a hole up to 4 GiB + 84 bytes, which costs no disk space: the low 32
    // bits of the size alone would convert the four lines and call that a success.
    std::string line = std::string(19, 'L') + "\r\n";
    folder.write("LOOKUP.TXT", line + line + line + line);
    const std::string path = folder.file("LOOKUP.TXT");
    std::error_code error;
    std::filesystem::resize_file(path, (std::uint64_t{1} << 32) + 84, error);
    ASSERT_FALSE(error) << error.message();
    lookup_handle = platform_open_read(path.c_str());
    EXPECT_EQ(convert_lookup(), 0);
    EXPECT_EQ(last_convert_failure(), CONVERT_TOO_LARGE);
    EXPECT_FALSE(folder.exists("~tmpdbf.db0"));

    close_lookup();
    std::filesystem::resize_file(path, 84, error);
    ASSERT_FALSE(error) << error.message();
    lookup_handle = platform_open_read(path.c_str());
    EXPECT_EQ(convert_lookup(), 1);
    EXPECT_EQ(last_convert_failure(), CONVERT_NO_FAILURE);
    EXPECT_EQ(last_convert_records(), 4);
}

TEST_F(convert_test, program_folder_too_long_for_a_record_store_name_fails)
{
    // 243 characters of folder and "~tmpdbf" make a base name of 250 characters; one more
    // is too long for the record store.
    std::string deep = folder.path();
    deep += std::string(244 - deep.size(), 'd');
    ASSERT_EQ(load_settings_for((deep + program_separator() + "k.exe").c_str()), 1);
    ASSERT_EQ(std::string(temp_base).size(), 252u);
    settings.line_length = 8;
    settings.key1_offset = 1;
    settings.key1_length = 4;
    open_lookup("ABCD\r\n");
    EXPECT_EQ(convert_lookup(), 0);
}

} // namespace
