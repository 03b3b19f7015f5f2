// The cursor: after add_member, has_member and each whence of lseek_DBF (including -9 for an
// index that does not cover every record); rebuild_index with equal keys following the order
// index; remove_index.
#include "dbf_test_util.h"

namespace {

using namespace dbf_test;

class CursorTest : public StoreTest {
protected:
    int h = -1;
    void SetUp() override
    {
        StoreTest::SetUp();
        h = create_DBF(base().c_str(), 4);
        ASSERT_GE(h, 64);
    }
    std::string current(int n)
    {
        char rec[5] = {};
        if (get_member(h, n, rec) != 1)
            return "<none>";
        return rec;
    }
};

TEST_F(CursorTest, AddMemberKeepsTheCursorOnItsRecord)
{
    ASSERT_EQ(create_index(h, 1, 0, 2), 1);
    // The first record: the cursor lands on it.
    add_member(h, "m0aa");
    EXPECT_EQ(tell_DBF(h, 1), 0);
    EXPECT_EQ(current(1), "m0aa");
    add_member(h, "z0bb");
    add_member(h, "a0cc");   // before the cursor: the cursor's rank goes up
    EXPECT_EQ(tell_DBF(h, 1), 1);
    EXPECT_EQ(current(1), "m0aa");
    add_member(h, "m0dd");   // equal key goes after: the cursor stays
    EXPECT_EQ(tell_DBF(h, 1), 1);
    EXPECT_EQ(current(1), "m0aa");

    // Descending keys through a split: rank 0 holds the record added last.
    for (int i = 0; i < 60; i++) {
        char rec[5] = {(char)(0x40 - i), (char)('Z' - i % 26), (char)('0' + i / 26), 'x', 0};
        add_member(h, rec);
        ASSERT_EQ(current(1), "m0aa");
    }
    EXPECT_EQ(tell_DBF(h, 1), 61);
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_SET), 0);
    char rec[5] = {};
    ASSERT_EQ(get_member(h, 1, rec), 1);
    EXPECT_EQ((uint8_t)rec[0], 0x40 - 59);
}

TEST_F(CursorTest, HasMemberFindsTheEarliestEqualOrTheNextLarger)
{
    ASSERT_EQ(create_index(h, 1, 0, 2), 1);
    for (const char *r : {"bbX1", "ddX2", "bbY3", "ffX4", "bbZ5"})
        add_member(h, r);
    EXPECT_EQ(has_member(h, 1, "bb"), 1);
    EXPECT_EQ(tell_DBF(h, 1), 0);
    EXPECT_EQ(current(1), "bbX1");
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_CUR), 1);
    EXPECT_EQ(current(1), "bbY3");
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_CUR), 2);
    EXPECT_EQ(current(1), "bbZ5");
    EXPECT_EQ(has_member(h, 1, "cc"), 0);
    EXPECT_EQ(current(1), "ddX2");
    EXPECT_EQ(has_member(h, 1, "zz"), 0);
    EXPECT_EQ(tell_DBF(h, 1), 4);
    EXPECT_EQ(current(1), "ffX4");
    EXPECT_EQ(has_member(h, 1, "aa"), 0);
    EXPECT_EQ(current(1), "bbX1");
    EXPECT_EQ(last_error, 0);
}

TEST_F(CursorTest, EveryWhenceOverATallTree)
{
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    // 3000 records with keys in a scrambled order: three levels of nodes.
    const int n = 3000;
    for (int i = 0; i < n; i++) {
        uint32_t k = (uint32_t)(i * 7919u) % n;
        uint8_t rec[4] = {(uint8_t)(k >> 24), (uint8_t)(k >> 16), (uint8_t)(k >> 8), (uint8_t)k};
        ASSERT_EQ(add_member(h, rec), 1);
    }
    auto key_at_cursor = [&]() {
        uint8_t rec[4] = {};
        get_member(h, 1, rec);
        return (int)((rec[2] << 8) | rec[3]);
    };
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_SET), 0);
    for (int t = 0; t < n; t++) {
        ASSERT_EQ(key_at_cursor(), t);
        ASSERT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_CUR), t + 1 < n ? t + 1 : -1);
    }
    EXPECT_EQ(last_error, 15);
    EXPECT_EQ(tell_DBF(h, 1), n - 1);
    for (int t = n - 1; t > 0; t--)
        ASSERT_EQ(lseek_DBF(h, 1, -1, DBF_SEEK_CUR), t - 1);
    EXPECT_EQ(lseek_DBF(h, 1, -1, DBF_SEEK_CUR), -1);
    for (int step : {37, 1000, -512, 48, -49, 2500, -2999}) {
        int from = tell_DBF(h, 1);
        int to = from + step;
        int want = to >= 0 && to < n ? to : -1;
        ASSERT_EQ(lseek_DBF(h, 1, step, DBF_SEEK_CUR), want) << from << " + " << step;
        ASSERT_EQ(key_at_cursor(), want >= 0 ? to : from);
    }
    EXPECT_EQ(lseek_DBF(h, 1, -10, DBF_SEEK_END), n - 11);
    EXPECT_EQ(key_at_cursor(), n - 11);
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_CUR), n - 11);
}

