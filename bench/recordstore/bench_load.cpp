// Bulk load through the public API, as the conversion does it: create the set and its
// indexes, close, reopen, then member_in_DBF / add_member / member_in_DBF per record.
// Records of 40 bytes, key 1 of 13 bytes at offset 0, key 2 of 8 bytes at offset 13; keys
// in random and in sorted order; one and two indexes. Beside each figure, the sqlite3 shell
// doing the same in the same run (journal and synchronous off, one transaction): with the
// indexes created before the rows, with the indexes built afterwards, and a plain copy of
// the record file.
//
// Usage: bench_recordstore_load [count ...]   (default 100000 1000000); run in a scratch
// folder given by KESTREL_BENCH_DIR (default: the system's temporary folder).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

std::vector<char> make_records(int count, bool sorted, unsigned seed)
{
    std::vector<char> recs((size_t)count * RECLEN);
    std::mt19937 rng(seed);
    const char alnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < count; i++) {
        char *r = &recs[(size_t)i * RECLEN];
        if (sorted) {
            snprintf(r, 14, "%013d", i);
            snprintf(r + 13, 9, "%08d", i % 100000000);
        } else {
            for (int k = 0; k < 21; k++)
                r[k] = alnum[rng() % 36];
        }
        for (int k = 21; k < RECLEN; k++)
            r[k] = (char)('a' + (i + k) % 26);
    }
    return recs;
}

double load_ours(const std::string &base, const std::vector<char> &recs, int count, int indexes)
{
    remove_DBF(base.c_str());
    double t0 = now();
    int h = create_DBF(base.c_str(), RECLEN);
    if (h < 0 || create_index(h, 1, 0, 13) != 1 || (indexes == 2 && create_index(h, 2, 13, 8) != 1)) {
        fprintf(stderr, "create failed\n");
        exit(1);
    }
    close_DBF(h);
    h = open_DBF(base.c_str());
    for (int i = 0; i < count; i++) {
        member_in_DBF(h);
        if (add_member(h, &recs[(size_t)i * RECLEN]) != 1) {
            fprintf(stderr, "add_member failed at %d\n", i);
            exit(1);
        }
        member_in_DBF(h);
    }
    close_DBF(h);
    return now() - t0;
}

double run_sqlite(const std::string &dir, const std::string &script)
{
    std::string db = dir + "/bench.sqlite";
    fs::remove(db);
    return bench::run_sqlite(db, dir + "/bench.sql", script);
}

// The sqlite3 shell on the same rows with its indexes built after the import, and a plain
// copy of our record file, for scale.
void compare_build_after(const std::string &dir, const std::string &csv, int count)
{
    std::string s = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\n"
                    "CREATE TABLE t(k1 TEXT, k2 TEXT, rest TEXT);\n"
                    "BEGIN;\n.mode csv\n.import '" + csv + "' t\nCOMMIT;\n"
                    "CREATE INDEX i1 ON t(k1);\nCREATE INDEX i2 ON t(k2);\n";
    double after = run_sqlite(dir, s);
    std::string base = dir + "/load";
    double t0 = now();
    fs::copy_file(base + ".db0", dir + "/copy.db0", fs::copy_options::overwrite_existing);
    double copy = now() - t0;
    printf("  %d random rows: sqlite3 with indexes built afterwards %.3f s; plain copy "
           "of the %lld-byte record file %.3f s\n",
           count, after, (long long)fs::file_size(base + ".db0"), copy);
}

// One line of the table: our load with 1 or 2 indexes, and the sqlite3 shell importing the
// same rows with its indexes created first.
void load_line(const std::string &dir, const std::string &csv, const std::vector<char> &recs,
               int count, bool sorted, int indexes, bool sqlite)
{
    std::string base = dir + "/load";
    double ours = load_ours(base, recs, count, indexes);
    double lite = -1;
    if (sqlite) {
        std::string s = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\n"
                        "CREATE TABLE t(k1 TEXT, k2 TEXT, rest TEXT);\n"
                        "CREATE INDEX i1 ON t(k1);\n";
        if (indexes == 2)
            s += "CREATE INDEX i2 ON t(k2);\n";
        s += "BEGIN;\n.mode csv\n.import '" + csv + "' t\nCOMMIT;\n";
        lite = run_sqlite(dir, s);
    }
    printf("%-9d %-7s %-3d %10.3f %12.0f %11lld %11lld %11lld %8.3f", count,
           sorted ? "sorted" : "random", indexes, ours, count / ours,
           (long long)fs::file_size(base + ".db0"), (long long)fs::file_size(base + ".db1"),
           indexes == 2 ? (long long)fs::file_size(base + ".db2") : 0LL, lite);
    if (lite > 0)
        printf("   ours/sqlite %.2f", ours / lite);
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> counts;
    for (int i = 1; i < argc; i++)
        counts.push_back(atoi(argv[i]));
    if (counts.empty())
        counts = {100000, 1000000};
    std::string dir = bench::scratch_dir();
    bool sqlite = bench::have_sqlite();

    printf("%-9s %-7s %-3s %10s %12s %11s %11s %11s %8s\n", "records", "keys", "ix", "ours s",
           "rec/s", "db0 bytes", "db1 bytes", "db2 bytes", "sqlite s");
    for (int count : counts) {
        for (int sorted = 0; sorted <= 1; sorted++) {
            std::vector<char> recs = make_records(count, sorted, 12345u + (unsigned)count);
            std::string csv = dir + "/bench.csv";
            bench::write_csv(csv, recs, count);
            for (int indexes = 1; indexes <= 2; indexes++)
                load_line(dir, csv, recs, count, sorted, indexes, sqlite);
            if (sqlite && !sorted)
                compare_build_after(dir, csv, count);
            fs::remove(csv);
        }
    }
    remove_DBF((dir + "/load").c_str());
    fs::remove_all(dir);
    return 0;
}
