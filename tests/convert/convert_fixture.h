// A program folder of the test's own with the settings for a conversion, a lookup file open
// in lookup_handle, and readers of the resulting file set: record order straight from the
// record file, index order through the record store's cursor.
#ifndef KESTREL_TEST_CONVERT_FIXTURE_H
#define KESTREL_TEST_CONVERT_FIXTURE_H

#include "test_folder.h"
#include "dbf_check.h"
#include "recorded.h"
#include "send_record.h"
#include "settings.h"
#include "zkw_dbf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class convert_test : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(load_settings_for(folder.file("kestrel.exe").c_str()), 1);
        settings.line_length = 8;
        settings.key1_offset = 1;
        settings.key1_length = 4;
        settings.key2_offset = 0;
        settings.key2_length = 0;
        settings.com_index = 1;
        settings.baud_index = 1;
        clear_recorded();
        clear_sends();
    }
    void TearDown() override { close_lookup(); }

    // Writes bytes as the lookup file and opens it in lookup_handle, as the run sequence does.
    void open_lookup(const std::string &bytes)
    {
        folder.write("LOOKUP.TXT", bytes);
        lookup_handle = platform_open_read(folder.file("LOOKUP.TXT").c_str());
        ASSERT_NE(lookup_handle, PLATFORM_FILE_INVALID);
    }
    void close_lookup()
    {
        if (lookup_handle != PLATFORM_FILE_INVALID)
            platform_close(lookup_handle);
        lookup_handle = PLATFORM_FILE_INVALID;
    }

    // The records of base.db0 in record-number order, read from the file itself.
    std::vector<std::string> records_of(const std::string &base) const
    {
        std::vector<std::string> records;
        std::FILE *in = std::fopen((base + ".db0").c_str(), "rb");
        if (!in)
            return records;
        std::string bytes;
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            bytes.append(chunk, got);
        std::fclose(in);
        const std::size_t length = settings.line_length;
        for (std::size_t at = 1024; length > 0 && at + length <= bytes.size(); at += length)
            records.push_back(bytes.substr(at, length));
        return records;
    }

    // The records in the order of index index_no, through the record store.
    std::vector<std::string> index_order(const std::string &base, int index_no) const
    {
        std::vector<std::string> records;
        int handle = open_DBF(base.c_str());
        EXPECT_GE(handle, 64) << base;
        if (handle < 64)
            return records;
        int count = member_in_DBF(handle);
        std::string record(settings.line_length, '\0');
        for (int rank = 0; rank < count; rank++) {
            EXPECT_EQ(lseek_DBF(handle, index_no, rank, DBF_SEEK_SET), rank);
            EXPECT_EQ(get_member(handle, index_no, &record[0]), 1);
            records.push_back(record);
        }
        close_DBF(handle);
        return records;
    }

    int count_of(const std::string &base) const
    {
        int handle = open_DBF(base.c_str());
        if (handle < 64)
            return -1;
        int count = member_in_DBF(handle);
        close_DBF(handle);
        return count;
    }

    // Runs the file-set checker and fails the test with its messages on any fault.
    void expect_sound(const std::string &base) const
    {
        static check_report report;
        check_report_init(&report, 20);
        int faults = check_file_set(base.c_str(), &report);
        std::string text;
        for (int i = 0; i < report.fault_count && i < CHECK_MAX_FAULTS; i++)
            text += std::string(report.messages[i]) + "\n";
        EXPECT_EQ(faults, 0) << base << "\n" << text;
    }

    std::string temp() const { return std::string(temp_base); }

    test_folder folder;
};

// A record as the conversion should make it: the line cut or padded with zeros.
inline std::string record(const std::string &line, std::size_t length)
{
    std::string r = line.substr(0, length);
    r.resize(length, '\0');
    return r;
}

#endif
