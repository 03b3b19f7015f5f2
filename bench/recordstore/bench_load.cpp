// Loading by appends through the public API, one record at a time as the conversion does it:
// create the set and its indexes, close, reopen, then member_in_DBF / add_member /
// member_in_DBF per record (the library has no bulk load that builds an index at once).
// Records of 40 bytes, key 1 of 13 bytes at offset 0, key 2 of 8 bytes at offset 13; keys
// in random and in sorted order; one and two indexes. Beside each figure, the sqlite3 shell
// doing the same in the same run (journal and synchronous off, one transaction): with the
// indexes created before the rows, with the indexes built afterwards, and a plain copy of
// the record file.
//
// Each ratio to sqlite3 is given for the wall clock and for processor time (user and system),
// which other jobs on a busy machine disturb far less. Each load also prints the peak
// resident memory of this process while it ran, beside the size of the files it wrote. The
// records are made as they are added, so that the figure holds what the library keeps and not
// the benchmark's input.
//
// Usage: bench_recordstore_load [--no-sqlite] [count ...]   (default 100000 1000000); run in
// a scratch folder given by KESTREL_BENCH_DIR (default: the system's temporary folder). The
// Windows build never runs sqlite3 and prints no memory figure.
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

// Writes value as `width` decimal digits, zero-padded (value < 10^width).
void put_digits(char *out, unsigned long value, int width)
{
    for (int k = width - 1; k >= 0; k--) {
        out[k] = (char)('0' + value % 10);
        value /= 10;
    }
}

// The records of one run, made in order: record i of a sorted run is its number in key 1 and
// key 2; a random run draws 21 characters from rng for each record in turn.
struct record_maker {
    bool sorted;
    std::mt19937 rng;

    record_maker(bool sorted_keys, int count)
        : sorted(sorted_keys), rng(12345u + (unsigned)count) {}

    void make(int i, char *r)
    {
        static const char alnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        if (sorted) {
            put_digits(r, (unsigned long)i, 13);
            put_digits(r + 13, (unsigned long)i % 100000000ul, 8);
        } else {
            for (int k = 0; k < 21; k++)
                r[k] = alnum[rng() % 36];
        }
        for (int k = 21; k < RECLEN; k++)
            r[k] = (char)('a' + (i + k) % 26);
    }
};

#ifdef _WIN32
void peak_reset() {}
double peak_mb() { return -1; }
#else
// Starts a new peak of this process's resident memory (Linux: the high-water mark is set back
// to the resident size of the moment).
void peak_reset()
{
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f);
        fclose(f);
    }
}

// Peak resident memory since the last peak_reset, in MB; -1 when unknown.
double peak_mb()
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    double kb = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0)
            kb = atof(line + 6);
    fclose(f);
    return kb < 0 ? -1 : kb / 1024;
}
#endif

double load_ours(const std::string &base, int count, bool sorted, int indexes)
{
    remove_DBF(base.c_str());
    record_maker maker(sorted, count);
    char rec[RECLEN];
    double t0 = now();
    int h = create_DBF(base.c_str(), RECLEN);
    if (h < 0 || create_index(h, 1, 0, 13) != 1 ||
        (indexes == 2 && create_index(h, 2, 13, 8) != 1)) {
        fprintf(stderr, "create failed\n");
        exit(1);
    }
    close_DBF(h);
    h = open_DBF(base.c_str());
    for (int i = 0; i < count; i++) {
        maker.make(i, rec);
        member_in_DBF(h);
        if (add_member(h, rec) != 1) {
            fprintf(stderr, "add_member failed at %d\n", i);
            exit(1);
        }
        member_in_DBF(h);
    }
    close_DBF(h);
    return now() - t0;
}

// The rows of a run as CSV k1,k2,rest for the sqlite3 shell.
void write_csv(const std::string &path, int count, bool sorted)
{
    record_maker maker(sorted, count);
    char r[RECLEN];
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return;
    for (int i = 0; i < count; i++) {
        maker.make(i, r);
        fprintf(f, "%.13s,%.8s,%.19s\n", r, r + 13, r + 21);
    }
    fclose(f);
}

// Short loads are timed best of three, ours and sqlite3's alike: a run of a tenth of a second
// is at the mercy of whatever else the machine does.
int runs_for(int count) { return count <= 200000 ? 3 : 1; }

double run_sqlite(const std::string &dir, const std::string &script, double *cpu = nullptr)
{
    std::string db = dir + "/bench.sqlite";
    fs::remove(db);
    return bench::run_sqlite(db, dir + "/bench.sql", script, cpu);
}

