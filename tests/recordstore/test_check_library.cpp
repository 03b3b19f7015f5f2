// The checker on file sets that the library writes: large sets with many equal keys, several
// indexes and trees three levels deep pass; an index created on a file that already held
// records (which covers only the records added after it) is reported.
#include "dbf_check.h"
#include "zkw_dbf.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>

namespace {

constexpr int RECORD_LENGTH = 24;

std::string report_text(const check_report &r)
{
    std::string s;
    for (int i = 0; i < r.fault_count; i++)
        s += std::string(r.messages[i]) + "\n";
    return s;
}

class CheckerOnLibrarySets : public testing::Test {
protected:
    std::string base;
    check_report report;

    void SetUp() override
    {
        base = std::string("ckl_") +
               testing::UnitTest::GetInstance()->current_test_info()->name();
        remove_DBF(base.c_str());
        check_report_init(&report, 0);
    }
    void TearDown() override
    {
        if (HasFailure()) {
            fprintf(stderr, "%s", report_text(report).c_str());
            dump_header(base.c_str(), stderr);
        }
        remove_DBF(base.c_str());
    }

    // Keys from a small alphabet: the first index has many equal keys, the second few.
    static void make_record(std::mt19937 &rng, uint8_t *rec)
    {
        for (int i = 0; i < RECORD_LENGTH; i++)
            rec[i] = (uint8_t)("AZ\x01\xfe"[rng() % 4]);
    }

    int check() { return check_file_set(base.c_str(), &report); }
};

TEST_F(CheckerOnLibrarySets, ThousandsOfRecordsWithEqualKeysInTwoIndexes)
{
    std::mt19937 rng(7);
    int h = create_DBF(base.c_str(), RECORD_LENGTH);
    ASSERT_GE(h, 64);
    ASSERT_EQ(create_index(h, 1, 0, 3), 1);     // 64 distinct keys
    ASSERT_EQ(create_index(h, 2, 10, 12), 1);   // nearly all distinct
    ASSERT_EQ(close_DBF(h), 1);
    ASSERT_EQ(check(), 0) << report_text(report);

    h = open_DBF(base.c_str());
    ASSERT_GE(h, 64);
    uint8_t rec[RECORD_LENGTH];
    for (int i = 0; i < 6000; i++) {
        make_record(rng, rec);
        ASSERT_EQ(add_member(h, rec), 1);
    }
    ASSERT_EQ(close_DBF(h), 1);
    EXPECT_EQ(check(), 0) << report_text(report);
    EXPECT_EQ(report.record_count, 6000);
    EXPECT_EQ(report.index[1].entries, 6000);
    EXPECT_EQ(report.index[2].entries, 6000);
    EXPECT_GE(report.index[1].depth, 3);

    // Reopened, grown and rebuilt: still sound.
    h = open_DBF(base.c_str());
    ASSERT_GE(h, 64);
    for (int i = 0; i < 500; i++) {
        make_record(rng, rec);
        ASSERT_EQ(add_member(h, rec), 1);
    }
    ASSERT_EQ(rebuild_index(h, 2, 1, 10, 12), 1);
    ASSERT_EQ(rebuild_index(h, 3, 0, 5, 1), 1);
    ASSERT_EQ(close_DBF(h), 1);
    EXPECT_EQ(check(), 0) << report_text(report);
    EXPECT_EQ(report.index[3].entries, 6500);
}

TEST_F(CheckerOnLibrarySets, IndexCreatedOnAFileThatHeldRecords)
{
    std::mt19937 rng(8);
    int h = create_DBF(base.c_str(), RECORD_LENGTH);
    ASSERT_GE(h, 64);
    uint8_t rec[RECORD_LENGTH];
    for (int i = 0; i < 30; i++) {
        make_record(rng, rec);
        ASSERT_EQ(add_member(h, rec), 1);
    }
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    for (int i = 0; i < 10; i++) {
        make_record(rng, rec);
        ASSERT_EQ(add_member(h, rec), 1);
    }
    ASSERT_EQ(close_DBF(h), 1);
    EXPECT_EQ(check(), 1);
    EXPECT_STREQ(report.messages[0],
                 "index 1: 30 of 40 records not in the index, the first is record 0");
}

}  // namespace
