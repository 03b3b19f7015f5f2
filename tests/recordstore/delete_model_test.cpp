// Deletion against a plain in-memory model, seeded: records in a vector (the last one moving
// into a deleted record's place), each index a vector of record numbers in key order with
// equal keys in insertion order, each cursor a rank. The run grows three indexes past three
// levels and shrinks them back to nothing, twice, mixing add_member, delete_member after
// lseek_DBF or has_member, close-and-reopen and rebuild_index; after every operation the
// counts and the record under every cursor must agree with the model, whole listings are
// compared now and then, and the file-set checker runs regularly.
//
// The seed is printed with every failure; KESTREL_SEED=<n> repeats a run.
#include "dbf_check.h"
#include "dbf_test_util.h"

#include <stdlib.h>

#include <algorithm>
#include <random>

namespace {

using namespace dbf_test;

// Index 1: bytes 0..1, 0..2999 big-endian (some equal keys). Index 2: byte 2, 0..31 (long runs
// of equal keys across many nodes). Index 3: bytes 3..6, a serial that only grows (entries go
// in at the right end, so its nodes split half full). Bytes 7..11: payload.
constexpr int RECLEN = 12;
constexpr int KEYS[][3] = {{1, 0, 2}, {2, 2, 1}, {3, 3, 4}};

class DeleteModelTest : public StoreTest {
protected:
    std::mt19937 rng;
    std::vector<bytes> records;
    model_index idx[4];
    int h = -1;
    uint32_t serial = 0;
    // What the run made the trees do, seen from outside.
    int max_depth = 0, depth_drops = 0;
    int depth[4] = {};

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    int32_t count() const { return (int32_t)records.size(); }

    int cmp(int n, int32_t r, const uint8_t *key) const
    {
        return model_compare(records, idx[n], r, key);
    }
    int32_t upper(int n, const uint8_t *key) const { return model_upper(records, idx[n], key); }
    int32_t lower(int n, const uint8_t *key) const { return model_lower(records, idx[n], key); }

    bytes new_record()
    {
        bytes r(RECLEN);
        put_u16le(r.data(), 0);
        int k1 = pick(0, 2999);
        r[0] = (uint8_t)(k1 >> 8);
        r[1] = (uint8_t)k1;
        r[2] = (uint8_t)pick(0, 31);
        uint32_t s = serial++;
        r[3] = (uint8_t)(s >> 24);
        r[4] = (uint8_t)(s >> 16);
        r[5] = (uint8_t)(s >> 8);
        r[6] = (uint8_t)s;
        for (int i = 7; i < RECLEN; i++)
            r[i] = (uint8_t)pick(0, 255);
        return r;
    }

    void check_files(const char *when)
    {
        check_report report;
        expect_sound_set(base(), when, &report);
        if (HasFatalFailure())
            return;
        for (int n = 1; n <= 3; n++)
            max_depth = std::max(max_depth, report.index[n].depth);
    }

    void expect_cursors()
    {
        ASSERT_EQ(member_in_DBF(h), count());
        for (int n = 1; n <= 3; n++) {
            const model_index &x = idx[n];
            ASSERT_EQ(tell_DBF(h, n), x.cursor) << "index " << n;
            if (records.empty())
                continue;
            uint8_t rec[RECLEN];
            ASSERT_EQ(get_member(h, n, rec), 1) << "index " << n;
            ASSERT_EQ(bytes(rec, rec + RECLEN), records[x.order[x.cursor]])
                << "index " << n << " rank " << x.cursor;
        }
    }

    // Every rank of every index, walked with SEEK_CUR; the cursors are put back.
    void expect_listings()
    {
        for (int n = 1; n <= 3 && count() > 0; n++) {
            uint8_t rec[RECLEN];
            for (int32_t t = 0; t < count(); t++) {
                ASSERT_EQ(lseek_DBF(h, n, t == 0 ? 0 : 1, t == 0 ? DBF_SEEK_SET : DBF_SEEK_CUR), t);
                ASSERT_EQ(get_member(h, n, rec), 1);
                ASSERT_EQ(bytes(rec, rec + RECLEN), records[idx[n].order[t]])
                    << "index " << n << " rank " << t;
            }
            ASSERT_EQ(lseek_DBF(h, n, idx[n].cursor, DBF_SEEK_SET), idx[n].cursor);
        }
    }

    // Depth of every index, read through the library's own node reader.
    void observe_trees()
    {
        int rs = h - HANDLE_BASE;
        for (int n = 1; n <= 3; n++) {
            int is = index_slot(rs, n);
            index_node node;
            uint32_t blk = slot_table[is].root_block;
            int d = 0;
            while (d < 10 && node_read(is, blk, &node)) {
                d++;
                if (node_is_leaf(&node))
                    break;
                blk = node.children[0].block;
            }
            if (d < depth[n] && depth[n] >= 3)
                depth_drops++;
            max_depth = std::max(max_depth, d);
            depth[n] = d;
        }
    }

    void add()
    {
        bytes r = new_record();
        int32_t recno = count();
        records.push_back(r);
        for (int n = 1; n <= 3; n++) {
            model_index &x = idx[n];
            int32_t i = upper(n, r.data() + x.offset);
            x.order.insert(x.order.begin() + i, recno);
            int32_t c = x.cursor >= i ? x.cursor + 1 : x.cursor;
            x.cursor = c <= count() - 1 ? c : i;
        }
        ASSERT_EQ(add_member(h, r.data()), 1);
        ASSERT_EQ(last_error, 0);
    }

