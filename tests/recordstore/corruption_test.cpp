// File sets damaged at random: a sound set written by the library is corrupted (bytes flipped,
// node fields set to telling values, files cut short or grown, header fields changed, blocks
// swapped, an index file lost) and then every exported operation is called on it. Each must
// return one of its documented results with a documented last_error, and neither crash, hang
// nor draw a sanitizer report. When the checker finds nothing wrong with the damaged set (the
// damage hit bytes that carry no meaning), the set must still be sound after the operations.
//
// The seed is printed with every failure; KESTREL_SEED repeats a run, KESTREL_CORRUPT_ROUNDS
// changes its length.
#include "dbf_check.h"
#include "dbf_test_util.h"
#include "dbf_format.h"
#include "dbf_tree.h"
#include "zkw_dbf.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using dbf_test::report_text;

using bytes = std::vector<uint8_t>;

constexpr int RECORD_LENGTH = 16;
constexpr int KEY1_OFFSET = 0, KEY1_LENGTH = 3;  // few distinct values: many equal keys
constexpr int KEY2_OFFSET = 3, KEY2_LENGTH = 2;

void make_record(std::mt19937 &rng, uint8_t *rec)
{
    static const char alphabet[] = "AB\x7f\x80";
    for (int i = 0; i < KEY1_LENGTH; i++)
        rec[i] = (uint8_t)alphabet[rng() % 4];
    for (int i = KEY1_LENGTH; i < RECORD_LENGTH; i++)
        rec[i] = (uint8_t)('a' + rng() % 26);
}

bool documented_code(int code)
{
    static const int codes[] = {0, 1, 2, 4, 6, 7, 8, 9, 12, 13, 14, 15, 17, 19, 20};
    for (int c : codes)
        if (c == code)
            return true;
    return false;
}

// What the round is doing, for the message of a hang.
char current_step[200];

#if !defined(_WIN32)
void on_alarm(int)
{
    static const char msg[] = "corruption_test: no progress for 60 s, hung in: ";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    ignored = write(2, current_step, strlen(current_step));
    ignored = write(2, "\n", 1);
    (void)ignored;
    _exit(3);
}
#endif

__attribute__((format(printf, 1, 2)))
void step(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(current_step, sizeof current_step, fmt, ap);
    va_end(ap);
#if !defined(_WIN32)
    alarm(60);
#endif
}

class CorruptFileSets : public testing::Test {
protected:
    std::string base;
    bytes pristine[3];
    unsigned seed = 20240602;
    int rounds = 400;
    int pristine_depth = 0;

    void SetUp() override
    {
        // CTest runs the tests of this program in parallel: one file set per test.
        base = std::string("ckc_") +
               testing::UnitTest::GetInstance()->current_test_info()->name();
        if (const char *env = getenv("KESTREL_SEED"))
            seed = (unsigned)strtoul(env, nullptr, 10);
        if (const char *env = getenv("KESTREL_CORRUPT_ROUNDS"))
            rounds = atoi(env);
        remove_files();
#if !defined(_WIN32)
        signal(SIGALRM, on_alarm);
#endif
    }
    void TearDown() override
    {
#if !defined(_WIN32)
        alarm(0);
#endif
        remove_files();
    }
    void run_rounds(int records, int round_count);
    std::string file(int n) const { return base + ".db" + std::to_string(n); }
    void remove_files()
    {
        for (int n = 0; n <= 8; n++)
            remove(file(n).c_str());
    }

    // A sound set of the given number of records with many equal keys in two indexes.
    void build_pristine(std::mt19937 &rng, int records)
    {
        int h = create_DBF(base.c_str(), RECORD_LENGTH);
        ASSERT_GE(h, 64);
        ASSERT_EQ(create_index(h, 1, KEY1_OFFSET, KEY1_LENGTH), 1);
        ASSERT_EQ(create_index(h, 2, KEY2_OFFSET, KEY2_LENGTH), 1);
        uint8_t rec[RECORD_LENGTH];
        for (int i = 0; i < records; i++) {
            make_record(rng, rec);
            ASSERT_EQ(add_member(h, rec), 1);
        }
        ASSERT_EQ(close_DBF(h), 1);
        for (int n = 0; n < 3; n++)
            pristine[n] = dbf_test::read_all(file(n));
        check_report report;
        check_report_init(&report, 0);
        ASSERT_EQ(check_file_set(base.c_str(), &report), 0) << report_text(report);
        pristine_depth = report.index[1].depth;
    }
};

