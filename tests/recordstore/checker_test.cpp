// The file-set checker and dumper. On small crafted file sets: sound sets pass, and each kind
// of fault the checker looks for is found in a set that has just that fault. The sets are
// built here byte by byte (sparse hex dumps and node tables), without the library, and the
// faults are byte patches of a sound set. On file sets that the library writes: large sets
// with many equal keys, several indexes and trees three levels deep pass; an index created on
// a file that already held records (which covers only the records added after it) is
// reported.
#include "dbf_check.h"
#include "dbf_dump.h"
#include "zkwdbf_cli.h"
#include "dbf_test_util.h"
#include "dbf_format.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using dbf_test::report_text;

void patch_u16(const std::string &path, size_t at, uint16_t v)
{
    bytes b = dbf_test::read_all(path);
    ASSERT_GE(b.size(), at + 2);
    put_u16le(b.data() + at, v);
    dbf_test::write_all(path, b);
}

void patch_u32(const std::string &path, size_t at, uint32_t v)
{
    bytes b = dbf_test::read_all(path);
    ASSERT_GE(b.size(), at + 4);
    put_u32le(b.data() + at, v);
    dbf_test::write_all(path, b);
}

void resize_file(const std::string &path, size_t size)
{
    bytes b = dbf_test::read_all(path);
    b.resize(size, 0);
    dbf_test::write_all(path, b);
}