    // Puts the cursor of index n somewhere, the ways a caller would.
    void position(int n)
    {
        model_index &x = idx[n];
        int how = pick(0, 9);
        if (how < 5) {
            int32_t t = pick(0, count() - 1);
            ASSERT_EQ(lseek_DBF(h, n, t, DBF_SEEK_SET), t);
            x.cursor = t;
        } else if (how < 8) {
            uint8_t key[4];
            memcpy(key, records[pick(0, count() - 1)].data() + x.offset, x.length);
            if (how == 7)
                key[x.length - 1] ^= 1;   // often a key that is not there
            int32_t t = lower(n, key);
            int want = t < count() && cmp(n, x.order[t], key) == 0;
            x.cursor = t < count() ? t : count() - 1;
            ASSERT_EQ(has_member(h, n, key), want);
        } else if (how == 8) {
            ASSERT_EQ(lseek_DBF(h, n, 0, DBF_SEEK_END), count() - 1);
            x.cursor = count() - 1;
        }
        // how == 9: the cursor stays where the last operation left it.
    }

    void remove_via(int n)
    {
        int32_t before = count();
        int32_t g = idx[n].cursor;
        int32_t d = idx[n].order[g];
        for (int i = 1; i <= 3; i++) {
            model_index &x = idx[i];
            int32_t u = (int32_t)(std::find(x.order.begin(), x.order.end(), d) - x.order.begin());
            x.order.erase(x.order.begin() + u);
            int32_t j = i == n ? g : x.cursor;
            if ((i != n && j > u) || j == before - 1)
                j--;
            x.cursor = j < 0 ? 0 : j;
        }
        int32_t m = before - 1;
        if (d != m) {
            records[d] = records[m];
            for (int i = 1; i <= 3; i++)
                std::replace(idx[i].order.begin(), idx[i].order.end(), m, d);
        }
        records.pop_back();
        last_error = 99;
        ASSERT_EQ(delete_member(h, n), 1) << "index " << n << " rank " << g << " record " << d;
        ASSERT_EQ(last_error, 0);
        observe_trees();
    }

    void rebuild(int n, int g)
    {
        model_index &x = idx[n];
        std::vector<int32_t> source;
        if (g == 0)
            for (int32_t r = 0; r < count(); r++)
                source.push_back(r);
        else
            source = idx[g].order;
        x.order.clear();
        for (int32_t r : source)
            x.order.insert(x.order.begin() + upper(n, records[r].data() + x.offset), r);
        x.cursor = source.empty() ? 0
                                  : (int32_t)(std::find(x.order.begin(), x.order.end(),
                                                        source.back()) - x.order.begin());
        ASSERT_EQ(rebuild_index(h, n, g, x.offset, x.length), 1);
        observe_trees();
    }

    void reopen()
    {
        ASSERT_EQ(close_DBF(h), 1);
        h = open_DBF(base().c_str());
        ASSERT_GE(h, 64);
        for (int n = 1; n <= 3; n++)
            idx[n].cursor = 0;
        observe_trees();
    }

    // Operations until the record count reaches `target`, each going towards it with
    // probability p.
    void run_to(int32_t target, double p, int *ops)
    {
        std::bernoulli_distribution towards(p);
        while (count() != target && !HasFatalFailure()) {
            ++*ops;
            bool grow = count() < target;
            // Towards the target with probability p, away from it otherwise.
            if (count() == 0 || towards(rng) == grow) {
                add();
            } else {
                int n = pick(1, 3);
                position(n);
                if (!HasFatalFailure())
                    remove_via(n);
            }
            if (HasFatalFailure())
                return;
            expect_cursors();
            if (*ops % 700 == 0)
                reopen();
            if (*ops % 1500 == 0) {
                int n = pick(1, 3), g = pick(0, 3);
                if (g != n)
                    rebuild(n, g);
            }
            if (*ops % 150 == 0)
                check_files("an operation");
            if (*ops % 900 == 0)
                expect_listings();
        }
    }
};

TEST_F(DeleteModelTest, GrowAndShrinkThroughThreeLevelsAgreesWithTheModel)
{
    unsigned seed = seed_of_run();
    SCOPED_TRACE("KESTREL_SEED=" + std::to_string(seed));
    rng.seed(seed);

    h = create_DBF(base().c_str(), RECLEN);
    ASSERT_GE(h, 64);
    for (const auto &k : KEYS) {
        ASSERT_EQ(create_index(h, k[0], k[1], k[2]), 1);
        idx[k[0]].offset = k[1];
        idx[k[0]].length = k[2];
    }
    int ops = 0;
    const int32_t targets[] = {2600, 30, 2200, 0};
    for (int32_t target : targets) {
        run_to(target, 0.8, &ops);
        ASSERT_FALSE(HasFatalFailure());
        check_files("a phase");
        expect_listings();
    }
    // Back to empty files: every index a single empty root.
    EXPECT_EQ(size_of(file("set", 0)), 1024);
    for (int n = 1; n <= 3; n++)
        EXPECT_EQ(size_of(file("set", n)), 1024) << n;
    // The run went where it was meant to.
    EXPECT_GE(max_depth, 3);
    EXPECT_GT(depth_drops, 0);
    printf("operations %d, deepest index %d levels, %d drops from three levels\n", ops,
           max_depth, depth_drops);
}

}  // namespace