// A 16-bit value that means something to a reader of a node or header field.
uint16_t telling_value(std::mt19937 &rng, int blocks)
{
    const uint16_t values[] = {0, 1, 2, 3, 23, 24, 25, 47, 48, 49, 50, 255, 256, 257,
                               (uint16_t)(blocks - 1), (uint16_t)blocks, (uint16_t)(blocks + 1),
                               0x7fff, 0x8000, 0xffff, (uint16_t)rng()};
    return values[rng() % (sizeof values / sizeof values[0])];
}

// Damages one file of the set in place. Returns a short description for the trace.
std::string damage(std::mt19937 &rng, bytes files[3], bool &lost_index, uint32_t records)
{
    int target = (int)(rng() % 3);
    bytes &b = files[target];
    int blocks = (int)(b.size() / BLOCK_SIZE);
    std::string what = ".db" + std::to_string(target) + ": ";
    switch (rng() % 8) {
    case 0: {  // a few bytes anywhere
        int k = 1 + (int)(rng() % 6);
        for (int i = 0; i < k && !b.empty(); i++)
            b[rng() % b.size()] = (uint8_t)rng();
        return what + std::to_string(k) + " random bytes";
    }
    case 1:
    case 2: {  // one field of a node, or of the header
        if (target == 0) {
            size_t fields[] = {HDR_RECORD_LENGTH, HDR_KEY_LENGTH + 2, HDR_KEY_LENGTH + 4,
                               HDR_KEY_OFFSET + 2, HDR_KEY_OFFSET + 4, HDR_KEY_LENGTH + 6};
            size_t at = fields[rng() % 6];
            uint16_t v = telling_value(rng, blocks);
            put_u16le(b.data() + at, v);
            return what + "header field at " + std::to_string(at) + " := " + std::to_string(v);
        }
        if (blocks < 2)
            return what + "nothing";
        int blk = 1 + (int)(rng() % (blocks - 1));
        size_t node = (size_t)blk * BLOCK_SIZE;
        size_t at;
        switch (rng() % 6) {
        case 0: at = NODE_PARENT; break;
        case 1: at = NODE_POS_IN_PARENT; break;
        case 2: at = NODE_SELF; break;
        case 3: at = NODE_COUNT; break;
        case 4: at = NODE_CHILDREN + CHILD_SIZE * (rng() % 50) + CHILD_BLOCK; break;
        default: at = NODE_RECORDS + 4 * (rng() % 49); break;
        }
        uint16_t v = telling_value(rng, blocks);
        put_u16le(b.data() + node + at, v);
        return what + "block " + std::to_string(blk) + " field " + std::to_string(at) +
               " := " + std::to_string(v);
    }
    case 3: {  // a subtree count or a record number, 32 bits
        if (target == 0 || blocks < 2)
            return what + "nothing";
        int blk = 1 + (int)(rng() % (blocks - 1));
        size_t at = (size_t)blk * BLOCK_SIZE;
        at += rng() % 2 ? NODE_CHILDREN + CHILD_SIZE * (rng() % 50) + CHILD_SUBTREE_COUNT
                        : NODE_RECORDS + 4 * (rng() % 49);
        const uint32_t values[] = {0, 1, records - 1, records, records + 1, 0x7fffffff,
                                   0x80000000u, 0xffffffffu, (uint32_t)rng()};
        uint32_t v = values[rng() % 9];
        put_u32le(b.data() + at, v);
        return what + "32-bit field at " + std::to_string(at) + " := " + std::to_string(v);
    }
    case 4: {  // cut short
        const size_t sizes[] = {0, 1, 313, 314, 512, 1023, 1024, 1025, b.size() - 1,
                                b.size() - BLOCK_SIZE, rng() % (b.size() + 1)};
        size_t size = sizes[rng() % 11];
        if (size > b.size())
            size = b.size();
        b.resize(size);
        return what + "cut to " + std::to_string(size);
    }
    case 5: {  // grown by junk or by zeros
        size_t more = rng() % 3 ? rng() % 2000 : BLOCK_SIZE;
        bool zeros = rng() % 2;
        for (size_t i = 0; i < more; i++)
            b.push_back(zeros ? 0 : (uint8_t)rng());
        return what + "grown by " + std::to_string(more) + (zeros ? " zeros" : " junk");
    }
    case 6: {  // two blocks swapped
        if (target == 0 || blocks < 3)
            return what + "nothing";
        int x = 1 + (int)(rng() % (blocks - 1)), y = 1 + (int)(rng() % (blocks - 1));
        for (size_t i = 0; i < BLOCK_SIZE; i++)
            std::swap(b[(size_t)x * BLOCK_SIZE + i], b[(size_t)y * BLOCK_SIZE + i]);
        return what + "blocks " + std::to_string(x) + " and " + std::to_string(y) + " swapped";
    }
    default:  // an index file lost
        if (target == 0)
            return what + "nothing";
        lost_index = true;
        b.clear();
        return what + "file removed";
    }
}

