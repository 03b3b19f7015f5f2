// delete_member on small file sets whose every byte the test can predict: the only record, the
// last-numbered record, renumbering, equal keys in another index, the 49-entry index merging
// back to one root leaf, the cursors afterwards, the calls that must change nothing, and
// corrupt indexes that must make the call fail instead of looping or writing wild.
#include "dbf_check.h"
#include "dbf_test_util.h"

#include <algorithm>
#include <random>

namespace {

using namespace dbf_test;

// Records: key 1 in bytes 0..3, key 2 in bytes 4..5, a serial number in bytes 6..7.
constexpr int RECLEN = 8;

bytes rec(const char key1[4], const char key2[2], int serial)
{
    bytes r(RECLEN);
    memcpy(r.data(), key1, 4);
    memcpy(r.data() + 4, key2, 2);
    r[6] = (uint8_t)(serial >> 8);
    r[7] = (uint8_t)serial;
    return r;
}

// A record with a 4-digit key 1, the given key 2 and the serial.
bytes numbered(int key, const char key2[2], int serial)
{
    char k[8];
    snprintf(k, sizeof k, "%04d", key % 10000);
    return rec(k, key2, serial);
}

int serial_of(const bytes &r) { return (r[6] << 8) | r[7]; }

class DeleteTest : public StoreTest {
protected:
    int h = -1;

    void make(const char *name = "set", bool second_index = true)
    {
        h = create_DBF(base(name).c_str(), RECLEN);
        ASSERT_GE(h, 64);
        ASSERT_EQ(create_index(h, 1, 0, 4), 1);
        if (second_index) {
            ASSERT_EQ(create_index(h, 2, 4, 2), 1);
        }
    }

    void add(const bytes &r) { ASSERT_EQ(add_member(h, r.data()), 1); }

    bytes current(int n)
    {
        bytes r(RECLEN);
        EXPECT_EQ(get_member(h, n, r.data()), 1) << "index " << n;
        return r;
    }

    // The records in the order of index n, walked with SEEK_CUR; the cursor is put back.
    std::vector<bytes> listing(int n)
    {
        std::vector<bytes> out;
        int keep = tell_DBF(h, n);
        int count = member_in_DBF(h);
        for (int t = 0; t < count; t++) {
            EXPECT_EQ(lseek_DBF(h, n, t == 0 ? 0 : 1, t == 0 ? DBF_SEEK_SET : DBF_SEEK_CUR), t);
            out.push_back(current(n));
        }
        if (count > 0)
            lseek_DBF(h, n, keep, DBF_SEEK_SET);
        return out;
    }

    // Record number r as stored in the record file.
    bytes stored(const char *name, int r)
    {
        bytes all = read_all(file(name, 0));
        size_t at = 1024 + (size_t)r * RECLEN;
        if (all.size() < at + RECLEN)
            return {};
        return bytes(all.begin() + (long)at, all.begin() + (long)at + RECLEN);
    }

    void expect_sound(const char *name = "set") { expect_sound_set(base(name), "the deletions"); }

    // Whether the records of `list` carry exactly these serials, in this order.
    static std::vector<int> serials(const std::vector<bytes> &list)
    {
        std::vector<int> out;
        for (const bytes &r : list)
            out.push_back(serial_of(r));
        return out;
    }
};

TEST_F(DeleteTest, TheOnlyRecordLeavesEmptyFiles)
{
    make();
    add(rec("only", "zz", 1));
    ASSERT_EQ(lseek_DBF(h, 2, 0, DBF_SEEK_SET), 0);
    EXPECT_EQ(delete_member(h, 2), 1);
    EXPECT_EQ(last_error, 0);
    EXPECT_EQ(member_in_DBF(h), 0);
    EXPECT_EQ(size_of(file("set", 0)), 1024);
    for (int n = 1; n <= 2; n++) {
        EXPECT_EQ(size_of(file("set", n)), 1024) << n;
        bytes idx = read_all(file("set", n));
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_COUNT), 0) << n;
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_PARENT), 0) << n;
        EXPECT_EQ(tell_DBF(h, n), 0);
    }
    expect_sound();
    // Nothing left under the cursor, and the set takes records again.
    EXPECT_EQ(delete_member(h, 1), 0);
    EXPECT_EQ(last_error, 0);
    add(rec("next", "aa", 2));
    EXPECT_EQ(serial_of(current(1)), 2);
    EXPECT_EQ(serial_of(current(2)), 2);
    expect_sound();
}

