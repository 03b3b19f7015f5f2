// The files byte for byte: the record file after creation and after records, the header after
// index changes, an empty index, and the split of the root leaf at the 49th entry.
#include "dbf_test_util.h"

namespace {

using namespace dbf_test;

// Little-endian stores of the test's own, so that the expected bytes do not come from the
// codec under test.
void le16(bytes &b, size_t at, unsigned v)
{
    b[at] = (uint8_t)(v & 0xFF);
    b[at + 1] = (uint8_t)(v >> 8);
}
void le32(bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

bytes expected_header_block(const std::string &path, unsigned reclen)
{
    bytes b(512, 0);
    memcpy(b.data(), "ZKW-DBF V01.00", 15);
    memcpy(b.data() + 20, path.c_str(), path.size());
    le16(b, 276, reclen);
    return b;
}

// One node block: (parent, pos, self, records, children as block/count pairs).
bytes node_block(unsigned parent, unsigned pos, unsigned self, const std::vector<uint32_t> &recs,
                 const std::vector<std::pair<unsigned, uint32_t>> &kids = {})
{
    bytes b(512, 0);
    le16(b, 0, parent);
    le16(b, 2, pos);
    le16(b, 4, self);
    le16(b, 6, (unsigned)recs.size());
    for (size_t i = 0; i < recs.size(); i++)
        le32(b, 8 + 4 * i, recs[i]);
    for (size_t i = 0; i < kids.size(); i++) {
        le16(b, 204 + 6 * i, kids[i].first);
        le32(b, 206 + 6 * i, kids[i].second);
    }
    return b;
}

bytes concat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

using FormatTest = StoreTest;

TEST_F(FormatTest, RecordFileAfterCreationAndRecords)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 7);
    ASSERT_GE(h, 64);
    bytes hdr = expected_header_block(b + ".db0", 7);
    EXPECT_EQ(read_all(b + ".db0"), concat({hdr, hdr}));

    ASSERT_EQ(add_member(h, "ABCDEFG"), 1);
    ASSERT_EQ(add_member(h, "\x80\x01\x02\x03\x04\x05\x06"), 1);
    bytes recs = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 0x80, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(read_all(b + ".db0"), concat({hdr, hdr, recs}));
    EXPECT_EQ(member_in_DBF(h), 2);
    EXPECT_EQ(close_DBF(h), 1);
}

TEST_F(FormatTest, HeaderRecordsIndexesAndTheOpeningPath)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 40);
    ASSERT_EQ(create_index(h, 1, 0, 13), 1);
    ASSERT_EQ(create_index(h, 3, 30, 8), 1);
    bytes created = expected_header_block(b + ".db0", 40);
    bytes hdr = created;
    le16(hdr, 278 + 2, 13);
    le16(hdr, 296 + 2, 0);
    le16(hdr, 278 + 6, 8);
    le16(hdr, 296 + 6, 30);
    // The second block keeps the header of the creation.
    EXPECT_EQ(read_all(b + ".db0"), concat({hdr, created}));

    // An empty index: blocks 0 and 1, each an empty root in block 1.
    bytes empty = node_block(0, 0, 1, {});
    EXPECT_EQ(read_all(b + ".db1"), concat({empty, empty}));
    EXPECT_EQ(read_all(b + ".db3"), concat({empty, empty}));

    ASSERT_EQ(remove_index(h, 3), 1);
    le16(hdr, 278 + 6, 0);
    le16(hdr, 296 + 6, 0);
    EXPECT_EQ(read_all(b + ".db0"), concat({hdr, created}));
    EXPECT_FALSE(exists(b + ".db3"));
    ASSERT_EQ(close_DBF(h), 1);

    // Opening stores the name it was opened by; the bytes after it are zero.
    std::filesystem::rename(b + ".db0", base("other") + ".db0");
    std::filesystem::rename(b + ".db1", base("other") + ".db1");
    std::string o = base("other");
    h = open_DBF(o.c_str());
    ASSERT_GE(h, 64);
    bytes reopened = read_all(o + ".db0");
    bytes want = hdr;
    memset(want.data() + 20, 0, 256);
    memcpy(want.data() + 20, (o + ".db0").c_str(), o.size() + 4);
    EXPECT_EQ(bytes(reopened.begin(), reopened.begin() + 512), want);
    ASSERT_EQ(close_DBF(h), 1);
}