#define EXPECT_CODE() \
    EXPECT_TRUE(documented_code(last_error)) << current_step << ": last_error " << last_error

// Every operation on an open handle of a damaged set. Returns nothing; checks each result.
void exercise(int h, std::mt19937 &rng, bool keep_keys)
{
    step("member_in_DBF");
    int count = member_in_DBF(h);
    EXPECT_GE(count, 0) << "member_in_DBF";
    EXPECT_CODE();
    // Damage may change the record and key lengths: the buffers hold the largest of either.
    static uint8_t rec[65536], key[65536];

    for (int n = 1; n <= 2; n++) {
        const int whences[] = {DBF_SEEK_SET, DBF_SEEK_CUR, DBF_SEEK_END, 3, -1};
        const int offsets[] = {0, 1, -1, count - 1, count, -count, 0x7fffffff,
                               (int)0x80000000u, (int)(rng() % ((unsigned)count + 10))};
        for (int w : whences)
            for (int off : offsets) {
                step("lseek_DBF index %d whence %d", n, w);
                int r = lseek_DBF(h, n, off, w);
                EXPECT_TRUE(r == -1 || r == -9 || (r >= 0 && (r < count || r == 0)))
                    << current_step << " offset " << off << ": " << r;
                EXPECT_CODE();
                step("tell_DBF index %d", n);
                int t = tell_DBF(h, n);
                EXPECT_GE(t, -1);
                EXPECT_CODE();
            }

        // A bounded walk through the index with SEEK_CUR.
        step("SEEK_CUR walk of index %d", n);
        if (lseek_DBF(h, n, 0, DBF_SEEK_SET) >= 0)
            for (int i = 0; i <= count && lseek_DBF(h, n, 1, DBF_SEEK_CUR) >= 0; i++) {
            }
        EXPECT_CODE();

        step("has_member index %d", n);
        for (int i = 0; i < KEY1_LENGTH; i++)
            key[i] = (uint8_t)("AB\x7f\x80"[rng() % 4]);
        int r = has_member(h, n, key);
        EXPECT_TRUE(r >= -1 && r <= 1) << current_step << ": " << r;
        EXPECT_CODE();

        step("get_member index %d", n);
        r = get_member(h, n, rec);
        EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
        EXPECT_CODE();
        if (r == 1) {
            // The same bytes back: no key changes, so a sound set stays sound.
            step("update_member index %d", n);
            r = update_member(h, n, rec);
            EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
            EXPECT_CODE();
        }
    }

    step("add_member");
    make_record(rng, rec);
    int r = add_member(h, rec);
    EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
    EXPECT_CODE();

    for (int k = (int)(rng() % 4); k > 0; k--) {
        int n = 1 + (int)(rng() % 2);
        step("delete_member index %d", n);
        lseek_DBF(h, n, (int)(rng() % ((unsigned)count + 1)), DBF_SEEK_SET);
        r = delete_member(h, n);
        EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
        EXPECT_CODE();
    }

    step("rebuild_index 2 in the order of index 1");
    r = rebuild_index(h, 2, 1, KEY2_OFFSET, KEY2_LENGTH);
    EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
    EXPECT_CODE();
    if (!keep_keys || rng() % 2) {
        step("rebuild_index 1 in record order");
        r = rebuild_index(h, 1, 0, KEY1_OFFSET, KEY1_LENGTH);
        EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
        EXPECT_CODE();
    }
    step("remove_index 2");
    r = remove_index(h, 2);
    EXPECT_TRUE(r == 0 || r == 1) << current_step << ": " << r;
    EXPECT_CODE();
}