TEST_F(DeleteTest, TheLastNumberedRecordOnlyShortensTheFile)
{
    make();
    add(rec("cccc", "aa", 0));
    add(rec("aaaa", "bb", 1));
    add(rec("bbbb", "cc", 2));
    bytes before = read_all(file("set", 0));
    ASSERT_EQ(has_member(h, 1, "bbbb"), 1);
    ASSERT_EQ(delete_member(h, 1), 1);
    bytes after = read_all(file("set", 0));
    ASSERT_EQ(after.size(), before.size() - RECLEN);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), before.begin()));
    // The cursor moved on to the record that followed the deleted one.
    EXPECT_EQ(tell_DBF(h, 1), 1);
    EXPECT_EQ(serial_of(current(1)), 0);
    EXPECT_EQ(serials(listing(2)), (std::vector<int>{0, 1}));
    expect_sound();
}

TEST_F(DeleteTest, RecordZeroOfThreeTakesTheLastRecordsNumber)
{
    make();
    const bytes x = rec("bbbb", "cc", 0), y = rec("aaaa", "bb", 1), z = rec("cccc", "aa", 2);
    add(x);
    add(y);
    add(z);
    ASSERT_EQ(has_member(h, 2, "bb"), 1);   // index 2's cursor on Y, rank 1
    ASSERT_EQ(has_member(h, 1, "bbbb"), 1); // index 1's cursor on X, rank 1
    ASSERT_EQ(delete_member(h, 1), 1);
    EXPECT_EQ(last_error, 0);
    EXPECT_EQ(member_in_DBF(h), 2);
    EXPECT_EQ(stored("set", 0), z);
    EXPECT_EQ(stored("set", 1), y);
    EXPECT_EQ(size_of(file("set", 0)), 1024 + 2 * RECLEN);
    EXPECT_EQ(listing(1), (std::vector<bytes>{y, z}));
    EXPECT_EQ(listing(2), (std::vector<bytes>{z, y}));
    // Index 1's cursor on what followed X; index 2's still on Y.
    EXPECT_EQ(tell_DBF(h, 1), 1);
    EXPECT_EQ(current(1), z);
    EXPECT_EQ(tell_DBF(h, 2), 1);
    EXPECT_EQ(current(2), y);
    expect_sound();
    // The numbers hold after reopening, where the cursors start from the files alone.
    ASSERT_EQ(close_DBF(h), 1);
    h = open_DBF(base().c_str());
    ASSERT_GE(h, 64);
    EXPECT_EQ(listing(1), (std::vector<bytes>{y, z}));
    EXPECT_EQ(listing(2), (std::vector<bytes>{z, y}));
}

TEST_F(DeleteTest, EqualKeysLoseExactlyTheDeletedRecordsEntry)
{
    // 150 records with one key 2, so their entries in index 2 span several leaves and an
    // internal node; index 1 keys them uniquely.
    make();
    std::vector<int> order;
    for (int i = 0; i < 150; i++) {
        add(numbered(i, "==", i));
        order.push_back(i);
    }
    std::mt19937 rng(7);
    // Keep index 2's cursor on one record through the deletions.
    int watched = 120;
    ASSERT_EQ(lseek_DBF(h, 2, watched, DBF_SEEK_SET), watched);
    for (int round = 0; round < 100; round++) {
        int victim = order[std::uniform_int_distribution<int>(0, (int)order.size() - 1)(rng)];
        char key[5];
        snprintf(key, sizeof key, "%04d", victim);
        ASSERT_EQ(has_member(h, 1, key), 1);
        ASSERT_EQ(delete_member(h, 1), 1) << "serial " << victim;
        size_t at = std::find(order.begin(), order.end(), victim) - order.begin();
        if (victim == watched)
            watched = at + 1 < order.size() ? order[at + 1] : order[at - 1];
        order.erase(order.begin() + (long)at);
        ASSERT_EQ(serials(listing(2)), order) << "after deleting serial " << victim;
        EXPECT_EQ(serial_of(current(2)), watched);
        if (round % 10 == 0)
            expect_sound();
    }
    expect_sound();
}