// A file as a sparse hex dump: a line "size N" and lines "OFFSET: BYTES" (offset and bytes in
// hex); every byte not listed is zero.
bytes from_hex_dump(const char *text)
{
    bytes out;
    const char *p = text;
    while (*p) {
        const char *eol = strchr(p, '\n');
        std::string line(p, eol ? (size_t)(eol - p) : strlen(p));
        p = eol ? eol + 1 : p + line.size();
        unsigned long size;
        if (sscanf(line.c_str(), " size %lu", &size) == 1) {
            out.assign(size, 0);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t at = strtoul(line.c_str(), nullptr, 16);
        const char *q = line.c_str() + colon + 1;
        unsigned v;
        int used;
        while (sscanf(q, " %2x%n", &v, &used) == 1) {
            if (at < out.size())
                out[at] = (uint8_t)v;
            at++;
            q += used;
        }
    }
    return out;
}

// The header block of a record file (both copies) with the given record length and indexes
// (index number, key offset, key length).
bytes record_file_header(const std::string &path, int record_length,
                         const std::vector<std::vector<int>> &indexes)
{
    bytes h(DBF_RECORDS_START, 0);
    memcpy(h.data() + HDR_MAGIC, DBF_MAGIC, DBF_MAGIC_SIZE);
    memcpy(h.data() + HDR_PATH, path.c_str(), path.size());
    put_u16le(h.data() + HDR_RECORD_LENGTH, (uint16_t)record_length);
    for (const std::vector<int> &ix : indexes) {
        put_u16le(h.data() + HDR_KEY_OFFSET + 2 * ix[0], (uint16_t)ix[1]);
        put_u16le(h.data() + HDR_KEY_LENGTH + 2 * ix[0], (uint16_t)ix[2]);
    }
    memcpy(h.data() + HDR_BLOCK_SIZE, h.data(), HDR_BLOCK_SIZE);
    return h;
}

// One node of a crafted index: its block is its place in the list plus 1.
struct node_spec {
    int parent;
    int pos;
    std::vector<uint32_t> records;
    std::vector<std::pair<int, uint32_t>> children;  // block, subtree_count
};

bytes index_file(const std::vector<node_spec> &nodes)
{
    bytes f((nodes.size() + 1) * BLOCK_SIZE, 0);
    index_node empty = {};
    empty.self = 1;
    encode_node(&empty, f.data());
    for (size_t i = 0; i < nodes.size(); i++) {
        index_node node = {};
        node.parent = (uint16_t)nodes[i].parent;
        node.pos_in_parent = (uint16_t)nodes[i].pos;
        node.self = (uint16_t)(i + 1);
        node.count = (uint16_t)nodes[i].records.size();
        for (size_t k = 0; k < nodes[i].records.size(); k++)
            node.records[k] = nodes[i].records[k];
        for (size_t k = 0; k < nodes[i].children.size(); k++) {
            node.children[k].block = (uint16_t)nodes[i].children[k].first;
            node.children[k].subtree_count = nodes[i].children[k].second;
        }
        encode_node(&node, f.data() + (i + 1) * BLOCK_SIZE);
    }
    return f;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to)
{
    std::vector<uint32_t> v;
    for (uint32_t i = from; i < to; i++)
        v.push_back(i);
    return v;
}

// Offsets inside an index file.
size_t node_at(int blk, size_t field) { return (size_t)blk * BLOCK_SIZE + field; }
size_t record_at(int blk, int i) { return node_at(blk, NODE_RECORDS) + 4 * (size_t)i; }
size_t child_at(int blk, int i, size_t field)
{
    return node_at(blk, NODE_CHILDREN) + CHILD_SIZE * (size_t)i + field;
}

class Checker : public testing::Test {
protected:
    std::string base;
    check_report report;

    void SetUp() override
    {
        const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
        base = std::string("ckt_") + info->test_suite_name() + "_" + info->name();
        remove_set();
        check_report_init(&report, 0);
    }
    void TearDown() override
    {
        if (HasFailure()) {
            fprintf(stderr, "%s", report_text(report).c_str());
            dump_header(base.c_str(), stderr);
            dump_nodes(base.c_str(), 1, stderr);
        }
        remove_set();
    }
    void remove_set()
    {
        for (int n = 0; n <= 8; n++)
            remove(file(n).c_str());
    }
    std::string file(int n) const { return base + ".db" + std::to_string(n); }

    // Records of four bytes whose key (offset 0, length 3) is the record number in three
    // decimal digits, so that record-number order is key order.
    void write_records(int count, const std::vector<std::vector<int>> &indexes)
    {
        bytes f = record_file_header(file(0), 4, indexes);
        for (int i = 0; i < count; i++) {
            char rec[16];
            snprintf(rec, sizeof rec, "%03dx", i);
            f.insert(f.end(), rec, rec + 4);
        }
        dbf_test::write_all(file(0), f);
    }

    // 49 records and an index of two leaves under a root, as the 49th insertion leaves it:
    // block 1 the left leaf (records 0..23), block 2 the root (24), block 3 the right leaf.
    void write_two_leaf_set()
    {
        write_records(49, {{1, 0, 3}});
        dbf_test::write_all(file(1), index_file({{2, 0, range(0, 24), {}},
                                        {0, 0, {24}, {{1, 24}, {3, 24}}},
                                        {2, 1, range(25, 49), {}}}));
    }

    int check() { return check_file_set(base.c_str(), &report); }

    bool has_fault(const char *text) const
    {
        for (int i = 0; i < report.fault_count; i++)
            if (strstr(report.messages[i], text))
                return true;
        return false;
    }
};

#define EXPECT_FAULT(text) EXPECT_TRUE(has_fault(text)) << "no fault \"" << (text) << "\" in:\n" \
                                                        << report_text(report)

// ---- sound file sets ----

TEST_F(Checker, AcceptsAnEmptySetWithAnEmptyIndex)
{
    write_records(0, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, {}, {}}}));
    EXPECT_EQ(check(), 0) << report_text(report);
    EXPECT_EQ(report.record_count, 0);
    EXPECT_EQ(report.index[1].blocks, 2);
    EXPECT_EQ(report.index[1].entries, 0);
}

TEST_F(Checker, AcceptsARootLeafOf48AndTwoLeavesUnderARoot)
{
    write_records(48, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, range(0, 48), {}}}));
    EXPECT_EQ(check(), 0) << report_text(report);

    write_two_leaf_set();
    EXPECT_EQ(check(), 0) << report_text(report);
    EXPECT_EQ(report.record_count, 49);
    EXPECT_EQ(report.index[1].entries, 49);
    EXPECT_EQ(report.index[1].blocks, 4);
    EXPECT_EQ(report.index[1].depth, 2);
}