// Rounds of damage to a sound set of the given size, each followed by every operation.
void CorruptFileSets::run_rounds(int records, int round_count)
{
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KESTREL_SEED repeats it)");
    std::mt19937 rng(seed);
    build_pristine(rng, records);
    if (HasFatalFailure())
        return;

    check_report report;
    for (int round = 0; round < round_count; round++) {
        bytes files[3] = {pristine[0], pristine[1], pristine[2]};
        bool lost_index = false;
        std::string what = damage(rng, files, lost_index, (uint32_t)records);
        if (rng() % 4 == 0)  // now and then a second blow
            what += "; " + damage(rng, files, lost_index, (uint32_t)records);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + what);
        for (int n = 0; n < 3; n++) {
            if (n > 0 && files[n].empty() && lost_index)
                remove(file(n).c_str());
            else
                dbf_test::write_all(file(n), files[n]);
        }

        step("checker before, round %d", round);
        check_report_init(&report, 0);
        bool sound = check_file_set(base.c_str(), &report) == 0;

        step("open_DBF, round %d", round);
        int h = open_DBF(base.c_str());
        EXPECT_TRUE(h == -1 || (h >= 64 && h <= 95)) << "open_DBF: " << h;
        if (h == -1) {
            EXPECT_TRUE(last_error == 2 || last_error == 4 || last_error == 6)
                << "open_DBF: last_error " << last_error;
            EXPECT_FALSE(sound) << "a sound set was refused, last_error " << last_error;
        } else {
            exercise(h, rng, sound);
            step("close_DBF, round %d", round);
            EXPECT_EQ(close_DBF(h), 1);
            EXPECT_EQ(last_error, 0);
            if (sound) {
                step("checker after, round %d", round);
                check_report_init(&report, 0);
                EXPECT_EQ(check_file_set(base.c_str(), &report), 0)
                    << "the operations broke a sound set:\n"
                    << report_text(report);
            }
        }
        for (int s = 0; s < SLOT_COUNT; s++)
            EXPECT_EQ(slot_table[s].file, nullptr) << "slot " << s << " left open";

        step("remove_DBF, round %d", round);
        int r = remove_DBF(base.c_str());
        EXPECT_TRUE(r == 0 || r == 1) << "remove_DBF: " << r;
        EXPECT_CODE();
        remove_files();
        if (HasFailure())
            break;  // one round's story is enough to read
    }
    step("done");
}

// Two levels in both indexes.
TEST_F(CorruptFileSets, EveryOperationFailsCleanly)
{
    run_rounds(300, rounds);
}

// Three levels in the index of few distinct keys: damage to internal nodes below the root.
TEST_F(CorruptFileSets, EveryOperationFailsCleanlyOnDeeperTrees)
{
    run_rounds(2600, rounds / 8);
    EXPECT_GE(pristine_depth, 3);
}

}  // namespace