TEST_F(DeleteTest, FortyNineEntriesMergeBackIntoOneRootLeaf)
{
    // Keys 0..48: leaves {0..23} in block 1 and {25..48} in block 3, root {24} in block 2.
    // Removing from the left leaf, from the right leaf, or the root's own entry.
    const int victims[] = {3, 0, 23, 24, 25, 40, 48};
    for (int victim : victims) {
        SCOPED_TRACE("victim " + std::to_string(victim));
        std::string name = "v" + std::to_string(victim);
        make(name.c_str(), false);
        for (int i = 0; i < 49; i++)
            add(numbered(i, "..", i));
        ASSERT_EQ(size_of(file(name.c_str(), 1)), 2048);
        char key[5];
        snprintf(key, sizeof key, "%04d", victim);
        ASSERT_EQ(has_member(h, 1, key), 1);
        ASSERT_EQ(delete_member(h, 1), 1);
        EXPECT_EQ(size_of(file(name.c_str(), 1)), 1024);
        EXPECT_EQ(slot_table[index_slot(h - 64, 1)].root_block, 1);
        bytes idx = read_all(file(name.c_str(), 1));
        ASSERT_EQ(idx.size(), 1024u);
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_PARENT), 0);
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_SELF), 1);
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_COUNT), 48);
        EXPECT_EQ(get_u16le(idx.data() + 512 + NODE_CHILDREN + CHILD_BLOCK), 0);
        std::vector<int> want;
        for (int i = 0; i < 49; i++)
            if (i != victim)
                want.push_back(i);
        EXPECT_EQ(serials(listing(1)), want);
        EXPECT_EQ(serial_of(current(1)), victim == 48 ? 47 : victim + 1);
        expect_sound(name.c_str());
        ASSERT_EQ(close_DBF(h), 1);
    }
}

// The node in the last block of an index file: whether it is internal or the root, and its
// first record number, by which it can be recognised after it has moved (record numbers do
// not identify nodes across a renumbering, but one renumbered entry seldom is a first one).
struct last_node {
    bool internal = false, root = false;
    uint32_t first = 0;
};

last_node read_last_node(const bytes &idx)
{
    const uint8_t *p = idx.data() + idx.size() - 512;
    return last_node{get_u16le(p + NODE_CHILDREN + CHILD_BLOCK) != 0,
                     get_u16le(p + NODE_PARENT) == 0, get_u32le(p + NODE_RECORDS)};
}

bool holds_node_below(const bytes &idx, size_t below, const last_node &node)
{
    for (size_t b = 1; b < below && (b + 1) * 512 <= idx.size(); b++) {
        const uint8_t *p = idx.data() + b * 512;
        if (get_u16le(p + NODE_COUNT) > 0 && get_u32le(p + NODE_RECORDS) == node.first &&
            (get_u16le(p + NODE_CHILDREN + CHILD_BLOCK) != 0) == node.internal)
            return true;
    }
    return false;
}

TEST_F(DeleteTest, FreedBlocksTakeTheLastBlockEvenAnInternalNodeOrTheRoot)
{
    // Ascending keys until the root splits a second time: the last three blocks are the
    // newest leaf X, the new root R and the new right internal node I2, each side of the
    // root holding 24 entries. Deleting the highest key empties X below 24: X merges into its
    // left sibling and I2 moves into X's block; I2, now short, merges into the old root I1,
    // and the emptied root, by then the last block, moves into I2's freed block before it
    // collapses onto I1. Three blocks go, and I1 (block 2) is the root again.
    make("set", false);
    int rs = h - 64;
    int root_changes = 0, total = 0;
    uint16_t root = slot_table[index_slot(rs, 1)].root_block;
    while (root_changes < 2 && total < 5000) {
        add(numbered(total, "..", total));
        total++;
        uint16_t now = slot_table[index_slot(rs, 1)].root_block;
        root_changes += now != root;
        root = now;
    }
    ASSERT_EQ(root_changes, 2);
    long long blocks = size_of(file("set", 1)) / 512;
    ASSERT_EQ(root + 2, blocks);
    ASSERT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_END), total - 1);
    ASSERT_EQ(delete_member(h, 1), 1);
    EXPECT_EQ(size_of(file("set", 1)) / 512, blocks - 3);
    EXPECT_EQ(slot_table[index_slot(rs, 1)].root_block, 2);
    expect_sound();

    // Three levels again, then from the low end: the early leaves merge, and the last block,
    // a recent leaf or an internal node, fills each hole.
    for (int i = total; i < 2700; i++)
        add(numbered(i, "..", i));
    int internal_moves = 0;
    for (int deleted = 0; member_in_DBF(h) > 0; deleted++) {
        bytes before = read_all(file("set", 1));
        last_node last = read_last_node(before);
        ASSERT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_SET), 0);
        int lowest = serial_of(current(1));
        ASSERT_EQ(delete_member(h, 1), 1);
        bytes after = read_all(file("set", 1));
        if (last.internal && after.size() + 512 == before.size() &&
            holds_node_below(after, before.size() / 512 - 1, last)) {
            internal_moves++;
            expect_sound();
        } else if (deleted % 50 == 0) {
            expect_sound();
        }
        if (member_in_DBF(h) > 0) {
            ASSERT_GT(serial_of(current(1)), lowest);
        }
        if (HasFailure())
            break;
    }
    EXPECT_EQ(size_of(file("set", 1)), 1024);
    EXPECT_GT(internal_moves, 0);
}

