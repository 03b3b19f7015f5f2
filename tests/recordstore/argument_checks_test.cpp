// The argument checks of every operation, in their order, with their last_error codes; the
// slot table (lowest free slot, exhaustion at the 33rd file, cleanup after a failed open);
// counts after close and reopen; remove_DBF.
#include "dbf_test_util.h"

namespace {

using namespace dbf_test;

using CheckTest = StoreTest;

TEST_F(CheckTest, BaseNameLengthAndExistingFile)
{
    EXPECT_EQ(create_DBF("ab", 10), -1);
    EXPECT_EQ(last_error, 1);
    EXPECT_EQ(open_DBF("ab"), -1);
    EXPECT_EQ(last_error, 1);
    EXPECT_EQ(remove_DBF(std::string(251, 'a').c_str()), 0);
    EXPECT_EQ(last_error, 1);
    EXPECT_EQ(create_DBF(nullptr, 10), -1);
    EXPECT_EQ(last_error, 1);

    std::string b = base();
    write_all(b + ".db0", {'x', 'y'});
    EXPECT_EQ(create_DBF(b.c_str(), 10), -1);
    EXPECT_EQ(last_error, 12);
    EXPECT_EQ(read_all(b + ".db0"), (bytes{'x', 'y'}));
    EXPECT_EQ(open_slots(), 0);

    EXPECT_EQ(open_DBF(base("missing").c_str()), -1);
    EXPECT_EQ(last_error, 2);
    EXPECT_EQ(remove_DBF(base("missing").c_str()), 0);
    EXPECT_EQ(last_error, 2);
}

TEST_F(CheckTest, HandleChecksComeFirstInEveryOperation)
{
    int h = create_DBF(base().c_str(), 8);
    ASSERT_EQ(h, 64);
    ASSERT_EQ(create_index(h, 2, 0, 4), 1);
    int ih = slot_table[0].index_handle[2];
    ASSERT_EQ(ih, 65);
    uint8_t buf[8] = {};
    struct {
        int handle, code;
    } cases[] = {{63, 7}, {96, 7}, {-2147483647 - 1, 7}, {70, 8}, {ih, 4}};
    for (auto c : cases) {
        SCOPED_TRACE("handle " + std::to_string(c.handle));
        EXPECT_EQ(close_DBF(c.handle), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(add_member(c.handle, buf), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(member_in_DBF(c.handle), -1);
        EXPECT_EQ(last_error, c.code);
        // The handle is checked before the index number, whatever that is.
        EXPECT_EQ(create_index(c.handle, 99, -1, 0), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(has_member(c.handle, 0, buf), -1);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(tell_DBF(c.handle, 9), -1);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(get_member(c.handle, 1, buf), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(update_member(c.handle, 1, buf), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(lseek_DBF(c.handle, 2, 0, 7), -1);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(remove_index(c.handle, 2), 0);
        EXPECT_EQ(last_error, c.code);
        EXPECT_EQ(rebuild_index(c.handle, 2, 99, 0, 0), 0);
        EXPECT_EQ(last_error, c.code);
    }
    // close_DBF on the index handle closed nothing.
    EXPECT_EQ(open_slots(), 2);
    close_DBF(h);
}

TEST_F(CheckTest, IndexNumberThenExistence)
{
    int h = create_DBF(base().c_str(), 8);
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    uint8_t buf[8] = {};
    for (int n : {0, 9, -1}) {
        EXPECT_EQ(tell_DBF(h, n), -1);
        EXPECT_EQ(last_error, 13);
        EXPECT_EQ(lseek_DBF(h, n, 0, 9), -1);
        EXPECT_EQ(last_error, 13);
        EXPECT_EQ(create_index(h, n, 0, 4), 0);
        EXPECT_EQ(last_error, 13);
    }
    EXPECT_EQ(get_member(h, 2, buf), 0);
    EXPECT_EQ(last_error, 14);
    EXPECT_EQ(has_member(h, 8, buf), -1);
    EXPECT_EQ(last_error, 14);
    EXPECT_EQ(lseek_DBF(h, 3, 0, 9), -1);
    EXPECT_EQ(last_error, 14);
    close_DBF(h);
}

TEST_F(CheckTest, CreateIndexKeyChecks)
{
    int h = create_DBF(base().c_str(), 10);
    // Exists (19) is checked before the key (17).
    ASSERT_EQ(create_index(h, 1, 0, 10), 1);
    EXPECT_EQ(create_index(h, 1, 50, 50), 0);
    EXPECT_EQ(last_error, 19);
    struct {
        int o, l, ok;
    } keys[] = {{6, 4, 1}, {6, 5, 0}, {-1, 2, 0}, {10, 0, 0}, {9, 0, 0}, {0, 11, 0}, {9, 1, 1}};
    int n = 2;
    for (auto k : keys) {
        SCOPED_TRACE(std::to_string(k.o) + "," + std::to_string(k.l));
        EXPECT_EQ(create_index(h, n, k.o, k.l), k.ok);
        EXPECT_EQ(last_error, k.ok ? 0 : 17);
        n += k.ok;
    }
    close_DBF(h);

    // Keys are limited to the 256 bytes of the key buffers.
    h = create_DBF(base("wide").c_str(), 600);
    EXPECT_EQ(create_index(h, 1, 0, 256), 1);
    EXPECT_EQ(create_index(h, 2, 0, 257), 0);
    EXPECT_EQ(last_error, 17);
    close_DBF(h);
}

TEST_F(CheckTest, LseekWhenceAndRankChecks)
{
    int h = create_DBF(base().c_str(), 4);
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    // An empty file answers 0 before whence is looked at.
    EXPECT_EQ(lseek_DBF(h, 1, 5, 3), 0);
    EXPECT_EQ(last_error, 0);
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_END), 0);
    add_member(h, "bbbb");
    add_member(h, "aaaa");
    EXPECT_EQ(lseek_DBF(h, 1, 0, 3), -1);
    EXPECT_EQ(last_error, 9);
    EXPECT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_END), 1);
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_END), -1);
    EXPECT_EQ(last_error, 15);
    EXPECT_EQ(tell_DBF(h, 1), 1);
    EXPECT_EQ(lseek_DBF(h, 1, -1, DBF_SEEK_SET), -1);
    EXPECT_EQ(last_error, 15);
    EXPECT_EQ(lseek_DBF(h, 1, 2147483647, DBF_SEEK_CUR), -1);
    EXPECT_EQ(last_error, 15);
    EXPECT_EQ(lseek_DBF(h, 1, -2147483647 - 1, DBF_SEEK_END), -1);
    EXPECT_EQ(last_error, 15);
    EXPECT_EQ(tell_DBF(h, 1), 1);
    close_DBF(h);
}