// Equal keys keep insertion order, which after deletions is no longer record-number order.
TEST_F(Checker, AcceptsEqualKeysInAnyRecordOrder)
{
    bytes f = record_file_header(file(0), 2, {{1, 0, 1}});
    for (const char *rec : {"Ab", "Ac", "Aa", "B0"})
        f.insert(f.end(), rec, rec + 2);
    dbf_test::write_all(file(0), f);
    dbf_test::write_all(file(1), index_file({{0, 0, {2, 0, 1, 3}, {}}}));
    EXPECT_EQ(check(), 0) << report_text(report);
}

TEST_F(Checker, ComparesKeysAsUnsignedBytes)
{
    bytes f = record_file_header(file(0), 1, {{1, 0, 1}});
    f.push_back(0x80);
    f.push_back(0x7f);
    dbf_test::write_all(file(0), f);
    dbf_test::write_all(file(1), index_file({{0, 0, {1, 0}, {}}}));
    EXPECT_EQ(check(), 0) << report_text(report);

    dbf_test::write_all(file(1), index_file({{0, 0, {0, 1}, {}}}));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 1 entry 1: record 1 sorts before record 0");
}

TEST_F(Checker, ChecksEveryListedIndexAndOnlyThose)
{
    write_records(3, {{1, 0, 3}, {3, 1, 2}});
    dbf_test::write_all(file(1), index_file({{0, 0, {0, 1, 2}, {}}}));
    dbf_test::write_all(file(3), index_file({{0, 0, {0, 2, 1}, {}}}));
    dbf_test::write_all(file(2), bytes(7, 0xff));  // not listed: never looked at
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 3 block 1 entry 2: record 1 sorts before record 2");
    EXPECT_TRUE(report.index[1].listed && !report.index[2].listed && report.index[3].listed);
}

// ---- the record file ----

TEST_F(Checker, RecordFileMissingOrTooShortForItsHeader)
{
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: cannot open");

    dbf_test::write_all(file(0), bytes(313, 0));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: 313 bytes, too short for the header");

    dbf_test::write_all(file(0), bytes());
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: 0 bytes");
}

TEST_F(Checker, RecordFileWithoutTheMagicText)
{
    dbf_test::write_all(file(0), from_hex_dump("size 400\n"
                                      "0000: 5a 4b 57 2d 44 42 46 20 56 30 31 2e 30 31 00\n"
                                      "0114: 04 00\n"));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: no \"ZKW-DBF V01.00\" magic");

    // The text must end with its zero byte: a longer text is not the magic either.
    dbf_test::write_all(file(0), from_hex_dump("size 1024\n"
                                      "0000: 5a 4b 57 2d 44 42 46 20 56 30 31 2e 30 30 21\n"
                                      "0114: 04 00\n"));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("magic");
}

TEST_F(Checker, RecordLengthZeroOrAbove32767)
{
    dbf_test::write_all(file(0), from_hex_dump("size 1024\n"
                                      "0000: 5a 4b 57 2d 44 42 46 20 56 30 31 2e 30 30 00\n"
                                      "0118: 03 00\n"
                                      "012a: 00 00\n"));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: record_length 0 outside 1 to 32767");

    patch_u16(file(0), HDR_RECORD_LENGTH, 32768);
    check();
    EXPECT_FAULT("record_length 32768 outside");
}

TEST_F(Checker, RecordFileShorterThanItsHeaderBlocks)
{
    write_records(0, {});
    resize_file(file(0), 600);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: 600 bytes, below 1024");
}

TEST_F(Checker, PartialTrailingRecord)
{
    write_records(5, {});
    resize_file(file(0), 1024 + 5 * 4 + 3);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: a partial record of 3 bytes after record 4");
}

TEST_F(Checker, PathWithoutItsTerminatingZero)
{
    write_records(0, {});
    bytes f = dbf_test::read_all(file(0));
    memset(f.data() + HDR_PATH, 'p', HDR_PATH_SIZE);
    dbf_test::write_all(file(0), f);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("record file: path has no terminating zero");
}

TEST_F(Checker, KeyThatDoesNotFitTheRecordOrTheKeyBuffer)
{
    write_records(1, {{1, 2, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, {0}, {}}}));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: key offset 2 and length 3 do not fit a record of 4 bytes");

    bytes f = record_file_header(file(0), 400, {{2, 0, 300}});
    f.resize(f.size() + 400, 'k');
    dbf_test::write_all(file(0), f);
    dbf_test::write_all(file(2), index_file({{0, 0, {0}, {}}}));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 2: key length 300 above 256");
}