TEST_F(DeleteTest, CursorOnTheLastRankStaysOnTheNewLastRank)
{
    make();
    for (int i = 0; i < 300; i++)
        add(numbered((i * 37) % 300, i % 2 ? "xx" : "yy", i));
    std::vector<bytes> by_key = listing(1);
    for (int round = 0; round < 5; round++) {
        int count = member_in_DBF(h);
        ASSERT_EQ(lseek_DBF(h, 1, 0, DBF_SEEK_END), count - 1);
        ASSERT_EQ(delete_member(h, 1), 1);
        by_key.pop_back();
        EXPECT_EQ(tell_DBF(h, 1), count - 2);
        EXPECT_EQ(current(1), by_key.back());
    }
    // The same through index 2, whose last entries are equal keys.
    for (int round = 0; round < 5; round++) {
        int count = member_in_DBF(h);
        ASSERT_EQ(lseek_DBF(h, 2, 0, DBF_SEEK_END), count - 1);
        std::vector<bytes> before = listing(2);
        ASSERT_EQ(delete_member(h, 2), 1);
        EXPECT_EQ(tell_DBF(h, 2), count - 2);
        EXPECT_EQ(current(2), before[count - 2]);
    }
    expect_sound();
}

TEST_F(DeleteTest, CallsThatFindNoRecordChangeNothing)
{
    make();
    EXPECT_EQ(delete_member(63, 1), 0);
    EXPECT_EQ(last_error, 7);
    EXPECT_EQ(delete_member(h + 1, 1), 0);    // index 1's own slot
    EXPECT_EQ(last_error, 4);
    EXPECT_EQ(delete_member(h + 5, 1), 0);    // a free slot
    EXPECT_EQ(last_error, 8);
    EXPECT_EQ(delete_member(h, 0), 0);
    EXPECT_EQ(last_error, 13);
    EXPECT_EQ(delete_member(h, 3), 0);
    EXPECT_EQ(last_error, 14);
    // An empty file: the cursor is on no record.
    EXPECT_EQ(delete_member(h, 1), 0);
    EXPECT_EQ(last_error, 0);

    for (int i = 0; i < 60; i++)
        add(numbered(i, "kk", i));
    // Index 3 made on a file that already has records, never rebuilt: empty, its cursor the
    // fresh one on rank 0 and record 0, which it does not hold.
    ASSERT_EQ(create_index(h, 3, 2, 3), 1);
    std::vector<bytes> files;
    for (int n = 0; n <= 3; n++)
        files.push_back(read_all(file("set", n)));
    last_error = 99;
    EXPECT_EQ(delete_member(h, 3), 0);
    EXPECT_EQ(last_error, 0);
    EXPECT_EQ(member_in_DBF(h), 60);
    for (int n = 0; n <= 3; n++)
        EXPECT_EQ(read_all(file("set", n)), files[n]) << "file " << n;
    EXPECT_EQ(tell_DBF(h, 3), 0);
}

