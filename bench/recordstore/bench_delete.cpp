// Deletion through the public API: append `count` records (as bench_load does, timed for
// the comparison), then delete half of them in random order, each found by its key 1 with
// has_member and removed with delete_member; with one and with two indexes. Records of 40
// bytes, key 1 of 13 random characters at offset 0, key 2 of 8 at offset 13. Printed: load
// records per second, deletions per second, their ratio (a deletion should cost no more than
// four insertions: ratio at least 0.25), the files' sizes afterwards, and the sqlite3 shell
// deleting the same rows one at a time by key 1 with both indexes in place, in one
// transaction (journal and synchronous off), in the same run.
//
// Usage: bench_recordstore_delete [count]   (default 100000); run in a scratch folder given
// by KESTREL_BENCH_DIR (default: the system's temporary folder).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "zkw_dbf.h"

namespace {

constexpr int RECLEN = 40;
namespace fs = std::filesystem;

using bench::now;

std::vector<char> make_records(int count, unsigned seed)
{
    std::vector<char> recs((size_t)count * RECLEN);
    std::mt19937 rng(seed);
    const char alnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < count; i++) {
        char *r = &recs[(size_t)i * RECLEN];
        for (int k = 0; k < 21; k++)
            r[k] = alnum[rng() % 36];
        for (int k = 21; k < RECLEN; k++)
            r[k] = (char)('a' + (i + k) % 26);
    }
    return recs;
}

void fail(const char *what, int at)
{
    fprintf(stderr, "%s failed at %d\n", what, at);
    exit(1);
}

double load(const std::string &base, const std::vector<char> &recs, int count, int indexes)
{
    remove_DBF(base.c_str());
    double t0 = now();
    int h = create_DBF(base.c_str(), RECLEN);
    if (h < 0 || create_index(h, 1, 0, 13) != 1 || (indexes == 2 && create_index(h, 2, 13, 8) != 1))
        fail("create", 0);
    close_DBF(h);
    h = open_DBF(base.c_str());
    for (int i = 0; i < count; i++)
        if (add_member(h, &recs[(size_t)i * RECLEN]) != 1)
            fail("add_member", i);
    close_DBF(h);
    return now() - t0;
}

double delete_some(const std::string &base, const std::vector<char> &recs,
                   const std::vector<int> &victims, int count)
{
    int h = open_DBF(base.c_str());
    if (h < 0)
        fail("open_DBF", 0);
    double t0 = now();
    for (size_t i = 0; i < victims.size(); i++) {
        if (has_member(h, 1, &recs[(size_t)victims[i] * RECLEN]) != 1)
            fail("has_member", (int)i);
        if (delete_member(h, 1) != 1)
            fail("delete_member", (int)i);
    }
    double t = now() - t0;
    if (member_in_DBF(h) != count - (int)victims.size())
        fail("member_in_DBF", 0);
    close_DBF(h);
    return t;
}

double run_sqlite(const std::string &db, const std::string &dir, const std::string &script)
{
    return bench::run_sqlite(db, dir + "/bench_delete.sql", script);
}

long long size_of(const std::string &path)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : (long long)n;
}

// The sqlite3 shell deleting the same rows one at a time by key 1, both indexes in place, in
// one transaction; printed beside our rates. 0, or 1 when the shell could not load the rows.
int compare_sqlite(const std::string &dir, const std::vector<char> &recs, int count,
                   const std::vector<int> &victims, const double *ours_rate)
{
    std::string db = dir + "/bench_delete.sqlite";
    std::string csv = dir + "/bench_delete.csv";
    fs::remove(db);
    bench::write_csv(csv, recs, count);
    std::string setup = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\n"
                        "CREATE TABLE t(k1 TEXT, k2 TEXT, rest TEXT);\n"
                        "CREATE INDEX i1 ON t(k1);\nCREATE INDEX i2 ON t(k2);\n"
                        "BEGIN;\n.mode csv\n.import '" + csv + "' t\nCOMMIT;\n";
    if (run_sqlite(db, dir, setup) < 0)
        return 1;
    std::string script = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\nBEGIN;\n";
    for (int v : victims)
        script += "DELETE FROM t WHERE k1='" + std::string(&recs[(size_t)v * RECLEN], 13) + "';\n";
    script += "COMMIT;\n";
    double t = run_sqlite(db, dir, script);
    if (t > 0) {
        double rate = (double)victims.size() / t;
        printf("sqlite3, both indexes: %.3f s, %.0f deletes/s; ours/sqlite: one index %.2f, "
               "two indexes %.2f (deletions per second)\n",
               t, rate, ours_rate[1] / rate, ours_rate[2] / rate);
        printf("sqlite3 file afterwards: %lld bytes\n", size_of(db));
    }
    fs::remove(db);
    fs::remove(csv);
    fs::remove(dir + "/bench_delete.sql");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 100000;
    if (count < 2)
        count = 2;
    std::string dir = bench::scratch_dir();

    std::vector<char> recs = make_records(count, 4242u + (unsigned)count);
    std::vector<int> victims((size_t)count);
    for (int i = 0; i < count; i++)
        victims[(size_t)i] = i;
    std::mt19937 rng(77);
    std::shuffle(victims.begin(), victims.end(), rng);
    victims.resize((size_t)count / 2);

    printf("%d records, %zu deleted in random order, each found by key 1\n", count,
           victims.size());
    printf("%-3s %10s %10s %10s %11s %8s %11s %11s %11s\n", "ix", "load s", "load r/s",
           "delete s", "deletes/s", "del/load", "db0 bytes", "db1 bytes", "db2 bytes");
    double ours_rate[3] = {0, 0, 0};
    for (int indexes = 1; indexes <= 2; indexes++) {
        std::string base = dir + "/delete";
        double t_load = load(base, recs, count, indexes);
        double t_del = delete_some(base, recs, victims, count);
        double load_rate = count / t_load, del_rate = (double)victims.size() / t_del;
        ours_rate[indexes] = del_rate;
        printf("%-3d %10.3f %10.0f %10.3f %11.0f %8.2f %11lld %11lld %11lld\n", indexes, t_load,
               load_rate, t_del, del_rate, del_rate / load_rate, size_of(base + ".db0"),
               size_of(base + ".db1"), indexes == 2 ? size_of(base + ".db2") : 0LL);
        fflush(stdout);
        remove_DBF(base.c_str());
    }
    return bench::have_sqlite() ? compare_sqlite(dir, recs, count, victims, ours_rate) : 0;
}