TEST_F(CheckTest, ThirtyThirdFileFindsNoSlot)
{
    // A record file with two indexes takes three slots.
    std::string b = base();
    int h = create_DBF(b.c_str(), 4);
    create_index(h, 1, 0, 2);
    create_index(h, 2, 2, 2);
    close_DBF(h);
    std::vector<int> handles;
    for (int i = 0; i < 30; i++) {
        std::string name = base(("f" + std::to_string(i)).c_str());
        int x = create_DBF(name.c_str(), 4);
        ASSERT_EQ(x, 64 + i);
        handles.push_back(x);
    }
    // Two slots left: the record file opens, its second index does not, and nothing of the
    // attempt stays open.
    EXPECT_EQ(open_DBF(b.c_str()), -1);
    EXPECT_EQ(last_error, 6);
    EXPECT_EQ(open_slots(), 30);
    int a = create_DBF(base("g1").c_str(), 4);
    ASSERT_EQ(a, 94);
    ASSERT_EQ(create_index(a, 1, 0, 1), 1);
    EXPECT_EQ(create_DBF(base("g2").c_str(), 4), -1);
    EXPECT_EQ(last_error, 6);
    EXPECT_EQ(create_index(a, 2, 0, 1), 0);
    EXPECT_EQ(last_error, 6);
    EXPECT_EQ(open_DBF(b.c_str()), -1);
    EXPECT_EQ(last_error, 6);
    // The lowest free slot is taken.
    close_DBF(handles[3]);
    EXPECT_EQ(create_DBF(base("g3").c_str(), 4), 67);
}

TEST_F(CheckTest, OpenWithAMissingIndexFileLeavesNoSlotInUse)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 4);
    create_index(h, 1, 0, 2);
    create_index(h, 4, 2, 2);
    close_DBF(h);
    std::filesystem::remove(b + ".db4");
    EXPECT_EQ(open_DBF(b.c_str()), -1);
    EXPECT_EQ(last_error, 2);
    EXPECT_EQ(open_slots(), 0);
}

TEST_F(CheckTest, CountsAfterCloseAndReopen)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 3);
    EXPECT_EQ(member_in_DBF(h), 0);
    ASSERT_EQ(create_index(h, 1, 0, 3), 1);
    ASSERT_EQ(close_DBF(h), 1);
    EXPECT_EQ(close_DBF(h), 0);
    EXPECT_EQ(last_error, 8);
    h = open_DBF(b.c_str());
    for (int i = 0; i < 100; i++) {
        char rec[3] = {(char)('a' + i % 7), 'x', 'x'};
        ASSERT_EQ(add_member(h, rec), 1);
    }
    // Identical records are both accepted, the earlier first.
    ASSERT_EQ(add_member(h, "zzz"), 1);
    ASSERT_EQ(add_member(h, "zzz"), 1);
    EXPECT_EQ(member_in_DBF(h), 102);
    close_DBF(h);
    EXPECT_EQ(size_of(b + ".db0"), 1024 + 3 * 102);
    h = open_DBF(b.c_str());
    EXPECT_EQ(member_in_DBF(h), 102);
    EXPECT_EQ(lseek_DBF(h, 1, -1, DBF_SEEK_END), 100);
    EXPECT_EQ(slot_table[slot_table[h - 64].index_handle[1] - 64].cursor_record, 100);
    EXPECT_EQ(lseek_DBF(h, 1, 1, DBF_SEEK_CUR), 101);
    EXPECT_EQ(slot_table[slot_table[h - 64].index_handle[1] - 64].cursor_record, 101);
    close_DBF(h);
}

TEST_F(CheckTest, RemoveDbfDeletesTheListedFiles)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 4);
    create_index(h, 2, 0, 2);
    create_index(h, 7, 2, 2);
    close_DBF(h);
    write_all(b + ".db5", {1});  // not listed: stays
    EXPECT_EQ(remove_DBF(b.c_str()), 1);
    EXPECT_EQ(last_error, 0);
    EXPECT_FALSE(exists(b + ".db0"));
    EXPECT_FALSE(exists(b + ".db2"));
    EXPECT_FALSE(exists(b + ".db7"));
    EXPECT_TRUE(exists(b + ".db5"));

    bytes notdbf(1024, 0);
    memcpy(notdbf.data(), "ZKW-DBF V01.01", 15);
    write_all(b + ".db0", notdbf);
    EXPECT_EQ(remove_DBF(b.c_str()), 0);
    EXPECT_EQ(last_error, 4);
    EXPECT_TRUE(exists(b + ".db0"));
    EXPECT_EQ(open_DBF(b.c_str()), -1);
    EXPECT_EQ(last_error, 4);
    EXPECT_EQ(open_slots(), 0);
}

}  // namespace