TEST_F(DeleteTest, AnIndexThatLacksRecordsIsSkippedAndStaysConsistent)
{
    make("set", false);
    for (int i = 0; i < 40; i++)
        add(numbered(i, "kk", i));
    ASSERT_EQ(create_index(h, 2, 6, 2), 1);   // keys on the serial; covers what comes next
    for (int i = 40; i < 100; i++)
        add(numbered(i, "kk", i));
    // Deleting a record index 2 lacks, one it holds, and the last-numbered one, which index 2
    // holds and which moves.
    const int victims[] = {5, 70, 99, 0, 41};
    std::vector<int> held;
    for (int i = 40; i < 100; i++)
        held.push_back(i);
    for (int victim : victims) {
        char key[5];
        snprintf(key, sizeof key, "%04d", victim);
        ASSERT_EQ(has_member(h, 1, key), 1);
        ASSERT_EQ(delete_member(h, 1), 1) << victim;
        EXPECT_EQ(last_error, 0);
        held.erase(std::remove(held.begin(), held.end(), victim), held.end());
        // Index 2 holds exactly the remaining later records, in serial order, and each of its
        // entries names a record with that content.
        std::vector<int> got;
        ASSERT_EQ(lseek_DBF(h, 2, 0, DBF_SEEK_SET), 0);
        for (size_t t = 0; t < held.size(); t++) {
            if (t > 0) {
                ASSERT_EQ(lseek_DBF(h, 2, 1, DBF_SEEK_CUR), (int)t);
            }
            got.push_back(serial_of(current(2)));
        }
        EXPECT_EQ(got, held);
        EXPECT_EQ(lseek_DBF(h, 2, 1, DBF_SEEK_CUR), -9);
    }
    // Deleting through index 2 itself works on the entries it holds.
    ASSERT_EQ(lseek_DBF(h, 2, 0, DBF_SEEK_SET), 0);
    ASSERT_EQ(delete_member(h, 2), 1);
    EXPECT_EQ(serial_of(current(2)), held[1]);
    EXPECT_EQ(member_in_DBF(h), 94);
    // The checker reports only the records that index 2 was never given.
    check_report report;
    check_report_init(&report, 20);
    check_file_set(base().c_str(), &report);
    for (int i = 0; i < report.fault_count && i < CHECK_MAX_FAULTS; i++)
        EXPECT_NE(strstr(report.messages[i], "not in the index"), nullptr) << report.messages[i];
    // Rebuilt, it covers everything again.
    ASSERT_EQ(rebuild_index(h, 2, 1, 6, 2), 1);
    expect_sound();
}

TEST_F(DeleteTest, CorruptIndexesFailTheCallWithoutLoopingOrWildWrites)
{
    // Two-level index 1 (keys 0..99) and index 2; each case patches index 1 of a fresh copy.
    struct patch {
        const char *what;
        uint32_t block;
        size_t offset;
        uint16_t value;
        int width;
        bool must_fail;   // the deletion cannot help meeting the fault
    };
    // Block 2 is the root ({24} after the first split, more later); leaves hold 24..48.
    const patch patches[] = {
        {"a leaf whose parent link is its own block", 1, NODE_PARENT, 1, 2, true},
        {"a subtree count of 0 in the root", 2, NODE_CHILDREN + CHILD_SUBTREE_COUNT, 0, 4, true},
        {"a child entry beyond the file", 2, NODE_CHILDREN + CHILD_BLOCK, 4000, 2, true},
        {"a leaf count above a node's room", 1, NODE_COUNT, 300, 2, true},
        {"a child entry naming block 0", 2, NODE_CHILDREN + CHILD_BLOCK, 0, 2, false},
        {"a leaf count of 2", 1, NODE_COUNT, 2, 2, false},
        {"a root whose parent is a leaf", 2, NODE_PARENT, 1, 2, false},
    };
    int serial = 0;
    for (const patch &p : patches) {
        SCOPED_TRACE(p.what);
        std::string name = "c" + std::to_string(serial++);
        make(name.c_str());
        for (int i = 0; i < 100; i++)
            add(numbered(i, "kk", i));
        ASSERT_EQ(close_DBF(h), 1);
        bytes idx = read_all(file(name.c_str(), 1));
        size_t at = (size_t)p.block * 512 + p.offset;
        if (p.width == 2)
            put_u16le(idx.data() + at, p.value);
        else
            put_u32le(idx.data() + at, p.value);
        write_all(file(name.c_str(), 1), idx);
        h = open_DBF(base(name.c_str()).c_str());
        if (h < 0)
            continue;   // refused at open: nothing to delete through
        // Delete from the first leaf through index 2, which is sound: every case reaches the
        // patched index and must fail there, and the record file must stay whole.
        int done = 0;
        for (int round = 0; round < 5; round++) {
            ASSERT_EQ(lseek_DBF(h, 2, 3, DBF_SEEK_SET), 3);
            int r = delete_member(h, 2);
            if (r == 0) {
                EXPECT_EQ(last_error, 4);
                break;
            }
            done++;
        }
        if (p.must_fail) {
            EXPECT_EQ(done, 0) << "the corruption went unnoticed";
        }
        EXPECT_EQ(size_of(file(name.c_str(), 0)), 1024 + (long long)member_in_DBF(h) * RECLEN);
        ASSERT_EQ(close_DBF(h), 1);
    }
}

}  // namespace
