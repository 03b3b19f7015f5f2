// A seeded randomized test against a plain in-memory model: records in a vector, each index a
// vector of record numbers kept in key order the slow obvious way (equal keys in insertion
// order), and each cursor a rank. Thousands of records, several indexes with many duplicate
// keys, rebuilds in the order of another index, close-and-reopen cycles and SEEK_CUR walks; the
// file-set checker runs on the files as the test goes.
//
// The seed is printed with every failure; KESTREL_SEED=<n> repeats a run.
#include "dbf_check.h"
#include "dbf_test_util.h"

#include <stdlib.h>

#include <algorithm>
#include <random>

namespace {

using namespace dbf_test;

constexpr int RECLEN = 24;

struct model {
    std::vector<bytes> records;
    model_index idx[9];

    int cmp(int n, int32_t r, const uint8_t *key) const
    {
        return model_compare(records, idx[n], r, key);
    }
    // Rank a new record with this key gets: after every equal key.
    int32_t upper(int n, const uint8_t *key) const { return model_upper(records, idx[n], key); }
    int32_t lower(int n, const uint8_t *key) const { return model_lower(records, idx[n], key); }
};

class ModelTest : public StoreTest {
protected:
    std::mt19937 rng;
    model m;
    int h = -1;

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    bytes random_record()
    {
        bytes r(RECLEN);
        for (int i = 0; i < RECLEN; i++)
            r[i] = (uint8_t)pick(0, 255);
        r[0] = (uint8_t)('a' + pick(0, 4));        // index 1: 3 bytes, few distinct
        r[1] = (uint8_t)('a' + pick(0, 2));
        r[2] = (uint8_t)(pick(0, 1) ? 0x80 : 0x7F);
        r[11] = (uint8_t)pick(0, 3);               // index 3: 1 byte, heavy duplicates
        return r;
    }

    void check_files(const char *when) { expect_sound_set(base(), when); }

    void expect_cursor(int n)
    {
        const model_index &x = m.idx[n];
        ASSERT_EQ(tell_DBF(h, n), x.cursor) << "index " << n;
        if (m.records.empty())
            return;
        uint8_t rec[RECLEN];
        ASSERT_EQ(get_member(h, n, rec), 1) << "index " << n;
        ASSERT_EQ(bytes(rec, rec + RECLEN), m.records[x.order[x.cursor]])
            << "index " << n << " rank " << x.cursor;
    }

    void add()
    {
        bytes r = random_record();
        int32_t recno = (int32_t)m.records.size();
        m.records.push_back(r);
        for (int n = 1; n <= 8; n++) {
            model_index &x = m.idx[n];
            if (!x.open)
                continue;
            int32_t i = m.upper(n, r.data() + x.offset);
            x.order.insert(x.order.begin() + i, recno);
            int32_t c = x.cursor >= i ? x.cursor + 1 : x.cursor;
            x.cursor = c <= (int32_t)m.records.size() - 1 ? c : i;
        }
        ASSERT_EQ(add_member(h, r.data()), 1);
        ASSERT_EQ(last_error, 0);
    }

    void find(int n)
    {
        model_index &x = m.idx[n];
        uint8_t key[16];
        if (!m.records.empty() && pick(0, 1))
            memcpy(key, m.records[pick(0, (int)m.records.size() - 1)].data() + x.offset, x.length);
        else
            for (int i = 0; i < x.length; i++)
                key[i] = (uint8_t)(i == 0 ? 'a' + pick(0, 5) : pick(0, 255));
        int want = 0;
        int32_t count = (int32_t)m.records.size();
        if (count > 0) {
            int32_t t = m.lower(n, key);
            if (t == count) {
                x.cursor = count - 1;
            } else {
                x.cursor = t;
                want = m.cmp(n, x.order[t], key) == 0;
            }
        }
        ASSERT_EQ(has_member(h, n, key), want) << "index " << n;
        expect_cursor(n);
    }