TEST_F(CursorTest, IndexCreatedOnAFilledFileAnswersMinusNine)
{
    add_member(h, "aaaa");
    add_member(h, "bbbb");
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    add_member(h, "cccc");
    EXPECT_EQ(current(1), "cccc");
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_SET), 0);
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_SET), -9);
    EXPECT_EQ(last_error, 0);
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_END), -9);
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_CUR), -9);
    EXPECT_EQ(lseek_DBF(h, 1, 2, DBF_SEEK_CUR), -9);
    EXPECT_EQ(tell_DBF(h, 1), 0);
    EXPECT_EQ(current(1), "cccc");
}

TEST_F(CursorTest, RebuildKeepsEqualKeysInTheOrderOfTheOrderIndex)
{
    // Index 1 on byte 1, index 2 (to rebuild) on byte 0 with equal keys.
    ASSERT_EQ(create_index(h, 1, 1, 1), 1);
    for (const char *r : {"x3aa", "x1bb", "y0cc", "x2dd"})
        add_member(h, r);
    ASSERT_EQ(lseek_DBF(h, 1, 2, DBF_SEEK_SET), 2);   // on "x2dd"
    ASSERT_EQ(rebuild_index(h, 2, 1, 0, 1), 1);
    EXPECT_EQ(last_error, 0);
    const char *by_index1[] = {"x1bb", "x2dd", "x3aa", "y0cc"};
    for (int t = 0; t < 4; t++) {
        ASSERT_EQ(lseek_DBF(h, 2, t, DBF_SEEK_SET), t);
        EXPECT_EQ(current(2), by_index1[t]) << t;
    }
    EXPECT_EQ(tell_DBF(h, 1), 2);
    EXPECT_EQ(current(1), "x2dd");
    // Order 0 is record-number order.
    ASSERT_EQ(rebuild_index(h, 2, 0, 0, 1), 1);
    EXPECT_EQ(current(2), "x2dd");   // the entry inserted last: record 3
    const char *by_number[] = {"x3aa", "x1bb", "x2dd", "y0cc"};
    for (int t = 0; t < 4; t++) {
        ASSERT_EQ(lseek_DBF(h, 2, t, DBF_SEEK_SET), t);
        EXPECT_EQ(current(2), by_number[t]) << t;
    }
    // The order index may not be the index itself: index 2 is gone afterwards.
    EXPECT_EQ(rebuild_index(h, 2, 2, 0, 1), 0);
    EXPECT_EQ(last_error, 20);
    EXPECT_EQ(tell_DBF(h, 2), -1);
    EXPECT_EQ(last_error, 14);
    EXPECT_FALSE(exists(base() + ".db2"));
    EXPECT_EQ(rebuild_index(h, 2, 9, 0, 1), 0);
    EXPECT_EQ(last_error, 20);
    EXPECT_EQ(rebuild_index(h, 2, 0, 3, 2), 0);
    EXPECT_EQ(last_error, 17);
}

TEST_F(CursorTest, CursorAfterRebuildIsUsableWhenTheLastInsertSplit)
{
    // 49 records in ascending order: the 49th insertion splits the root leaf.
    for (int i = 0; i < 49; i++) {
        char rec[5] = {'k', (char)('0' + i / 10), (char)('0' + i % 10), 'r', 0};
        add_member(h, rec);
    }
    ASSERT_EQ(rebuild_index(h, 1, 0, 0, 3), 1);
    EXPECT_EQ(tell_DBF(h, 1), 48);
    EXPECT_EQ(current(1), "k48r");
    EXPECT_EQ(lseek_DBF(h, 1, -1, DBF_SEEK_CUR), 47);
    EXPECT_EQ(current(1), "k47r");
    EXPECT_EQ(size_of(base() + ".db1"), 2048);
}

TEST_F(CursorTest, RemoveIndex)
{
    ASSERT_EQ(create_index(h, 3, 0, 2), 1);
    EXPECT_EQ(remove_index(h, 3), 1);
    EXPECT_EQ(last_error, 0);
    EXPECT_FALSE(exists(base() + ".db3"));
    EXPECT_EQ(open_slots(), 1);
    // Removing an index that does not exist answers 1 and leaves 14.
    EXPECT_EQ(remove_index(h, 3), 1);
    EXPECT_EQ(last_error, 14);
    EXPECT_EQ(remove_index(h, 0), 0);
    EXPECT_EQ(last_error, 13);
    // The slot and the number can be used again.
    EXPECT_EQ(create_index(h, 3, 1, 2), 1);
    close_DBF(h);
    h = open_DBF(base().c_str());
    EXPECT_EQ(open_slots(), 2);
}

}  // namespace