TEST_F(FormatTest, LongestBaseNameFitsThePathField)
{
    std::string b = base("x");
    b += std::string(250 - b.size(), 'n');
    ASSERT_EQ(b.size(), 250u);
    int h = create_DBF(b.c_str(), 4);
    if (h < 0 && last_error == 6)
        GTEST_SKIP() << "the temporary folder does not allow names this long";
    ASSERT_GE(h, 64);
    bytes f = read_all(b + ".db0");
    ASSERT_EQ(f.size(), 1024u);
    EXPECT_EQ(std::string((const char *)f.data() + 20), b + ".db0");
    EXPECT_EQ(f[20 + 254], 0);
    close_DBF(h);
}

TEST_F(FormatTest, FortyEighthEntryKeepsOneLeafFortyNinthSplitsIt)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 4);
    ASSERT_EQ(create_index(h, 1, 0, 4), 1);
    // Keys in descending order, so that every insertion goes to position 0 and record r has
    // rank 48 - r at the end.
    for (int r = 0; r < 49; r++) {
        uint8_t rec[4] = {0, 0, 0, (uint8_t)(200 - r)};
        ASSERT_EQ(add_member(h, rec), 1);
        if (r == 47) {
            EXPECT_EQ(size_of(b + ".db1"), 1024);
            std::vector<uint32_t> recs;
            for (int k = 47; k >= 0; k--)
                recs.push_back((uint32_t)k);
            EXPECT_EQ(read_all(b + ".db1"), concat({node_block(0, 0, 1, {}), node_block(0, 0, 1, recs)}));
        }
    }
    std::vector<uint32_t> left, right;
    for (int k = 48; k > 24; k--)
        left.push_back((uint32_t)k);
    for (int k = 23; k >= 0; k--)
        right.push_back((uint32_t)k);
    bytes want = concat({node_block(0, 0, 1, {}), node_block(2, 0, 1, left),
                         node_block(0, 0, 2, {24}, {{1, 24}, {3, 24}}), node_block(2, 1, 3, right)});
    EXPECT_EQ(read_all(b + ".db1"), want);
    EXPECT_EQ(slot_table[slot_table[h - 64].index_handle[1] - 64].root_block, 2);

    // Every rank is reachable, in key order, from the new root.
    for (int t = 0; t < 49; t++) {
        uint8_t rec[4];
        ASSERT_EQ(lseek_DBF(h, 1, t, DBF_SEEK_SET), t);
        ASSERT_EQ(get_member(h, 1, rec), 1);
        EXPECT_EQ(rec[3], 200 - 48 + t);
    }
    close_DBF(h);
}

TEST_F(FormatTest, KeysCompareAsUnsignedBytes)
{
    std::string b = base();
    int h = create_DBF(b.c_str(), 2);
    ASSERT_EQ(create_index(h, 1, 0, 2), 1);
    ASSERT_EQ(add_member(h, "\x80\x00"), 1);
    ASSERT_EQ(add_member(h, "\x7F\xFF"), 1);
    ASSERT_EQ(add_member(h, "a\x00"), 1);
    ASSERT_EQ(add_member(h, "A\x01"), 1);
    const char *order[] = {"A\x01", "a\x00", "\x7F\xFF", "\x80\x00"};
    for (int t = 0; t < 4; t++) {
        char rec[2];
        ASSERT_EQ(lseek_DBF(h, 1, t, DBF_SEEK_SET), t);
        ASSERT_EQ(get_member(h, 1, rec), 1);
        EXPECT_EQ(memcmp(rec, order[t], 2), 0) << "rank " << t;
    }
    close_DBF(h);
}

}  // namespace