// ---- the index file ----

TEST_F(Checker, IndexFileMissing)
{
    write_records(2, {{4, 0, 3}});
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 4: cannot open");
}

TEST_F(Checker, IndexFileSizeNotWholeBlocksOrBelowTwoBlocks)
{
    write_two_leaf_set();
    resize_file(file(1), 4 * BLOCK_SIZE + 100);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: file size 2148 is not a multiple of 512");

    write_records(0, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, {}, {}}}));
    resize_file(file(1), BLOCK_SIZE);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: file size 512 below 1024");
}

TEST_F(Checker, BlockNeverReached)
{
    write_two_leaf_set();
    resize_file(file(1), 5 * BLOCK_SIZE);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: block 4 never reached");
}

TEST_F(Checker, BlockReachedTwice)
{
    write_two_leaf_set();
    patch_u16(file(1), child_at(2, 1, CHILD_BLOCK), 1);
    check();
    EXPECT_FAULT("index 1 block 2 child 1: block 1 reached twice");
    EXPECT_FAULT("index 1: block 3 never reached");
}

TEST_F(Checker, ChildBlockBeyondTheFileOrZeroInAnInternalNode)
{
    write_two_leaf_set();
    patch_u16(file(1), child_at(2, 1, CHILD_BLOCK), 9);
    check();
    EXPECT_FAULT("index 1 block 2 child 1: block 9 beyond the file's 4 blocks");

    write_two_leaf_set();
    patch_u16(file(1), child_at(2, 1, CHILD_BLOCK), 0);
    check();
    EXPECT_FAULT("index 1 block 2 child 1: no block in an internal node");
}

TEST_F(Checker, ParentChainFromBlockOneThatLoopsOrLeavesTheFile)
{
    write_two_leaf_set();
    patch_u16(file(1), node_at(2, NODE_PARENT), 3);  // 1 -> 2 -> 3 -> 2 ...
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: the parent chain from block 1 does not end (a cycle)");

    write_two_leaf_set();
    patch_u16(file(1), node_at(1, NODE_PARENT), 1);  // its own parent
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("does not end");

    write_two_leaf_set();
    patch_u16(file(1), node_at(1, NODE_PARENT), 40);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 1: parent 40 beyond the file's 4 blocks");
}

TEST_F(Checker, SelfParentOrPositionThatDisagreeWithTheChildEntry)
{
    write_two_leaf_set();
    patch_u16(file(1), node_at(3, NODE_SELF), 7);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 3: self is 7");

    write_two_leaf_set();
    patch_u16(file(1), node_at(3, NODE_PARENT), 1);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 3: parent is 1, not 2");

    write_two_leaf_set();
    patch_u16(file(1), node_at(3, NODE_POS_IN_PARENT), 0);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 3: pos_in_parent is 0, not 1");
}

TEST_F(Checker, LeafWithAChildEntry)
{
    write_two_leaf_set();
    patch_u32(file(1), child_at(1, 24, CHILD_SUBTREE_COUNT), 5);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 1 child 24: leaf child is block 0 count 5");
}

TEST_F(Checker, CountsOutsideTheirBounds)
{
    write_two_leaf_set();
    patch_u16(file(1), node_at(3, NODE_COUNT), 23);
    check();
    EXPECT_FAULT("index 1 block 3: count 23 below 24");
    EXPECT_FAULT("index 1 block 2 child 1: subtree_count 24, block 3's subtree holds 23");
    EXPECT_FAULT("index 1: 1 of 49 records not in the index, the first is record 48");

    write_two_leaf_set();
    patch_u16(file(1), node_at(3, NODE_COUNT), 60000);
    check();
    EXPECT_FAULT("index 1 block 3: count 60000 above 48");

    write_two_leaf_set();
    patch_u16(file(1), node_at(2, NODE_COUNT), 0);
    check();
    EXPECT_FAULT("index 1 block 2: internal root with no entries");
}

TEST_F(Checker, SubtreeCountThatDisagreesWithTheSubtree)
{
    write_two_leaf_set();
    patch_u32(file(1), child_at(2, 0, CHILD_SUBTREE_COUNT), 25);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 2 child 0: subtree_count 25, block 1's subtree holds 24");
}