// The sqlite3 shell on the same rows with its indexes built after the import, and a plain
// copy of our record file, for scale.
void compare_build_after(const std::string &dir, const std::string &csv, int count)
{
    std::string s = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\n"
                    "CREATE TABLE t(k1 TEXT, k2 TEXT, rest TEXT);\n"
                    "BEGIN;\n.mode csv\n.import '" + csv + "' t\nCOMMIT;\n"
                    "CREATE INDEX i1 ON t(k1);\nCREATE INDEX i2 ON t(k2);\n";
    double after = 1e30, after_cpu = 1e30;
    for (int run = 0; run < runs_for(count); run++) {
        double cpu = 0;
        after = std::min(after, run_sqlite(dir, s, &cpu));
        after_cpu = std::min(after_cpu, cpu);
    }
    std::string base = dir + "/load";
    double t0 = now();
    fs::copy_file(base + ".db0", dir + "/copy.db0", fs::copy_options::overwrite_existing);
    double copy = now() - t0;
    printf("  %d random rows: sqlite3 with indexes built afterwards %.3f s (cpu %.3f s); plain "
           "copy of the %lld-byte record file %.3f s\n",
           count, after, after_cpu, (long long)fs::file_size(base + ".db0"), copy);
}

long long size_of(const std::string &path)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : (long long)n;
}

// One line of the table: our load with 1 or 2 indexes and its peak memory, and the sqlite3
// shell importing the same rows with its indexes created first.
void load_line(const std::string &dir, const std::string &csv, int count, bool sorted,
               int indexes, bool sqlite)
{
    std::string base = dir + "/load";
    double ours = 1e30, peak = 0, lite = 1e30, ours_cpu = 1e30, lite_cpu = 1e30;
    for (int run = 0; run < runs_for(count); run++) {
        peak_reset();
        double c0 = bench::cpu_seconds(false);
        ours = std::min(ours, load_ours(base, count, sorted, indexes));
        ours_cpu = std::min(ours_cpu, bench::cpu_seconds(false) - c0);
        peak = std::max(peak, peak_mb());
    }
    if (sqlite) {
        std::string s = "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\n"
                        "CREATE TABLE t(k1 TEXT, k2 TEXT, rest TEXT);\n"
                        "CREATE INDEX i1 ON t(k1);\n";
        if (indexes == 2)
            s += "CREATE INDEX i2 ON t(k2);\n";
        s += "BEGIN;\n.mode csv\n.import '" + csv + "' t\nCOMMIT;\n";
        for (int run = 0; run < runs_for(count); run++) {
            double cpu = 0;
            lite = std::min(lite, run_sqlite(dir, s, &cpu));
            lite_cpu = std::min(lite_cpu, cpu);
        }
    } else {
        lite = -1;
    }
    long long db0 = size_of(base + ".db0"), db1 = size_of(base + ".db1");
    long long db2 = indexes == 2 ? size_of(base + ".db2") : 0LL;
    printf("%-9d %-7s %-3d %10.3f %12.0f %11lld %11lld %11lld %8.1f %8.1f %8.3f", count,
           sorted ? "sorted" : "random", indexes, ours, count / ours, db0, db1, db2, peak,
           (double)(db0 + db1 + db2) / (1024 * 1024), lite);
    if (lite > 0)
        printf("   ours/sqlite %.2f; cpu %.3f s / %.3f s = %.2f", ours / lite, ours_cpu,
               lite_cpu, ours_cpu / lite_cpu);
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> counts;
    bool sqlite = true;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--no-sqlite") == 0)
            sqlite = false;
        else
            counts.push_back(atoi(argv[i]));
    }
    if (counts.empty())
        counts = {100000, 1000000};
    std::string dir = bench::scratch_dir();
#ifdef _WIN32
    sqlite = false;
#else
    sqlite = sqlite && bench::have_sqlite();
#endif

    printf("%-9s %-7s %-3s %10s %12s %11s %11s %11s %8s %8s %8s\n", "records", "keys", "ix",
           "ours s", "rec/s", "db0 bytes", "db1 bytes", "db2 bytes", "peak MB", "files MB",
           "sqlite s");
    for (int count : counts) {
        for (int sorted = 0; sorted <= 1; sorted++) {
            std::string csv = dir + "/bench.csv";
            if (sqlite)
                write_csv(csv, count, sorted != 0);
            for (int indexes = 1; indexes <= 2; indexes++)
                load_line(dir, csv, count, sorted != 0, indexes, sqlite);
            if (sqlite && !sorted)
                compare_build_after(dir, csv, count);
            fs::remove(csv);
        }
    }
    remove_DBF((dir + "/load").c_str());
    fs::remove_all(dir);
    return 0;
}
