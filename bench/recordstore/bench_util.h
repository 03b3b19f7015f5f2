// What the record-store benchmarks share: clocks, and running a script through the sqlite3
// shell (the comparison measured in the same run).
#ifndef KESTREL_BENCH_UTIL_H
#define KESTREL_BENCH_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Processor seconds, user and system, of this process or of the children it has waited for:
// what other jobs on a busy machine disturb far less than the wall clock. 0 on Windows, where
// the benchmarks start no children and the figure is not printed.
inline double cpu_seconds(bool children)
{
#ifdef _WIN32
    (void)children;
    return 0;
#else
    struct rusage u;
    getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &u);
    return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

// Runs script on database db with the sqlite3 shell, the script written to sql_path first.
// Returns the seconds it took, or -1 when the shell failed; its processor seconds into *cpu.
inline double run_sqlite(const std::string &db, const std::string &sql_path,
                         const std::string &script, double *cpu = nullptr)
{
    FILE *f = fopen(sql_path.c_str(), "w");
    if (!f)
        return -1;
    fputs(script.c_str(), f);
    fclose(f);
    std::string cmd = "sqlite3 '" + db + "' < '" + sql_path + "' > /dev/null";
    double t0 = now(), c0 = cpu_seconds(true);
    int rc = system(cmd.c_str());
    double t = now() - t0;
    if (cpu)
        *cpu = cpu_seconds(true) - c0;
    if (rc != 0) {
        fprintf(stderr, "sqlite3 failed (%d)\n", rc);
        return -1;
    }
    return t;
}

// The scratch folder: KESTREL_BENCH_DIR, or kestrel-bench-rs in the system's temporary
// folder. Created when missing.
inline std::string scratch_dir()
{
    const char *env = getenv("KESTREL_BENCH_DIR");
    std::filesystem::path dir =
        env ? std::filesystem::path(env)
            : std::filesystem::temp_directory_path() / "kestrel-bench-rs";
    std::filesystem::create_directories(dir);
    return dir.string();
}

// Whether the sqlite3 shell can be run for the comparison.
inline bool have_sqlite() { return system("sqlite3 -version > /dev/null 2>&1") == 0; }

// The benchmarks' 40-byte records (key 1 of 13 bytes, key 2 of 8, the rest 19) as CSV rows
// k1,k2,rest for the sqlite3 shell.
inline void write_csv(const std::string &path, const std::vector<char> &recs, int count)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return;
    for (int i = 0; i < count; i++) {
        const char *r = &recs[(size_t)i * 40];
        fprintf(f, "%.13s,%.8s,%.19s\n", r, r + 13, r + 21);
    }
    fclose(f);
}

} // namespace bench

#endif