TEST_F(Checker, RecordNumberBeyondTheRecordCount)
{
    write_two_leaf_set();
    patch_u32(file(1), record_at(1, 3), 49);
    check();
    EXPECT_FAULT("index 1 block 1 entry 3: record 49 beyond the record count 49");
    EXPECT_FAULT("index 1: 1 of 49 records not in the index, the first is record 3");
}

TEST_F(Checker, RecordHeldTwice)
{
    write_two_leaf_set();
    patch_u32(file(1), record_at(1, 3), 4);  // equal keys side by side: no order fault
    EXPECT_EQ(check(), 2);
    EXPECT_FAULT("index 1 block 1 entry 4: record 4 held twice");
    EXPECT_FAULT("index 1: 1 of 49 records not in the index, the first is record 3");
}

TEST_F(Checker, IndexThatDoesNotCoverEveryRecord)
{
    write_records(49, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, range(0, 10), {}}}));
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1: 39 of 49 records not in the index, the first is record 10");
}

TEST_F(Checker, KeysOutOfOrderInALeafAndAcrossLevels)
{
    write_two_leaf_set();
    patch_u32(file(1), record_at(1, 2), 3);
    patch_u32(file(1), record_at(1, 3), 2);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 1 entry 3: record 2 sorts before record 3, the entry before it");

    // The root's entry must sort after the whole left leaf and before the right one.
    write_two_leaf_set();
    patch_u32(file(1), record_at(2, 0), 23);
    patch_u32(file(1), record_at(1, 23), 24);
    EXPECT_EQ(check(), 1);
    EXPECT_FAULT("index 1 block 2 entry 0: record 23 sorts before record 24");
}

TEST_F(Checker, LeavesAtDifferentDepths)
{
    // Root (block 2) with a leaf on the left and a small internal node on the right.
    write_records(52, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{2, 0, range(0, 24), {}},
                                    {0, 0, {24}, {{1, 24}, {3, 27}}},
                                    {2, 1, {38}, {{4, 13}, {5, 13}}},
                                    {3, 0, range(25, 38), {}},
                                    {3, 1, range(39, 52), {}}}));
    check();
    EXPECT_FAULT("index 1 block 4: leaf at depth 3, the first leaf is at depth 2");
    EXPECT_FAULT("index 1 block 3: count 1 below 24");
}

TEST_F(Checker, StopsAfterTheGivenNumberOfFaults)
{
    write_records(49, {{1, 0, 3}});
    dbf_test::write_all(file(1), index_file({{0, 0, range(0, 10), {}}}));
    resize_file(file(1), 40 * BLOCK_SIZE);  // 38 blocks never reached
    check_report_init(&report, 5);
    EXPECT_EQ(check(), 5);
    EXPECT_EQ(report.stopped, 1);

    check_report_init(&report, 0);
    EXPECT_EQ(check(), 39);
    EXPECT_EQ(report.stopped, 0);
}

// ---- the dumper ----

std::string capture(int (*dump)(const char *, int, FILE *), const std::string &base, int n)
{
    FILE *f = tmpfile();
    if (!f)
        return "(no temporary file)";
    dump(base.c_str(), n, f);
    rewind(f);
    std::string s;
    char buf[1024];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, got);
    fclose(f);
    return s;
}

TEST_F(Checker, DumpsRecordsInRecordOrderOrIndexOrderAndNodes)
{
    bytes f = record_file_header(file(0), 3, {{1, 1, 2}});
    for (const char *rec : {"aZZ", "bAA", "c\\\x01"})
        f.insert(f.end(), rec, rec + 3);
    dbf_test::write_all(file(0), f);
    dbf_test::write_all(file(1), index_file({{0, 0, {1, 0, 2}, {}}}));
    ASSERT_EQ(check(), 0) << report_text(report);

    EXPECT_EQ(capture(dump_records, base, 0),
              "record 0: aZZ\nrecord 1: bAA\nrecord 2: c\\x5C\\x01\n");
    EXPECT_EQ(capture(dump_records, base, 1),
              "rank 0 record 1: bAA\nrank 1 record 0: aZZ\nrank 2 record 2: c\\x5C\\x01\n");

    write_two_leaf_set();
    std::string nodes = capture(dump_nodes, base, 1);
    EXPECT_NE(nodes.find("index 1: 4 blocks, root block 2\n"), std::string::npos) << nodes;
    EXPECT_NE(nodes.find("block 2: internal, parent 0, pos_in_parent 0, self 2, count 1\n"
                         "  records: 24\n"
                         "  children: 1(24) 3(24)\n"),
              std::string::npos)
        << nodes;
    EXPECT_NE(nodes.find("block 3: leaf, parent 2, pos_in_parent 1, self 3, count 24\n"),
              std::string::npos)
        << nodes;
}