    void walk(int n)
    {
        model_index &x = m.idx[n];
        int32_t count = (int32_t)m.records.size();
        if (count == 0)
            return;
        int32_t start = pick(0, count - 1);
        ASSERT_EQ(lseek_DBF(h, n, start, DBF_SEEK_SET), start);
        x.cursor = start;
        int step = pick(0, 1) ? 1 : -1;
        if (pick(0, 3) == 0)
            step *= pick(2, 60);
        for (int i = 0, steps = pick(1, 300); i < steps; i++) {
            int32_t t = x.cursor + step;
            if (t < 0 || t >= count) {
                ASSERT_EQ(lseek_DBF(h, n, step, DBF_SEEK_CUR), -1);
                ASSERT_EQ(last_error, 15);
                break;
            }
            ASSERT_EQ(lseek_DBF(h, n, step, DBF_SEEK_CUR), t);
            x.cursor = t;
            expect_cursor(n);
        }
        int32_t back = pick(-3, 0);
        ASSERT_EQ(lseek_DBF(h, n, back, DBF_SEEK_END), count - 1 + back < 0 ? -1 : count - 1 + back);
        if (count - 1 + back >= 0)
            x.cursor = count - 1 + back;
        expect_cursor(n);
    }

    void rebuild(int n, int g)
    {
        model_index &x = m.idx[n];
        std::vector<int32_t> source;
        if (g == 0)
            for (int32_t r = 0; r < (int32_t)m.records.size(); r++)
                source.push_back(r);
        else
            source = m.idx[g].order;
        x.order.clear();
        int32_t last_rank = 0;
        for (int32_t r : source) {
            int32_t i = m.upper(n, m.records[r].data() + x.offset);
            x.order.insert(x.order.begin() + i, r);
            last_rank = i;
        }
        if (!source.empty())
            x.cursor = (int32_t)(std::find(x.order.begin(), x.order.end(), source.back()) -
                                 x.order.begin());
        (void)last_rank;
        ASSERT_EQ(rebuild_index(h, n, g, x.offset, x.length), 1);
        ASSERT_EQ(last_error, 0);
        expect_cursor(n);
        if (g != 0)
            expect_cursor(g);
    }

    void reopen()
    {
        ASSERT_EQ(close_DBF(h), 1);
        check_files("close");
        h = open_DBF(base().c_str());
        ASSERT_GE(h, 64);
        ASSERT_EQ(member_in_DBF(h), (int)m.records.size());
        for (int n = 1; n <= 8; n++)
            if (m.idx[n].open) {
                m.idx[n].cursor = 0;
                expect_cursor(n);
            }
    }
};

TEST_F(ModelTest, RandomOperationsAgreeWithTheModel)
{
    unsigned seed = seed_of_run();
    SCOPED_TRACE("KESTREL_SEED=" + std::to_string(seed));
    rng.seed(seed);

    h = create_DBF(base().c_str(), RECLEN);
    ASSERT_GE(h, 64);
    const int keys[][3] = {{1, 0, 3}, {2, 3, 8}, {3, 11, 1}, {5, 12, 12}};
    for (const auto &k : keys) {
        ASSERT_EQ(create_index(h, k[0], k[1], k[2]), 1);
        m.idx[k[0]].open = true;
        m.idx[k[0]].offset = k[1];
        m.idx[k[0]].length = k[2];
    }
    const int open_indexes[] = {1, 2, 3, 5};
    for (int round = 0; round < 8 && !HasFatalFailure(); round++) {
        int adds = pick(200, 800);
        for (int i = 0; i < adds && !HasFatalFailure(); i++) {
            add();
            if (pick(0, 9) == 0)
                find(open_indexes[pick(0, 3)]);
            if (pick(0, 40) == 0)
                walk(open_indexes[pick(0, 3)]);
        }
        ASSERT_FALSE(HasFatalFailure());
        check_files("adds");
        for (int i = 0; i < 20; i++)
            find(open_indexes[pick(0, 3)]);
        for (int n : open_indexes)
            walk(n);
        if (pick(0, 1)) {
            int n = open_indexes[pick(0, 3)];
            int g = pick(0, 1) ? 0 : open_indexes[pick(0, 3)];
            if (g != n)
                rebuild(n, g);
            check_files("rebuild");
        }
        reopen();
    }
    ASSERT_GE(member_in_DBF(h), 1600);
}

}  // namespace