// ---- the zkwdbf tool ----

struct tool_run {
    int status;
    std::string out, err;
};

std::string read_back(FILE *f)
{
    std::string s;
    rewind(f);
    char buf[1024];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, got);
    fclose(f);
    return s;
}

tool_run run_tool(std::vector<std::string> args)
{
    args.insert(args.begin(), "zkwdbf");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE *out = tmpfile(), *err = tmpfile();
    if (!out || !err)
        return {-1, "", "no temporary file"};
    int status = zkwdbf_command((int)args.size(), argv.data(), out, err);
    return {status, read_back(out), read_back(err)};
}

TEST_F(Checker, ToolReportsFaultsByExitStatusAndRefusesBadArguments)
{
    write_two_leaf_set();
    tool_run r = run_tool({"check", base});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ok: " + base + ".db0, record length 4, 49 records; index 1 (key offset 0, "
                     "length 3): 49 entries, 4 blocks, depth 2\n");

    r = run_tool({"dump", base, "--index", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("records        49\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rank 48 record 48: 048x\n"), std::string::npos) << r.out;

    patch_u16(file(1), node_at(3, NODE_SELF), 7);
    patch_u16(file(1), node_at(1, NODE_SELF), 8);
    r = run_tool({"check", base});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "index 1 block 1: self is 8\nindex 1 block 3: self is 7\n");
    r = run_tool({"check", base, "--max", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "index 1 block 1: self is 8\nstopped: fault limit 1 reached\n");

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {}, {"check"}, {"verify", base}, {"check", base, "--max", "0"},
             {"check", base, "extra"}, {"dump", base, "--index", "9"},
             {"dump", base, "--index", "1x"}, {"nodes", base}}) {
        r = run_tool(bad);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("usage: zkwdbf check BASE", 0), 0u) << r.err;
    }

    r = run_tool({"check", "ckt_no_such_set"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "record file: cannot open ckt_no_such_set.db0\n");
    r = run_tool({"dump", "ckt_no_such_set"});
    EXPECT_EQ(r.status, 1);
}

// ---- any bytes at all ----

// Random damage to a sound set: the checker and the dumper must finish, whatever they find,
// without a sanitizer report.
TEST_F(Checker, SurvivesRandomDamage)
{
    unsigned seed = 20240601;
    if (const char *env = getenv("KESTREL_SEED"))
        seed = (unsigned)strtoul(env, nullptr, 10);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KESTREL_SEED to repeat)");
    std::mt19937 rng(seed);
    FILE *sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    for (int round = 0; round < 300; round++) {
        write_two_leaf_set();
        int target = (int)(rng() % 2);
        bytes b = dbf_test::read_all(file(target));
        switch (rng() % 4) {
        case 0:  // flip a few bytes anywhere
        case 1:
            for (int k = 1 + (int)(rng() % 8); k > 0; k--)
                b[rng() % b.size()] = (uint8_t)rng();
            break;
        case 2:  // cut the file short
            b.resize(rng() % b.size());
            break;
        default:  // grow it by junk
            for (int k = (int)(rng() % 1500); k > 0; k--)
                b.push_back((uint8_t)rng());
        }
        dbf_test::write_all(file(target), b);
        check_report_init(&report, (int)(rng() % 20));
        check();
        dump_header(base.c_str(), sink);
        dump_records(base.c_str(), 0, sink);
        dump_records(base.c_str(), 1, sink);
        dump_nodes(base.c_str(), 1, sink);
        rewind(sink);
    }
    fclose(sink);
}

// ---- The checker on file sets that the library writes ----

constexpr int RECORD_LENGTH = 24;

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
